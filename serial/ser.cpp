// The part of the serial link that is the same on every system: the local echo, and the report
// of settings the driver did not take.
#include "serial/ser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"
#include "modbus/wire.h"

static constexpr int64_t BITS_PER_CHAR = LINE_BITS_PER_CHAR;

// Microseconds that tenths_of_chars tenths of a character take on the line; 0 while its speed
// is not known.
static int64_t CharsUs(const ser_link *l, int64_t tenths_of_chars)
{
    return l->baud == 0 ? 0 : tenths_of_chars * BITS_PER_CHAR * 100'000 / l->baud;
}

void serLinkReset(ser_link *l)
{
    l->baud = 0;
    // Until serInit sets them, reads keep the timing the caller counts on.
    l->gap_ms = SERIAL_READ_TIMEOUT;
    l->total_ms = SER_READ_TOTAL_MS;
    l->fast = false;
    l->requests = 0;
    l->resends = 0;
    l->length = 0;
    l->matched = -1;
    l->early = false;
    l->alone = false;
    l->line = SER_ECHO_UNKNOWN;
}

void serLinkSetUp(ser_link *l, uint32_t baud, uint32_t gap_ms)
{
    l->baud = baud;
    l->gap_ms = gap_ms;
    l->total_ms = SER_READ_TOTAL_MS;
}

void serEchoSent(ser_link *l, const void *request, int length)
{
    l->early = false;
    l->requests++;
    if (length <= 0 || length > static_cast<int>(sizeof l->request)) {
        l->matched = -1;
        l->length = 0;
        return;
    }
    const bool again = length == l->length && memcmp(l->request, request, size_t(length)) == 0;
    l->resends += again;
    // The same request again is a resend: what its copy did last time still counts.
    l->alone = l->alone && again;
    memcpy(l->request, request, static_cast<size_t>(length));
    l->length = length;
    l->matched = 0;
}

// When a reply to a request of length bytes may begin, from the start of its write: an echo
// begins with the request's first byte, a device answers no sooner than its last byte and 3.5
// characters of silence.
static int64_t ReplyFromUs(const ser_link *l, int length)
{
    return CharsUs(l, int64_t{length} * 10 + 35);
}

int64_t serEchoWatchUs(const ser_link *l, int length)
{
    if (l->baud == 0 || l->line == SER_ECHO_SEEN)
        return -1;
    // A line taken for one without echo is looked at once after each send: where it was taken
    // so only by copies that came back late, an echo may yet show itself.
    return l->line == SER_ECHO_UNKNOWN ? ReplyFromUs(l, length) : 0;
}

bool serEchoShows(const ser_link *l, int length, int64_t elapsed_us, int queued)
{
    const int64_t reply_from = ReplyFromUs(l, length);
    const int64_t could =
        elapsed_us <= reply_from
            ? 0
            : (elapsed_us - reply_from) * l->baud / (BITS_PER_CHAR * 1'000'000) + 1;
    return queued > could;
}

void serEchoEarly(ser_link *l)
{
    l->early = true;
}

void serEchoForget(ser_link *l)
{
    l->matched = -1;
}

int serReadRoom(const ser_link *l, int max_len)
{
    const int echo = l->matched < 0 ? 0 : l->length - l->matched;
    return std::min(max_len + echo, static_cast<int>(sizeof l->rx));
}

// Whether p[0..n), n > 0, begins as the device's answer to the request sent last: its address,
// then the request's function or that function's exception.
static bool Heads(const ser_link *l, const uint8_t *p, int n)
{
    const uint8_t fn = l->request[1];
    return p[0] == l->request[0] &&
           (n < 2 || p[1] == fn || p[1] == static_cast<uint8_t>(fn | MB_EXCEPTION));
}

// The length a frame of the device beginning at p must have at least, and at most.
static int Shortest(const ser_link *l, const uint8_t *p)
{
    return p[1] == l->request[1] ? MB_MEI_REPLY_MIN : MB_EXCEPTION_LENGTH;
}
static int Longest(const ser_link *l, const uint8_t *p, int n)
{
    return n < 2 || p[1] == l->request[1] ? int{MODBUS_FRAME_LENGTH_MAX} : MB_EXCEPTION_LENGTH;
}

// The device's frame among stray bytes in p[0..n): it begins within SER_STRAY_MAX bytes of the
// start and ends within SER_STRAY_MAX of the end (ser.h), at most longest bytes long. Its start
// in *at, its length in *len; false when there is none.
static bool AmidStray(const ser_link *l, const uint8_t *p, int n, int longest, int *at, int *len)
{
    if (l->length < 2)
        return false; // no request sent: nothing tells the device's frame
    for (int s = 0; s <= std::min(SER_STRAY_MAX, n - 2); s++) {
        if (!Heads(l, p + s, n - s))
            continue;
        const int lo = std::max(n - SER_STRAY_MAX - s, Shortest(l, p + s));
        const int hi = std::min({n - s, Longest(l, p + s, n - s), longest});
        if (lo > hi)
            continue;
        int found = 0;
        unsigned c = crc_region(p + s, lo - 2);
        for (int k = lo; k <= hi; c = crc_more(c, p + s + k - 2, 1), k++)
            if (c == get16_le(p + s + k - 2))
                found = k;
        if (found > 0) {
            *at = s;
            *len = found;
            return true;
        }
    }
    return false;
}

// A reply in p[0..n): a frame whole on its own, or the device's among stray bytes.
static bool Reply(const ser_link *l, const uint8_t *p, int n)
{
    int at = 0, len = 0;
    return crc_frame(p, n) || AmidStray(l, p, n, MODBUS_FRAME_LENGTH_MAX, &at, &len);
}

// Whether p[0..n) holds, past at most SER_STRAY_MAX stray bytes, the start of the device's
// frame that more bytes could still make whole.
static bool Begun(const ser_link *l, const uint8_t *p, int n)
{
    if (l->length < 2)
        return false;
    for (int s = 0; s <= std::min(SER_STRAY_MAX, n - 1); s++)
        if (Heads(l, p + s, n - s) && n - s < Longest(l, p + s, n - s))
            return true;
    return false;
}

// What the got bytes of a read hold of the copy of the request, from where earlier reads left
// it: at its start, past stray bytes, as far as they go.
struct copy_view {
    bool sought; // a copy of the request may still come
    int lead;    // stray bytes ahead of it
    int same;    // bytes of it past those
    bool broken; // a byte that differs from the request's
    bool whole;  // the rest of it is in; it ends at lead + same
    bool alone;  // ... and nothing follows but stray bytes, or zeros
};

// Only bytes that are no start of the device's frame, no more than a driver's turn makes.
static bool StrayOnly(const ser_link *l, const uint8_t *p, int n)
{
    return n <= SER_STRAY_MAX && std::find(p, p + n, l->request[0]) == p + n;
}

static copy_view Copy(const ser_link *l, int got)
{
    copy_view v{};
    const int want = l->matched < 0 ? 0 : l->length - l->matched;
    v.sought = want > 0 && got > 0;
    if (!v.sought)
        return v;
    // A first byte of the copy within reach: the bytes ahead of it are stray.
    if (l->matched == 0) {
        const uint8_t *reach = l->rx + std::min(got, SER_STRAY_MAX + 1);
        const uint8_t *first = std::find(l->rx, reach, l->request[0]);
        v.lead = first == reach ? 0 : static_cast<int>(first - l->rx);
    }
    const uint8_t *copy = l->request + l->matched;
    const uint8_t *from = l->rx + v.lead;
    const int n = std::min(got - v.lead, want);
    v.same = static_cast<int>(std::mismatch(from, from + n, copy).first - from);
    v.broken = v.same < n;
    v.whole = v.same == want;
    if (v.whole) {
        // After a whole copy, stray bytes alone: no more than SER_STRAY_MAX, none the start of
        // a reply. A request carries a valid CRC, and a frame with a valid CRC followed by 0x00
        // has a valid CRC again (the CRC-16 has no final exclusive-or): zeros are the only
        // bytes that make one frame with the copy, and they tell nothing. A copy followed by
        // zeros, however many, is a copy alone. (A reply that starts like its request, as a
        // range CRC may, is its request and two zeros: where the line does not echo it goes
        // on as it came.)
        const uint8_t *end = from + want, *last = l->rx + got;
        v.alone = std::all_of(end, last, [](uint8_t b) { return b == 0; }) ||
                  StrayOnly(l, end, static_cast<int>(last - end));
    }
    return v;
}

int64_t serReadSilenceUs(const ser_link *l, int got)
{
    const copy_view v = Copy(l, got);
    // All of it may be the echo (and stray bytes): a line that echoes may pause inside its
    // echo, and a copy that began while the request could still be on the wire is one, on any
    // line; on a line not judged yet a whole copy is in doubt.
    if (v.sought && !v.broken && (!v.whole || v.alone) &&
        (l->line == SER_ECHO_SEEN || l->early || (l->line == SER_ECHO_UNKNOWN && v.whole)))
        return -1;
    // A reply is in: behind a copy, or one that starts like its request, or (on a line without
    // echo, and late: the only copy left here) the copy itself among stray bytes.
    const int after = v.whole ? v.lead + v.same : 0;
    if (Reply(l, l->rx + after, got - after) || (after > 0 && crc_frame(l->rx, got)) || v.alone)
        // Under serFast, the Modbus end of frame: 3.5 characters of silence.
        return l->fast ? std::max<int64_t>(CharsUs(l, 35), 1) : int64_t{l->gap_ms} * 1000;
    // The start of a reply, whose last piece a USB adapter may still hold back; not an echo
    // broken on the way, on a line whose echo comes first.
    const bool broken_echo = v.broken && (l->line == SER_ECHO_SEEN || l->early);
    if (!broken_echo && Begun(l, l->rx + after, got - after))
        return int64_t{std::max(l->gap_ms, SER_HOLE_MS)} * 1000;
    return int64_t{l->gap_ms} * 1000;
}

// Judges what a read after a send took in; the bytes of the echo at its start (with stray bytes
// around it), or -1 when nothing of it goes on. *as_came: what follows goes on as it came, not
// searched among stray bytes, which would find the copy at its start.
static int EchoAtStart(ser_link *l, int got, bool *as_came)
{
    const copy_view v = Copy(l, got);
    *as_came = false;
    if (!v.sought)
        return 0;
    const bool first = l->matched == 0;
    if (v.broken) {
        // Not a copy: the reply itself, or an echo broken on the way.
        if (first && l->line == SER_ECHO_UNKNOWN && Reply(l, l->rx, got))
            l->line = SER_ECHO_NONE;
        l->matched = -1;
        return 0;
    }
    // A copy that began while the request could still be on the wire is its echo.
    if (l->early)
        l->line = SER_ECHO_SEEN;
    if (!v.whole) {
        // The read ended inside a copy; the rest of it may come in the next one.
        l->matched += v.same;
        return l->line == SER_ECHO_SEEN ? -1 : 0;
    }
    l->matched = -1;
    const int end = v.lead + v.same;
    if (!v.alone && (l->line == SER_ECHO_SEEN || Reply(l, l->rx + end, got - end))) {
        l->line = SER_ECHO_SEEN;
        return end;
    }
    *as_came = !v.alone;
    if (!v.alone)
        return 0; // a reply that starts like its request: a range CRC may
    if (l->line == SER_ECHO_SEEN)
        return -1; // the echo, and no reply to it within the read's time
    // A whole copy, late, and nothing after it for the read's full time: an echo that came
    // late (a USB adapter may hold a short one back) whose reply was lost, or a device that
    // answers with its request byte for byte. Only the request sent again tells: the same
    // again means the latter, on a line that does not echo.
    if (!first || l->line == SER_ECHO_NONE)
        return 0;
    if (!l->alone) {
        l->alone = true;
        return -1;
    }
    l->line = SER_ECHO_NONE;
    return 0;
}

int serEchoCut(ser_link *l, int got, uint8_t *buf, int max_len)
{
    bool as_came = false;
    const int echo = EchoAtStart(l, got, &as_came);
    if (echo < 0)
        return 0;
    const uint8_t *p = l->rx + echo;
    int n = got - echo;
    // A frame whole on its own goes on as it came, as does what holds no frame of the device.
    int at = 0, len = 0;
    if (!as_came && !crc_frame(p, std::min(n, max_len)) && AmidStray(l, p, n, max_len, &at, &len)) {
        p += at;
        n = len;
    }
    n = std::clamp(n, 0, std::max(max_len, 0));
    memcpy(buf, p, static_cast<size_t>(n));
    return n;
}

ser_line serLineAsked(uint32_t baud)
{
    return {baud, LINE_DATA_BITS, LINE_PARITY, LINE_STOP_BITS, false, true, true};
}

static std::string Shape(const ser_line &l)
{
    char text[40];
    snprintf(text, sizeof text, "%d%c%d", l.data_bits, l.parity, l.stop_bits);
    return text;
}

void serReportLine(const char *path, const ser_line &asked, const ser_line &got)
{
    std::string missed;
    auto item = [&](bool taken, const std::string &what) {
        if (!taken)
            missed += (missed.empty() ? "" : ", ") + what;
    };
    const char *parity = asked.parity == 'E' ? "even" : asked.parity == 'O' ? "odd" : "no";
    item(got.baud == asked.baud, std::to_string(asked.baud) + " baud");
    item(got.data_bits == asked.data_bits, std::to_string(asked.data_bits) + " data bits");
    item(got.parity == asked.parity, std::string(parity) + " parity");
    item(got.stop_bits == asked.stop_bits, asked.stop_bits == 1 ? "1 stop bit" : "2 stop bits");
    item(got.flow_control == asked.flow_control, "no flow control");
    item(got.lines_off == asked.lines_off, "DTR/RTS off");
    item(got.timeouts == asked.timeouts, "read time-outs");
    if (missed.empty())
        return;
    std::string runs = Shape(got);
    if (got.baud != asked.baud)
        runs += " at " + std::to_string(got.baud) + " baud";
    if (got.flow_control)
        runs += " with flow control";
    conError("Port %s: %s not set, the line runs %s\n", path ? path : "?", missed.c_str(),
             runs.c_str());
}

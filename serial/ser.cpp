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
    if (l->baud == 0)
        return false;
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

// How many of the got bytes go on as the copy of the request from where earlier reads left it.
static int Matching(const ser_link *l, int got)
{
    const uint8_t *copy = l->request + l->matched;
    int n = std::min(got, l->length - l->matched);
    return static_cast<int>(std::mismatch(l->rx, l->rx + n, copy).first - l->rx);
}

int64_t serReadSilenceUs(const ser_link *l, int got)
{
    const int want = l->matched < 0 ? 0 : l->length - l->matched; // copy bytes still to come
    const int same = want > 0 ? Matching(l, got) : 0;
    // All of it may be the echo: a line that echoes may pause inside its echo; elsewhere only
    // a whole copy is in doubt.
    if (want > 0 && l->line != SER_ECHO_NONE && got > 0 && same == got &&
        (l->line == SER_ECHO_SEEN || l->early || got == want))
        return -1;
    if (l->fast) {
        const int copy = got >= want && same == want ? want : 0;
        // The Modbus end of frame: 3.5 characters of silence.
        if (crc_frame(l->rx + copy, got - copy) || crc_frame(l->rx, got))
            return std::max<int64_t>(CharsUs(l, 35), 1);
    }
    return int64_t{l->gap_ms} * 1000;
}

// Judges what a read after a send took in; the bytes of the echo at its start, or -1 when
// nothing of it goes on.
static int EchoAtStart(ser_link *l, int got)
{
    if (l->matched < 0 || got <= 0)
        return 0;
    const int want = l->length - l->matched; // bytes of the copy still to come
    const int same = Matching(l, got);
    const bool first = l->matched == 0;
    if (same < std::min(got, want)) {
        // Not a copy: the reply itself, or an echo broken on the way.
        if (first && l->line == SER_ECHO_UNKNOWN && crc_frame(l->rx, got))
            l->line = SER_ECHO_NONE;
        l->matched = -1;
        return 0;
    }
    // A copy that began while the request could still be on the wire is its echo.
    if (l->early)
        l->line = SER_ECHO_SEEN;
    if (got < want) {
        // The read ended inside a copy; the rest of it may come in the next one.
        l->matched += got;
        return l->line == SER_ECHO_SEEN ? -1 : 0;
    }
    l->matched = -1;
    const int rest = got - want;
    if (rest > 0 && (l->line == SER_ECHO_SEEN || crc_frame(l->rx + want, rest))) {
        l->line = SER_ECHO_SEEN;
        return want;
    }
    if (rest > 0)
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
    const int echo = EchoAtStart(l, got);
    if (echo < 0)
        return 0;
    const int n = std::min(got - echo, max_len);
    memcpy(buf, l->rx + echo, static_cast<size_t>(std::max(n, 0)));
    return std::max(n, 0);
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

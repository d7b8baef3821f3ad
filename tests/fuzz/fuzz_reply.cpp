// libFuzzer target: whatever arrives on the serial line, in every state that waits for a reply.
//
// This file is the whole world of the engine: it defines the serial, os and ui functions in
// place of the real ones (the real backend is not linked), so every read returns bytes taken
// from the fuzz input. Its clock runs in microseconds and moves only as the line makes it
// move. Its serWrite and serRead do what the POSIX backend does, on that clock: a send drops
// the input left from before, and while a line's echo is in doubt waits for input or for the
// time a reply could come, and judges what is there with serEchoShows; a read takes each
// piece of input as it arrives, asks serReadSilenceUs how long to wait for more, and ends at
// that silence or its total time; serEchoCut then hands the reply on.
//
// Input: a byte of flags (bit 0: the run is --fast's, serFast on its port; bit 1: the port's
// settings cannot be read, so the link never learns the line's speed; bit 2: the port cannot
// be opened, the rest of the input being the system's error code, a byte, and its text), two
// bytes choosing the image length (1 to 2100: up to five blocks, a last block of any length,
// whole multiples of 512 included), then any number of replies, each
//   ctl, length (2 bytes, big-endian, taken modulo 1200), [q0, q1 with ctl bit 6], bytes
// ctl bit 0: replace the last two bytes with a valid frame CRC; bit 1: put the image's CRC in
// bytes 11 and 12 first (as an honest target would); bit 2: the reply comes after the read's
// full time, so the next step resends; bit 3: a copy of the request goes ahead of the reply, as
// a line that echoes puts it (on the reply to a send only: a line echoes what was just sent;
// and the first such reply of a run decides for all: an adapter hands back every request or
// none); bit 4: with one byte of that copy changed; bit 5: that copy comes only after the
// request has left (as a USB adapter may hold a short echo back), where without the bit it
// comes at the line's pace as the request goes out; bit 6: the line's quirks below; bit 7: the
// reply's bytes come at the line's pace (95.5 us a byte, in bursts of FIFO bytes), where without
// the bit each piece comes at once.
// q0, stray bytes (0x00, or 0xFF with bit 6) as a bus without bias reads them: bits 0-1 that
// many ahead of the echo, bits 2-3 ahead of the reply, bits 4-5 after it; bit 7: the drain
// returns 5 ms after the request's last byte, as a UART's may. q1, a hole in the reply, as a
// USB adapter leaves one: bits 5-7 where (at that many eighths of the reply; 0: none), bits
// 0-3 how long (in 4 ms); bit 4: the echo stops after two thirds of the request.
// A reply goes on the line when a request is sent, the device answering 2 ms after the request
// or its echo; a read that finds nothing under way takes the next reply then, without echo.
// The harness knows whose each byte is: the device's, the echo's or the bus's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/installer.h"
#include "engine/ui.h"
#include "modbus/modbus.h"
#include "run/window.h"
#include "serial/ser.h"
#include "system/os.h"
#include "tests/rig.h"

namespace
{

using bytes = std::vector<uint8_t>;

// The harness's own CRC-16/MODBUS, so that the engine's is never judged by itself.
unsigned refCrc(const uint8_t *p, size_t n)
{
    unsigned c = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return c;
}

bool refOk(const bytes &f)
{
    size_t n = f.size();
    return n > 3 && refCrc(f.data(), n - 2) == (f[n - 2] | unsigned{f[n - 1]} << 8);
}

// Every invariant failure ends the run as a crash, which libFuzzer reports with the input.
void check(bool cond, const char *what)
{
    if (!cond) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

constexpr int64_t BYTE_US = 95; // a byte at 115200 baud 8E1, 95.49 us
constexpr size_t FIFO = 14;     // paced bytes come in bursts of a 16550A's receive trigger level
constexpr uint32_t TICK0 = 0xFFFFFC00u; // the tick wraps a second into the run

int64_t wireUs(size_t n)
{
    return static_cast<int64_t>(n) * 95'486 / 1000;
}

// The silence a read sees in a hole followed by `rest` bytes: the hole, then the line's time for
// the first burst of them (FIFO bytes), or for all of them where they come at once.
int64_t holeSilence(int64_t hole, size_t rest, bool paced)
{
    return hole + static_cast<int64_t>(paced ? std::min(FIFO, rest) : rest) * BYTE_US;
}

enum whose : uint8_t { DEVICE, ECHO, BUS };

struct arrival {
    int64_t at; // on the clock
    uint8_t byte;
    whose from;
};

struct world {
    const uint8_t *in = nullptr;
    size_t left = 0;
    int64_t us = 0; // the clock
    rig *r = nullptr;
    unsigned image_crc = 0;
    bool no_speed = false; // serInit could not read the port's settings
    bool no_port = false;  // serOpen fails, with this error code and text:
    unsigned long error = 0;
    const char *error_text = nullptr;
    size_t error_length = 0;
    std::string box;           // what the fatal report showed
    std::vector<arrival> line; // bytes on their way, in the order they come,
    size_t next = 0;           // ... from this one on
    bytes last;                // what the last read returned
    bytes request;             // the last request sent
    uint32_t sent_to = 0;      // image bytes sent, from the start without a gap
    int sends = 0;
    uint32_t sent_at = 0; // tick at which the last request went out
    bool again = false;   // a step sent the last request again
    bool exhausted = false;
    int echoes = -1; // the line hands back what is sent (1) or not (0); -1: not yet drawn
    // The echo of the reply under way came while its request went out, and the link could tell
    // (a late drain or a line of unknown speed may leave it unable to); whole and unchanged,
    // behind no more stray bytes than the link takes for nothing.
    bool echo_early = false;
    bool echo_intact = false;
    bool shown = false;      // an intact echo came in time, as the link could tell, since the start
    bool late_drain = false; // the drain of the send under way returns late
    bool findable = false;   // the reply under way must be taken by the first read of it
    bool read_findable = false; // the last read took such a reply
    bool device = false;        // the last read handed on a byte of the device
    bool echoed = false;        // ... a byte of the echo
    bool echo_in_time = false;  // ... while an echo had come in time, or ever had
};

world w;
// Thrown by the fatal report's beep, where the process would end.
struct process_ended {
};

uint32_t tick()
{
    return TICK0 + static_cast<uint32_t>(w.us / 1000);
}

void put(int64_t at, uint8_t b, whose from)
{
    w.line.push_back({at, b, from});
}

bool lineIdle()
{
    return w.next == w.line.size();
}

void lineClear()
{
    w.line.clear();
    w.next = 0;
}

// One transmission on the line: its bytes, and whose each is.
struct transmission {
    bytes b;
    std::vector<whose> from;
    void add(const uint8_t *p, size_t n, whose o)
    {
        b.insert(b.end(), p, p + n);
        from.insert(from.end(), n, o);
    }
};

// Puts bytes lo to hi of a transmission on the line from t, at its pace or all at once; when
// the last has come. No byte comes sooner than the line could have carried it: at once is when
// the last has.
int64_t piece(int64_t t, const transmission &x, size_t lo, size_t hi, bool paced)
{
    const size_t n = hi - lo;
    for (size_t i = 0; i < n; i++)
        put(t + static_cast<int64_t>(paced ? std::min((i / FIFO + 1) * FIFO, n) : n) * BYTE_US,
            x.b[lo + i], x.from[lo + i]);
    return t + static_cast<int64_t>(n) * BYTE_US;
}

// One of the two is the start of the other: the device's frame could be taken for a copy.
bool likeRequest(const bytes &d)
{
    const size_t n = std::min(d.size(), w.request.size());
    return n > 0 && std::equal(d.begin(), d.begin() + static_cast<long>(n), w.request.begin());
}

// Lays the next reply of the input on the line from t0: after a send, t0 is the start of its
// write and the echo comes first. false when the input has run dry.
bool lay(int64_t t0, bool after_send)
{
    const size_t head = w.left >= 1 && (w.in[0] & 64) ? 5 : 3;
    if (w.left < head) {
        w.exhausted = true;
        return false;
    }
    const unsigned ctl = w.in[0], q0 = head == 5 ? w.in[3] : 0, q1 = head == 5 ? w.in[4] : 0;
    const size_t n = std::min<size_t>((unsigned{w.in[1]} << 8 | w.in[2]) % 1200, w.left - head);
    bytes d(w.in + head, w.in + head + n);
    w.in += head + n;
    w.left -= head + n;
    if ((ctl & 2) && n >= 15) {
        d[11] = static_cast<uint8_t>(w.image_crc >> 8);
        d[12] = static_cast<uint8_t>(w.image_crc);
    }
    if ((ctl & 1) && n >= 2) {
        unsigned c = refCrc(d.data(), n - 2);
        d[n - 2] = static_cast<uint8_t>(c);
        d[n - 1] = static_cast<uint8_t>(c >> 8);
    }
    const uint8_t stray = (q0 & 64) ? 0xFF : 0x00;
    const int stray_echo = static_cast<int>(q0 & 3), ahead = static_cast<int>(q0 >> 2 & 3),
              after = static_cast<int>(q0 >> 4 & 3);
    w.late_drain = after_send && (q0 & 128);
    const bool paced = ctl & 128;
    int64_t t = t0;
    if (after_send && w.echoes < 0)
        w.echoes = (ctl & 8) != 0;
    const bool echo = after_send && w.echoes == 1, in_time = echo && !(ctl & 32);
    // Whether it shows in time, serWrite's look tells.
    w.echo_early = in_time;
    w.echo_intact = !(ctl & 16) && !(q1 & 16) && stray_echo <= SER_STRAY_MAX;
    if (echo) {
        bytes copy = w.request;
        if ((ctl & 16) && !copy.empty())
            copy[n % copy.size()] ^= 0x20;
        if (q1 & 16)
            copy.resize(copy.size() * 2 / 3);
        // In time, each byte a byte time after the tool's copy of it went out; late, at once
        // after the request has left.
        transmission x;
        x.add(bytes(static_cast<size_t>(stray_echo), stray).data(), static_cast<size_t>(stray_echo),
              BUS);
        x.add(copy.data(), copy.size(), ECHO);
        t = piece(in_time ? t0 : t0 + wireUs(copy.size()) + 4000, x, 0, x.b.size(), in_time);
    } else if (after_send) {
        t = t0 + wireUs(w.request.size());
    }
    t += 2000;
    if (ctl & 4)
        t += (int64_t{MODBUS_RESPONSE_TIMEOUT} + 1) * 1000;
    // The device's transmission: the bus's bytes as its driver turns on and off around the reply.
    transmission x;
    x.add(bytes(static_cast<size_t>(ahead), stray).data(), static_cast<size_t>(ahead), BUS);
    x.add(d.data(), n, DEVICE);
    x.add(bytes(static_cast<size_t>(after), stray).data(), static_cast<size_t>(after), BUS);
    const size_t hole_at = (q1 >> 5) ? n * (q1 >> 5) / 8 : n + 1;
    const int64_t hole = int64_t{q1 & 15} * 4000;
    const size_t cut = static_cast<size_t>(ahead) + std::min(hole_at, n);
    t = piece(t, x, 0, cut, paced);
    piece(t + (cut < x.b.size() ? hole : 0), x, cut, x.b.size(), paced);
    // A frame of the device, whole, with no more stray bytes around it than the link takes for
    // nothing, and holes no longer than it waits over: the first read of it must take it.
    const bool frame = n >= MB_MEI_REPLY_MIN && refOk(d) && d[0] == MODBUS_NODE_DEFAULT &&
                       (d[1] == MB_FN_ENCAPSULATED_INTERFACE_TRANSPORT ||
                        (d[1] == (MB_FN_ENCAPSULATED_INTERFACE_TRANSPORT | int{MB_EXCEPTION}) &&
                         n == MB_EXCEPTION_LENGTH));
    const bool echo_cut = !echo || w.echo_intact;
    const bool hole_short = holeSilence(hole, x.b.size() - cut, paced) <= SER_HOLE_MS * 1000;
    const bool waited_over = hole_at > n || hole == 0 || (hole_at >= 1 && hole_short);
    w.findable = after_send && frame && !likeRequest(d) && ahead <= SER_STRAY_MAX &&
                 after <= SER_STRAY_MAX && echo_cut && waited_over && !(ctl & 4) &&
                 n + 2 * SER_STRAY_MAX <= MODBUS_FRAME_LENGTH_MAX;
    return true;
}

// A good range-CRC reply, long enough to carry the CRC, carrying the image's.
bool carriesImageCrc(const bytes &a)
{
    return a.size() >= 15 && refOk(a) && bitRd16BE(a.data() + 11) == w.image_crc;
}

// The target's view of each request: well formed, blocks of the image's own bytes from its
// start without a gap, the range CRC over the whole image once all of it went out, and the
// reset only once the target's CRC was seen to match.
void request(const uint8_t *f, int len)
{
    check(len >= 5 && len <= MODBUS_FRAME_LENGTH_MAX && refOk(bytes(f, f + len)) &&
              f[0] == MODBUS_NODE_DEFAULT && f[1] == 43,
          "request well formed");
    const uint32_t n = w.r->rec.image_length;
    if (f[2] == MEI_TYPE_PROG) {
        check(len >= 12, "write length");
        const uint32_t off = bitRd32BE(f + 3) - IMAGE_BASE_ADDRESS, blen = bitRd16BE(f + 7);
        check(blen >= 1 && blen <= 512 && len == static_cast<int>(blen) + 11 && off <= w.sent_to &&
                  off < n && blen <= n - off && memcmp(f + 9, w.r->image.data() + off, blen) == 0,
              "a block of the image, none skipped");
        w.sent_to = std::max(w.sent_to, off + blen);
    } else if (f[2] == MEI_TYPE_PROG_VERIFY) {
        check(len == 13 && bitRd32BE(f + 3) == IMAGE_BASE_ADDRESS && bitRd32BE(f + 7) == n &&
                  w.sent_to == n,
              "range CRC over the image, once all of it went out");
    } else {
        check(f[2] == MEI_TYPE_PROG_RESET && len == 5 &&
                  (w.r->rec.state == STATE_TARGET_RESET ||
                   (w.r->rec.state == STATE_VERIFY && carriesImageCrc(w.last))),
              "reset only after a reply carrying the image's CRC");
    }
}

} // namespace

// ---- the serial line, the clock and the window, as this harness provides them ----

int serOpen(ser_port *port, const char *)
{
    *port = ser_port{};
    port->open = !w.no_port;
    serLinkReset(&port->link);
    return w.no_port ? -1 : 0;
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
    if (w.no_speed)
        return -1; // the link keeps what serOpen gave it, as the backends' serInit does
    serLinkSetUp(&port->link, baud, timeout_ms);
    return 0;
}

void serFast(ser_port *port)
{
    port->link.fast = true;
}

int serWrite(ser_port *port, const void *buf, int len)
{
    check(port->open, "write on an open port");
    request(static_cast<const uint8_t *>(buf), len);
    const bytes sent(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + len);
    w.again = w.again || sent == w.request;
    w.request = sent;
    w.sent_at = tick();
    const int64_t start = w.us;
    // Input left over from before the request is dropped as it goes out; the next reply of
    // the input is this request's.
    lineClear();
    serEchoSent(&port->link, buf, len);
    lay(start, true);
    // The drain, as a UART's: when the last byte has gone, or later. While the line's echo is
    // in doubt, the wait for input or for the time a reply could come, and what is there then.
    w.us += wireUs(sent.size()) + (w.late_drain ? 5000 : 0);
    if (const int64_t watch = serEchoWatchUs(&port->link, len); watch >= 0) {
        if (w.us < start + watch)
            w.us =
                std::min(start + watch, lineIdle() ? INT64_MAX : std::max(w.us, w.line[w.next].at));
        const auto queued = std::count_if(w.line.begin() + static_cast<long>(w.next), w.line.end(),
                                          [](const arrival &a) { return a.at <= w.us; });
        if (serEchoShows(&port->link, len, w.us - start, static_cast<int>(queued)))
            serEchoEarly(&port->link);
    }
    w.echo_early = w.echo_early && port->link.early;
    w.shown = w.shown || (w.echo_early && w.echo_intact);
    port->sent = true;
    w.sends++;
    return len;
}

int serRead(ser_port *port, void *buf, int max_len)
{
    check(port->open && max_len > 0 && max_len <= MODBUS_FRAME_LENGTH_MAX, "read arguments");
    port->sent = false;
    if (lineIdle())
        lay(w.us, false);
    w.read_findable = std::exchange(w.findable, false) && !lineIdle();
    // As the POSIX backend reads: each piece as it comes, then as long a silence as the link
    // names, or its total time.
    ser_link *l = &port->link;
    const int room = serReadRoom(l, max_len);
    check(room <= static_cast<int>(sizeof l->rx), "a read fits the link's buffer");
    std::vector<whose> from(static_cast<size_t>(room));
    // cppcheck-suppress redundantAssignment ; the clock is read here, not assigned
    const int64_t end = w.us + int64_t{l->total_ms} * 1000;
    int64_t until = end;
    int got = 0;
    while (got < room) {
        if (lineIdle() || w.line[w.next].at > until) {
            w.us = std::max(w.us, until);
            break;
        }
        w.us = std::max(w.us, w.line[w.next].at);
        for (; got < room && !lineIdle() && w.line[w.next].at <= w.us; w.next++) {
            l->rx[got] = w.line[w.next].byte;
            from[static_cast<size_t>(got++)] = w.line[w.next].from;
        }
        const int64_t silence = serReadSilenceUs(l, got);
        until = silence < 0 ? end : std::min(end, w.us + silence);
    }
    auto *b = static_cast<uint8_t *>(buf);
    const int n = serEchoCut(l, got, b, max_len);
    check(n >= 0 && n <= got && n <= max_len,
          "the echo taken out of what came, no more, and no more than asked");
    w.last.assign(b, b + n);
    w.echo_in_time = w.echo_early || w.shown;
    // Whose bytes went on: where they stand in what came.
    w.device = w.echoed = false;
    for (int at = 0; n > 0 && at + n <= got; at++) {
        if (memcmp(l->rx + at, b, static_cast<size_t>(n)) != 0)
            continue;
        const auto first = from.begin() + at, last = first + n;
        w.device = w.device || std::find(first, last, DEVICE) != last;
        w.echoed = w.echoed || std::find(first, last, ECHO) != last;
    }
    installer_t judged{};
    judged.buf = b;
    judged.len = n;
    judged.max = max_len;
    check(ok(&judged) == (refOk(w.last) ? 1 : 0), "ok() agrees with the reference check");
    judged.max = n - 1;
    check(ok(&judged) == 0, "ok() refuses a frame longer than its buffer");
    return n;
}

void serPurge(ser_port *port)
{
    // Right after a send the link keeps what has come since, and what is still coming.
    if (!std::exchange(port->sent, false)) {
        serEchoForget(&port->link);
        lineClear();
    }
}

void serClose(ser_port *port)
{
    port->open = false;
}

uint32_t osTickms()
{
    return tick();
}

unsigned long osLastError()
{
    return w.error;
}

int osErrorText(unsigned long, char *buf, int size)
{
    if (size <= 0)
        return 0;
    // The system's text is a string: it ends at a NUL.
    const size_t n = std::min(strnlen(w.error_text, w.error_length), static_cast<size_t>(size) - 1);
    memcpy(buf, w.error_text, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

void uiStatus(const char *) {}
void uiMessageBox(const char *, const char *text)
{
    w.box = text;
}
void uiBeep(unsigned, unsigned)
{
    if (w.no_port)
        throw process_ended{};
}

// cppcheck-suppress constParameter ; libFuzzer's own signature
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // libFuzzer's own flags start with one dash, and it would take --help for a corpus.
    for (int i = 1; i < *argc; i++) {
        if (strcmp((*argv)[i], "--help") == 0) {
            puts("usage: fuzz_reply [-help=1] [libFuzzer flags] [CORPUS_DIR...]\n"
                 "Fuzzes the engine's reply path (see its source, and scripts/fuzz.sh).");
            exit(0);
        }
    }
    // The console log of every step would drown libFuzzer's own output; VEK_FUZZ_LOG=1 keeps
    // it, to follow a crashing input step by step.
    if (!getenv("VEK_FUZZ_LOG"))
        return freopen("/dev/null", "w", stdout) ? 0 : 1;
    return 0;
}

// A run on a port that cannot be opened: the fatal report, its text whole within its buffer.
void fatalOpen(rig *r)
{
    try {
        rigStart(r);
        check(false, "a port that cannot be opened ends the run");
    } catch (const process_ended &) {
    }
    static constexpr char head[] = "\n\nAn Error has occurred as follows:\n          Unable to "
                                   "open serial port. In use already, or not present\n";
    static constexpr char tail[] = "\n\n The program will now abort\n\n\n";
    const std::string &b = w.box;
    check(b.size() < 1000 && b.rfind(head, 0) == 0 && b.size() >= sizeof tail &&
              b.compare(b.size() - (sizeof tail - 1), std::string::npos, tail) == 0 &&
              (w.error != 0) == (b.find("Error number ") != std::string::npos),
          "the fatal report whole, within its buffer");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    w = world{};
    const uint32_t n = 1 + (unsigned{data[1]} << 8 | data[2]) % 2100;
    w.no_speed = data[0] & 2;
    w.no_port = data[0] & 4;
    w.in = data + 3;
    w.left = size - 3;
    // The frame buffer and the image at their exact sizes: ASan sees past either end.
    rig r;
    rigSetUp(&r, pattern(n), "fuzz");
    if (w.no_port) {
        w.error = w.left > 0 ? w.in[0] : 0;
        w.error_text = reinterpret_cast<const char *>(w.in) + (w.left > 0);
        w.error_length = w.left - (w.left > 0);
        fatalOpen(&r);
        return 0;
    }
    w.r = &r;
    w.image_crc = refCrc(r.image.data(), n);
    const bool fast = data[0] & 1;
    run_t run = rigStart(&r, fast);
    T t = run.t;

    // One step a tick until the input runs dry; a final state gets three more ticks to show
    // that it stays put and sends nothing.
    for (int after_end = 0; !w.exhausted && after_end < 3;) {
        const state_t before = t->state;
        const uint32_t offset = t->image_current_offset;
        const int sends = w.sends;
        w.last.clear();
        w.device = w.echoed = w.echo_in_time = w.read_findable = false;
        // The window's tick, or under --fast straight on, as RunPace waits.
        // cppcheck-suppress unreadVariable ; fast is read here, on every step
        w.us += fast ? 0 : int64_t{WINDOWS_TIMER_PERIOD} * 1000;
        // The clock starts a second before its 32-bit wrap: elapsed time is the unsigned
        // difference, and a request goes out again exactly when the response time is up.
        const bool waiting =
            before == STATE_PROG || before == STATE_VERIFY || before == STATE_TARGET_RESET;
        const bool due = waiting && uint32_t(tick() - w.sent_at) > MODBUS_RESPONSE_TIMEOUT;
        w.again = false;
        RunStep(&run);
        check(w.again == due, "sent again when, and only when, the response time is up");
        // cppcheck-suppress knownConditionTrueFalse ; RunStep moves the record on, through run.t
        const bool moved = t->state != before || t->image_current_offset != offset;
        // cppcheck-suppress knownConditionTrueFalse ; as above
        if (waiting && moved) {
            check(refOk(w.last), "moves on only on a good reply");
            // Never on stray bytes alone. Only a line whose echo always came late may be taken
            // for a device that answers with a copy; one that showed its echo in time never.
            check(w.device || (w.echoed && !w.echo_in_time),
                  "a request taken as answered by nothing but its echo and the bus's bytes");
        }
        // A frame of the device among no more stray bytes than the link takes for nothing, with
        // no longer a hole than it waits over, is taken at once.
        check(!waiting || !w.read_findable || moved, "a reply the link had to find was lost");
        // cppcheck-suppress knownConditionTrueFalse ; as above
        if (before == STATE_VERIFY && t->state == STATE_TARGET_RESET)
            check(carriesImageCrc(w.last), "verified only by a reply carrying the image's CRC");
        if (before == STATE_COMPLETE || before == STATE_VERIFY_FAILED) {
            check(t->state == before && w.sends == sends, "a final state stays and sends nothing");
            after_end++;
        }
    }
    serClose(&t->h_port);
    return 0;
}

// libFuzzer target: whatever arrives on the serial line, in every state that waits for a reply.
//
// This file is the whole world of the engine: it defines the serial, os and ui functions in
// place of the real ones (the real backend is not linked), so every read returns bytes taken
// from the fuzz input and the clock moves only as the line would make it move.
//
// Input: two bytes choosing the image length (1 to 2100: up to five blocks, a last block of
// any length, whole multiples of 512 included), then any number of replies, each
//   ctl, length (2 bytes, big-endian, taken modulo 1200), bytes
// ctl bit 0: replace the last two bytes with a valid frame CRC; bit 1: put the image's CRC in
// bytes 11 and 12 first (as an honest target would); bit 2: the read also waits its full time,
// so the next step resends; bit 3: a copy of the last request goes ahead of the reply, as a
// line that echoes puts it (on the first reply after a request only: a line echoes what was
// just sent; and the first such reply of a run decides for all: an adapter hands back every
// request or none); bit 4: with one byte of that copy changed; bit 5: that copy comes
// only after the request has left (as a USB adapter may hold a short echo back), where without
// the bit it begins while the request is still on the wire. Without the bits the bytes go to
// the link exactly as given. Each read returns at most what the link asks for (max_len, and the
// echo on top), the rest waits for the next read unless a send purges it; an empty reply is a
// read on which nothing came. What a read returns goes through the link's own echo check, as
// in the backends.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

struct world {
    const uint8_t *in = nullptr;
    size_t left = 0;
    uint32_t now = 0;
    rig *r = nullptr;
    unsigned image_crc = 0;
    bytes pending;        // bytes of the current reply not yet read
    bytes last;           // what the last read returned
    bytes request;        // the last request sent
    uint32_t sent_to = 0; // image bytes sent, from the start without a gap
    int sends = 0;
    uint32_t sent_at = 0; // when the last request went out
    bool again = false;   // a step sent the last request again
    bool exhausted = false;
    bool fresh = false;   // no reply drawn since the last request went out
    int echoes = -1;      // the line hands back what is sent (1) or not (0); -1: not yet drawn
    size_t echo_left = 0; // bytes at the start of pending that are the line's echo
    bool echo_early = false;
    bool echo_only = false; // what the last read handed on was nothing but echo
    bool shown = false;     // an intact echo came while its request was on the wire
};

world w;

bool nextReply()
{
    if (w.left < 3) {
        w.exhausted = true;
        return false;
    }
    const unsigned ctl = w.in[0];
    const size_t n = std::min<size_t>((unsigned{w.in[1]} << 8 | w.in[2]) % 1200, w.left - 3);
    w.pending.assign(w.in + 3, w.in + 3 + n);
    w.in += 3 + n;
    w.left -= 3 + n;
    if ((ctl & 2) && n >= 15) {
        w.pending[11] = static_cast<uint8_t>(w.image_crc >> 8);
        w.pending[12] = static_cast<uint8_t>(w.image_crc);
    }
    if ((ctl & 1) && n >= 2) {
        unsigned c = refCrc(w.pending.data(), n - 2);
        w.pending[n - 2] = static_cast<uint8_t>(c);
        w.pending[n - 1] = static_cast<uint8_t>(c >> 8);
    }
    if (ctl & 4)
        w.now += MODBUS_RESPONSE_TIMEOUT + 1;
    w.echo_left = 0;
    // A line hands back what was just sent: only the reply read first after a request has an
    // echo ahead of it.
    if (w.fresh && w.echoes < 0)
        w.echoes = (ctl & 8) != 0;
    if (w.fresh && w.echoes == 1) {
        bytes echo = w.request;
        if ((ctl & 16) && !echo.empty())
            echo[n % echo.size()] ^= 0x20;
        w.pending.insert(w.pending.begin(), echo.begin(), echo.end());
        w.echo_left = echo.size();
        w.echo_early = !(ctl & 32);
        w.shown = w.shown || (w.echo_early && !(ctl & 16));
    }
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
    port->open = true;
    serLinkReset(&port->link);
    return 0;
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
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
    w.sent_at = w.now;
    w.fresh = true;
    serEchoSent(&port->link, buf, len);
    // The reply read next is the next one of the input: the purge after this send drops
    // whatever is pending. Its echo, unless late, begins while this request is on the wire.
    const bool echoes = w.echoes < 0 ? w.left >= 3 && (w.in[0] & 8) : w.echoes == 1;
    if (serEchoWatchUs(&port->link, len) >= 0 && echoes && w.left >= 3 && !(w.in[0] & 32))
        serEchoEarly(&port->link);
    port->sent = true;
    w.sends++;
    w.now += static_cast<uint32_t>(len) / 10 + 1; // 95 us a byte on the line
    return len;
}

int serRead(ser_port *port, void *buf, int max_len)
{
    check(port->open && max_len > 0 && max_len <= MODBUS_FRAME_LENGTH_MAX, "read arguments");
    port->sent = false;
    if (w.pending.empty() && !nextReply()) {
        w.now += 1000; // nothing came: the read waited its full time
        return 0;
    }
    w.fresh = false;
    ser_link *l = &port->link;
    const size_t n = std::min(w.pending.size(), static_cast<size_t>(serReadRoom(l, max_len)));
    check(n <= sizeof l->rx, "a read fits the link's buffer");
    std::copy(w.pending.begin(), w.pending.begin() + static_cast<long>(n), l->rx);
    w.pending.erase(w.pending.begin(), w.pending.begin() + static_cast<long>(n));
    const size_t echo = std::min(n, w.echo_left);
    w.echo_left -= echo;
    w.now += n ? static_cast<uint32_t>(SERIAL_READ_TIMEOUT + n / 10) : 1000;
    auto *b = static_cast<uint8_t *>(buf);
    const int got = serEchoCut(l, static_cast<int>(n), b, max_len);
    check(got >= 0 && got <= static_cast<int>(n) && got <= max_len,
          "the echo taken out of what came, no more, and no more than asked");
    w.echo_only = got > 0 && echo == n;
    w.last.assign(b, b + got);
    installer_t judged{};
    judged.buf = b;
    judged.len = got;
    judged.max = max_len;
    check(ok(&judged) == (refOk(w.last) ? 1 : 0), "ok() agrees with the reference check");
    return got;
}

void serPurge(ser_port *port)
{
    // Right after a send the link keeps what has come since (here: nothing yet).
    if (!std::exchange(port->sent, false))
        serEchoForget(&port->link);
    w.pending.clear();
}

void serClose(ser_port *port)
{
    port->open = false;
}

uint32_t osTickms()
{
    return w.now;
}

unsigned long osLastError()
{
    return 0;
}

int osErrorText(unsigned long, char *buf, int size)
{
    if (size > 0)
        buf[0] = '\0';
    return 0;
}

void uiStatus(const char *) {}
void uiMessageBox(const char *, const char *) {}
void uiBeep(unsigned, unsigned) {}

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    w = world{};
    const uint32_t n = 1 + (unsigned{data[0]} << 8 | data[1]) % 2100;
    w.in = data + 2;
    w.left = size - 2;
    w.now = 0xFFFFFC00u; // the tick wraps a second into the run
    // The frame buffer and the image at their exact sizes: ASan sees past either end.
    rig r;
    rigSetUp(&r, pattern(n), "fuzz");
    w.r = &r;
    w.image_crc = refCrc(r.image.data(), n);
    run_t run = rigStart(&r);
    T t = run.t;

    // One step a tick until the input runs dry; a final state gets three more ticks to show
    // that it stays put and sends nothing.
    for (int after_end = 0; !w.exhausted && after_end < 3;) {
        const state_t before = t->state;
        const uint32_t offset = t->image_current_offset;
        const int sends = w.sends;
        w.last.clear();
        w.echo_only = false;
        w.now += WINDOWS_TIMER_PERIOD;
        // The clock starts a second before its 32-bit wrap: elapsed time is the unsigned
        // difference, and a request goes out again exactly when the response time is up.
        const bool waiting =
            before == STATE_PROG || before == STATE_VERIFY || before == STATE_TARGET_RESET;
        const bool due = waiting && uint32_t(w.now - w.sent_at) > MODBUS_RESPONSE_TIMEOUT;
        w.again = false;
        RunStep(&run);
        check(w.again == due, "sent again when, and only when, the response time is up");
        // cppcheck-suppress knownConditionTrueFalse ; RunStep moves the record on, through run.t
        if (waiting && (t->state != before || t->image_current_offset != offset)) {
            check(refOk(w.last), "moves on only on a good reply");
            // Only a line whose echo always came late may be taken for a device that answers
            // with a copy of its request; one that showed its echo in time never.
            check(!w.echo_only || (!w.echo_early && !w.shown),
                  "a request taken as answered by nothing but its echo");
        }
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

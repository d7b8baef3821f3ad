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
// line that echoes puts it; bit 4: with one byte of that copy changed. Without the bits the
// bytes go to the link exactly as given. Each read returns at most max_len bytes of a reply,
// the rest waits for the next read unless a send purges it; an empty reply is a read on which
// nothing came. What a read returns goes through the link's own echo check, as in the backends.
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
#include "serial/os.h"
#include "serial/ser.h"
#include "shell/program.h"

namespace
{

constexpr uint32_t BASE = IMAGE_BASE_ADDRESS;

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

bool refOk(const std::vector<uint8_t> &f)
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
    installer_t rec{};
    std::vector<uint8_t> image;
    unsigned image_crc = 0;
    std::vector<uint8_t> pending; // bytes of the current reply not yet read
    std::vector<uint8_t> last;    // what the last read returned
    std::vector<uint8_t> request; // the last request sent
    std::vector<bool> written;    // image bytes the target has been sent
    size_t written_count = 0;
    int sends = 0;
    uint32_t sent_at = 0;     // when the last request went out
    bool first_again = false; // the first request of this step was the last one again
    bool exhausted = false;
};

world w;

bool nextReply()
{
    if (w.left < 3) {
        w.exhausted = true;
        return false;
    }
    const unsigned ctl = w.in[0];
    size_t n = (unsigned{w.in[1]} << 8 | w.in[2]) % 1200;
    w.in += 3;
    w.left -= 3;
    n = n < w.left ? n : w.left;
    w.pending.assign(w.in, w.in + n);
    w.in += n;
    w.left -= n;
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
    // ok() on its own, against the harness's reading of a good frame.
    if (n <= MODBUS_FRAME_LENGTH_MAX) {
        std::vector<uint8_t> buf(w.pending);
        installer_t r{};
        r.buf = buf.data();
        r.len = static_cast<int32_t>(n);
        r.max = MODBUS_FRAME_LENGTH_MAX;
        check(ok(&r) == (refOk(w.pending) ? 1 : 0), "ok() agrees with the reference check");
    }
    if (ctl & 8) {
        std::vector<uint8_t> echo = w.request;
        if ((ctl & 16) && !echo.empty())
            echo[n % echo.size()] ^= 0x20;
        w.pending.insert(w.pending.begin(), echo.begin(), echo.end());
    }
    return true;
}

// The target's view of each request: well formed, inside the image, blocks carrying the
// image's own bytes, and the CRC and reset requests only when they are due.
void request(const uint8_t *f, int len)
{
    check(len >= 5 && len <= MODBUS_FRAME_LENGTH_MAX, "request length");
    std::vector<uint8_t> r(f, f + len);
    check(refOk(r), "request CRC");
    check(f[0] == MODBUS_NODE_DEFAULT && f[1] == 43, "request header");
    const uint32_t n = w.rec.image_length;
    if (f[2] == MEI_TYPE_PROG) {
        check(len >= 12, "write length");
        uint32_t off = bitRd32BE(f + 3) - BASE, blen = bitRd16BE(f + 7);
        check(blen >= 1 && blen <= 512 && len == static_cast<int>(blen) + 11, "block length");
        check(off < n && blen <= n - off, "block inside the image");
        check(memcmp(f + 9, w.image.data() + off, blen) == 0, "block carries the image");
        for (uint32_t i = off; i < off + blen; i++)
            if (!w.written[i]) {
                w.written[i] = true;
                w.written_count++;
            }
    } else if (f[2] == MEI_TYPE_PROG_VERIFY) {
        check(len == 13 && bitRd32BE(f + 3) == BASE && bitRd32BE(f + 7) == n, "range request");
        check(w.written_count == n, "range CRC asked only once the whole image went out");
    } else if (f[2] == MEI_TYPE_PROG_RESET) {
        check(len == 5, "reset length");
        const std::vector<uint8_t> &a = w.last;
        bool resend = w.rec.state == STATE_TARGET_RESET;
        bool carried = a.size() >= 15 && refOk(a) && bitRd16BE(a.data() + 11) == w.image_crc;
        check(resend || (w.rec.state == STATE_VERIFY && carried),
              "reset only after a reply carrying the image's CRC");
    } else {
        check(false, "request type");
    }
}

} // namespace

// ---- the serial line, the clock and the window, as this harness provides them ----

int serOpen(ser_port *port, const char *)
{
    *port = ser_port{};
    port->fd = 3;
    port->open = true;
    serEchoReset(&port->echo);
    return 0;
}

int serInit(ser_port *, uint32_t, uint32_t)
{
    return 0;
}

int serWrite(ser_port *port, const void *buf, int len)
{
    check(port->open, "write on an open port");
    request(static_cast<const uint8_t *>(buf), len);
    const std::vector<uint8_t> sent(static_cast<const uint8_t *>(buf),
                                    static_cast<const uint8_t *>(buf) + len);
    w.first_again = w.first_again || sent == w.request;
    w.request = sent;
    w.sent_at = w.now;
    serEchoSent(&port->echo, buf, len);
    port->sent = true;
    w.sends++;
    w.now += static_cast<uint32_t>(len) / 10 + 1; // 95 us a byte on the line
    return len;
}

int serRead(ser_port *port, void *buf, int max_len)
{
    check(port->open && max_len > 0 && max_len <= MODBUS_FRAME_LENGTH_MAX, "read arguments");
    port->sent = false;
    w.last.clear();
    if (w.pending.empty() && !nextReply()) {
        w.now += 1000; // nothing came: the read waited its full time
        return 0;
    }
    size_t n = w.pending.size() < static_cast<size_t>(max_len) ? w.pending.size()
                                                               : static_cast<size_t>(max_len);
    auto *b = static_cast<uint8_t *>(buf);
    std::copy(w.pending.begin(), w.pending.begin() + static_cast<long>(n), b);
    w.pending.erase(w.pending.begin(), w.pending.begin() + static_cast<long>(n));
    w.now += n ? static_cast<uint32_t>(SERIAL_READ_TIMEOUT + n / 10) : 1000;
    const int got = serEchoCut(&port->echo, b, static_cast<int>(n));
    check(got >= 0 && got <= static_cast<int>(n), "the echo taken out of what came, no more");
    w.last.assign(b, b + got);
    return got;
}

void serPurge(ser_port *port)
{
    // Right after a send the link keeps what has come since (here: nothing yet).
    if (!std::exchange(port->sent, false))
        serEchoForget(&port->echo);
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

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The console log of every step would drown libFuzzer's own output; VEK_FUZZ_LOG=1 keeps
    // it, to follow a crashing input step by step.
    if (!getenv("VEK_FUZZ_LOG") && !freopen("/dev/null", "w", stdout))
        return 0;
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
    w.image.resize(n);
    uint32_t x = n * 2654435761u + 1;
    for (auto &b : w.image) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    w.image_crc = refCrc(w.image.data(), n);
    w.written.assign(n, false);

    // Exactly sized, so that any access past either end is caught.
    auto *buf = new uint8_t[MODBUS_FRAME_LENGTH_MAX];
    auto *image = new uint8_t[n];
    memcpy(image, w.image.data(), n);
    installer_t &t = w.rec;
    t.buf = buf;
    t.max = MODBUS_FRAME_LENGTH_MAX;
    t.node = MODBUS_NODE_DEFAULT;
    t.image = image;
    t.image_length = n;
    t.image_base_address = BASE;
    t.port = "fuzz";
    t.baud = 115200;
    prog_init(&t);

    // One step a tick until the input runs dry; a final state gets a few more ticks to show
    // that it stays put and sends nothing.
    int after_end = 0;
    while (!w.exhausted && after_end < 3) {
        const state_t before = t.state;
        const uint32_t offset = t.image_current_offset;
        w.last.clear();
        w.now += WINDOWS_TIMER_PERIOD;
        // The clock starts a second before its 32-bit wrap: elapsed time is the unsigned
        // difference, and a request goes out again exactly when the response time is up.
        const bool waiting =
            before == STATE_PROG || before == STATE_VERIFY || before == STATE_TARGET_RESET;
        const bool due = waiting && uint32_t(w.now - w.sent_at) > MODBUS_RESPONSE_TIMEOUT;
        w.first_again = false;
        do_program(&t);
        check(w.first_again == due, "sent again when, and only when, the response time is up");
        const state_t s = t.state;
        check(s >= STATE_IDLE && s <= STATE_COMPLETE, "state in range");
        if (s == STATE_PROG)
            check(t.image_block_length >= 1 && t.image_block_length <= 512 &&
                      t.image_current_offset < n &&
                      t.image_block_length <= n - t.image_current_offset,
                  "block inside the image");
        const bool good = refOk(w.last);
        if (before == STATE_PROG && (s != STATE_PROG || t.image_current_offset != offset))
            check(good && s != STATE_VERIFY_FAILED, "a block advances only on a good reply");
        if (before == STATE_VERIFY && s == STATE_TARGET_RESET)
            check(good && w.last.size() >= 15 && bitRd16BE(w.last.data() + 11) == w.image_crc,
                  "verified only by a reply carrying the image's CRC");
        if (before == STATE_VERIFY && s == STATE_VERIFY_FAILED)
            check(good, "failed only on a good reply");
        if (s == STATE_COMPLETE && before != STATE_COMPLETE)
            check(before == STATE_TARGET_RESET && good, "completed only on the reset's reply");
        if (s == STATE_COMPLETE || s == STATE_VERIFY_FAILED) {
            int sends = w.sends;
            do_program(&t);
            check(t.state == s && w.sends == sends, "a final state stays and sends nothing");
            after_end++;
        }
    }
    serClose(&t.h_port);
    delete[] image;
    delete[] buf;
    return 0;
}

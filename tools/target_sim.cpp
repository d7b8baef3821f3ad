#include "tools/target_sim.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int64_t NEVER = INT64_MAX;
constexpr size_t RX_MAX = 2048;                    // well above the longest request (523 bytes)
constexpr int64_t HANGUP_BACKOFF_NS = 100'000'000; // retry a hung-up tty without spinning

constexpr std::array<uint16_t, 256> crcTable()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        t[i] = uint16_t(c);
    }
    return t;
}

constexpr std::array<uint16_t, 256> CRC_TABLE = crcTable();

// One piece of a transmission on the line, sent delay_ns after the previous piece ended.
struct segment {
    int64_t delay_ns = 0;
    std::vector<uint8_t> bytes;
    bool release = false; // the line is free while this piece waits
    // A paced echo: each byte's earliest time, one byte time after the tool's copy of it was on
    // the wire. Empty: paced from the piece's start alone.
    std::vector<int64_t> not_before{};
};

// Everything sent for one frame: its echo, the reply (one or two pieces) and any noise after
// it. It holds the line from its first byte to its last, as one transmitter would, except
// while a released piece waits: a late reply must not hold back the echo of a later frame.
struct transmission {
    int64_t due = 0; // earliest start
    std::vector<segment> segs;
    bool reset_ack = false;
    // A paced echo whose frame is still arriving: more of its bytes, and then the reply, are to
    // come. It holds the line meanwhile, since the tool is still sending.
    bool open = false;
    size_t seg = 0, sent = 0;
    int64_t seg_start = 0, next_at = 0;
    int64_t sent_at = 0; // the last write, or the piece's start: where the next delay counts from
};

// State private to the loop thread.
struct loop_state {
    int64_t start = 0;
    std::vector<uint8_t> rx;
    bool rx_overflow = false;
    int64_t rx_first = 0, rx_last = 0;
    // The paced echo of the frame being received, settled at its first read.
    sim_echo rx_echo = SIM_ECHO_NONE;
    size_t rx_echo_len = 0;         // of the frame's bytes, the first this many are echoed
    size_t rx_echo_flip = SIZE_MAX; // this one inverted; past the end for none
    int64_t rx_wire = 0;            // when the tool's copy of the frame so far has left the wire
    int64_t wake_at = INT64_MIN;    // a late device hears requests whose first byte comes from then
    std::vector<transmission> pending;
    transmission tx;
    bool tx_active = false;
    bool want_out = false; // the last write was refused: wait for room
    // The tool's USB adapter: the bytes it holds, and when its latency timer last started.
    std::vector<uint8_t> usb;
    int64_t usb_tick = 0;
    int64_t hup_until = 0;
    int64_t last_activity = 0;
    bool acked = false;
    int requests = 0, range_requests = 0;
    std::mt19937 faults;  // one fixed set of draws per request, so the pattern stays put
    std::mt19937 content; // noise bytes, apart so they cannot shift the fault pattern
    std::mt19937 echoes;  // echo draws, apart for the same reason
};

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// [0, 1) from the top 24 bits: the same on every standard library, unlike its distributions.
// cppcheck-suppress constParameter ; drawing advances the generator
double draw(std::mt19937 &g)
{
    return double(uint32_t(g()) >> 8) * (1.0 / 16777216.0);
}

bool hit(const sim_fault &f, int number, double u)
{
    if (number > 0 && std::find(f.on.begin(), f.on.end(), number) != f.on.end())
        return true;
    return u < f.rate;
}

uint32_t rd32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t rd16(const uint8_t *p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

void appendCrc(std::vector<uint8_t> &v)
{
    uint16_t c = simCrc16(v.data(), v.size());
    v.push_back(uint8_t(c & 0xFF));
    v.push_back(uint8_t(c >> 8));
}

bool setRaw(int fd, bool parity)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (parity) {
        t.c_cflag |= PARENB;
        t.c_cflag &= ~PARODD;
        if (tcsetattr(fd, TCSANOW, &t) == 0)
            return true;
        // a pseudo-terminal refuses parity: take the line without it
        t.c_cflag &= ~PARENB;
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool setFlags(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void closeFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void countAction(sim_counts &c, sim_action a)
{
    switch (a) {
    case SIM_ANSWERED:
        c.answered++;
        break;
    case SIM_DROPPED:
        c.dropped++;
        break;
    case SIM_CORRUPTED:
        c.corrupted++;
        break;
    case SIM_SPLIT:
        c.split++;
        break;
    case SIM_DELAYED:
        c.delayed++;
        break;
    case SIM_EXCEPTION:
        c.exceptions++;
        break;
    case SIM_WRONG_CRC:
        c.wrong_crc++;
        break;
    case SIM_SHORT:
        c.short_replies++;
        break;
    case SIM_REFUSED:
        c.refused++;
        break;
    case SIM_IGNORED:
        c.ignored++;
        break;
    case SIM_ASLEEP:
        c.asleep++;
        break;
    }
}

void record(sim *s, sim_frame f)
{
    std::string line = simFormatFrame(f);
    {
        std::lock_guard<std::mutex> lk(s->mu);
        s->counts.frames++;
        if (f.number > 0)
            s->counts.requests++;
        if (f.noise)
            s->counts.noise++;
        if (f.echo != SIM_ECHO_NONE)
            s->counts.echoes++;
        countAction(s->counts, f.action);
        s->log.push_back(std::move(f));
    }
    s->changed.notify_all();
    if (s->log_file) {
        std::fprintf(s->log_file, "%s\n", line.c_str());
        std::fflush(s->log_file);
    }
    if (s->cfg.verbose)
        std::fprintf(stderr, "%s\n", line.c_str());
}

bool inRange(const sim_config &c, uint32_t address, uint32_t length)
{
    uint64_t a = address, end = a + length;
    return a >= c.memory_base && end <= uint64_t(c.memory_base) + c.memory_size;
}

// Echo draws: always three a frame, whatever is configured or hit.
sim_echo drawEcho(const sim_config &c, std::mt19937 &g, int number)
{
    double u[3];
    for (double &x : u)
        x = draw(g);
    if (hit(c.echo_short, number, u[2]))
        return SIM_ECHO_SHORT;
    if (hit(c.echo_corrupt, number, u[1]))
        return SIM_ECHO_CORRUPT;
    if (hit(c.echo, number, u[0]))
        return SIM_ECHO_WHOLE;
    return SIM_ECHO_NONE;
}

// A driver's transmission as a bus without bias hands it on: a stray byte as the driver turns
// on, and one as it turns off.
std::vector<uint8_t> strayAround(const sim_config &c, std::vector<uint8_t> bytes)
{
    if (c.stray >= 0) {
        bytes.insert(bytes.begin(), uint8_t(c.stray));
        bytes.push_back(uint8_t(c.stray));
    }
    return bytes;
}

std::vector<uint8_t> echoOf(const std::vector<uint8_t> &frame, sim_echo e)
{
    std::vector<uint8_t> b = frame;
    if (e == SIM_ECHO_CORRUPT && !b.empty())
        b[b.size() / 2] ^= 0xFF;
    else if (e == SIM_ECHO_SHORT && !b.empty())
        b.resize(std::min(b.size() * 2 / 3, b.size() - 1));
    return b;
}

// The paced echo under way, if any: the one transmission still open.
transmission *openEcho(loop_state &l)
{
    if (l.tx_active && l.tx.open)
        return &l.tx;
    auto it = std::find_if(l.pending.begin(), l.pending.end(),
                           [](const transmission &t) { return t.open; });
    return it == l.pending.end() ? nullptr : &*it;
}

// With pace the line hands each byte back one byte time after the tool put it on the wire,
// while the rest of the request is still being sent, and the bytes of later reads of the same
// frame follow on. Whether and how the frame is echoed has to be settled at its first read, on
// what is known then: the number it will get if it is a good request to this slave, and the
// bytes of that read. The new bytes are l.rx from `from`; count were read (more on overflow).
void echoArrived(sim *s, loop_state &l, int64_t t, bool first, size_t from, size_t count)
{
    const sim_config &c = s->cfg;
    if (first) {
        const size_t k = l.rx.size(); // at least one: the first read is never clipped to nothing
        const int number = l.rx[0] == uint8_t(c.node) ? l.requests + 1 : 0;
        l.rx_echo = drawEcho(c, l.echoes, number);
        l.rx_echo_len = l.rx_echo == SIM_ECHO_SHORT ? std::min(k * 2 / 3, k - 1) : SIZE_MAX;
        l.rx_echo_flip = l.rx_echo == SIM_ECHO_CORRUPT ? k / 2 : SIZE_MAX;
        l.rx_wire = t;
        if (l.rx_echo != SIM_ECHO_NONE) {
            transmission e;
            e.due = t;
            e.open = true;
            e.segs.emplace_back();
            if (c.stray >= 0) { // the adapter's driver turns on
                e.segs.back().bytes.push_back(uint8_t(c.stray));
                e.segs.back().not_before.push_back(t);
            }
            l.pending.push_back(std::move(e));
        }
    }
    // the tool's bytes follow one another on the wire, and none is there before it was written
    const int64_t start = std::max(l.rx_wire, t);
    l.rx_wire = start + int64_t(count) * c.byte_ns;
    transmission *e = l.rx_echo == SIM_ECHO_NONE ? nullptr : openEcho(l);
    if (!e)
        return;
    segment &g = e->segs.back();
    for (size_t i = from; i < std::min(l.rx.size(), l.rx_echo_len); i++) {
        g.bytes.push_back(i == l.rx_echo_flip ? uint8_t(~l.rx[i]) : l.rx[i]);
        g.not_before.push_back(start + int64_t(i - from + 1) * c.byte_ns);
    }
}

// Queues what a frame sends: behind its paced echo, which is under way already, or on its own.
void queueFrame(const sim_config &c, loop_state &l, transmission t)
{
    if (transmission *e = openEcho(l)) {
        if (segment &g = e->segs.back(); c.stray >= 0) { // the adapter's driver turns off
            g.not_before.push_back(g.not_before.empty() ? 0 : g.not_before.back() + c.byte_ns);
            g.bytes.push_back(uint8_t(c.stray));
        }
        e->segs.insert(e->segs.end(), std::make_move_iterator(t.segs.begin()),
                       std::make_move_iterator(t.segs.end()));
        e->reset_ack = t.reset_ack;
        e->open = false;
    } else if (!t.segs.empty()) {
        l.pending.push_back(std::move(t));
    }
}

// Takes the frame in l.rx: carries it out, plans its echo and reply and records it.
void handleFrame(sim *s, loop_state &l, int64_t now)
{
    const sim_config &c = s->cfg;
    const std::vector<uint8_t> &r = l.rx;
    const size_t n = r.size();
    sim_frame f;
    f.t_us = (l.rx_first - l.start) / 1000;
    f.raw = r;

    bool good = !l.rx_overflow && n >= 4 &&
                simCrc16(r.data(), n - 2) == (r[n - 2] | unsigned(r[n - 1]) << 8);
    const bool mine = good && r[0] == uint8_t(c.node);
    if (mine) {
        f.number = ++l.requests;
        if (c.late_ms > 0 && l.wake_at == INT64_MIN)
            l.wake_at = l.rx_first + int64_t(c.late_ms) * 1'000'000;
    }
    // a paced echo was settled, and is under way, since the frame's first read
    const bool paced_echo = c.pace && l.rx_echo != SIM_ECHO_NONE;
    f.echo = c.pace ? l.rx_echo : drawEcho(c, l.echoes, f.number);
    transmission t;
    t.due = now;
    if (f.echo != SIM_ECHO_NONE && !paced_echo)
        t.segs.push_back({0, strayAround(c, echoOf(r, f.echo))});
    if (!mine) {
        f.kind = good ? SIM_KIND_OTHER_NODE : SIM_KIND_BAD_FRAME;
        f.action = SIM_IGNORED;
        queueFrame(c, l, std::move(t));
        record(s, std::move(f));
        return;
    }

    int code = 0;
    if (r[1] != SIM_FN_MEI) { // NOLINT(bugprone-branch-clone): same answer as an unknown MEI type
        f.kind = SIM_KIND_UNKNOWN;
        code = SIM_EXC_ILLEGAL_FUNCTION;
    } else if (n < 5) {
        f.kind = SIM_KIND_UNKNOWN;
        code = SIM_EXC_ILLEGAL_VALUE;
    } else if (r[2] == SIM_MEI_WRITE) {
        f.kind = SIM_KIND_WRITE;
        if (n < 11) {
            code = SIM_EXC_ILLEGAL_VALUE;
        } else {
            f.address = rd32(&r[3]);
            f.length = rd16(&r[7]);
            if (f.length == 0 || f.length > SIM_BLOCK_MAX || n != 11 + f.length)
                code = SIM_EXC_ILLEGAL_VALUE;
            else if (!inRange(c, f.address, f.length))
                code = SIM_EXC_ILLEGAL_ADDRESS;
        }
    } else if (r[2] == SIM_MEI_RANGE_CRC) {
        f.kind = SIM_KIND_RANGE_CRC;
        if (n != 13) {
            code = SIM_EXC_ILLEGAL_VALUE;
        } else {
            f.address = rd32(&r[3]);
            f.length = rd32(&r[7]);
            if (!inRange(c, f.address, f.length))
                code = SIM_EXC_ILLEGAL_ADDRESS;
        }
    } else if (r[2] == SIM_MEI_RESET) {
        f.kind = SIM_KIND_RESET;
        if (n != 5)
            code = SIM_EXC_ILLEGAL_VALUE;
    } else {
        f.kind = SIM_KIND_UNKNOWN;
        code = SIM_EXC_ILLEGAL_FUNCTION;
    }

    // Always the same number of draws per request, whatever is configured or hit.
    double u[8];
    for (double &x : u)
        x = draw(l.faults);
    const int rn = f.kind == SIM_KIND_RANGE_CRC ? ++l.range_requests : 0;
    const bool range_answer = f.kind == SIM_KIND_RANGE_CRC && code == 0;
    sim_action a = code ? SIM_REFUSED : SIM_ANSWERED;
    if (hit(c.drop, f.number, u[0]))
        a = SIM_DROPPED;
    else if (hit(c.exception, f.number, u[1]))
        a = SIM_EXCEPTION;
    else if (range_answer && hit(c.short_crc, rn, u[2]))
        a = SIM_SHORT;
    else if (range_answer && hit(c.wrong_crc, rn, u[3]))
        a = SIM_WRONG_CRC;
    else if (hit(c.corrupt, f.number, u[4]))
        a = SIM_CORRUPTED;
    else if (hit(c.split, f.number, u[5]))
        a = SIM_SPLIT;
    else if (hit(c.delay, f.number, u[6]))
        a = SIM_DELAYED;
    const bool noise = a != SIM_DROPPED && hit(c.noise, f.number, u[7]);
    if (l.rx_first < l.wake_at) {
        // Numbered and drawn for like any request, so that the faults stay on their numbers;
        // the echo is the line's, not the device's, and still comes.
        f.action = SIM_ASLEEP;
        queueFrame(c, l, std::move(t));
        record(s, std::move(f));
        return;
    }

    // A lost or late reply does not undo the request; an exception reply means it was refused.
    uint16_t range_crc = 0;
    if (code == 0 && a != SIM_EXCEPTION) {
        std::lock_guard<std::mutex> lk(s->mu);
        const size_t off = f.address - c.memory_base;
        if (f.kind == SIM_KIND_WRITE) {
            std::copy(r.begin() + 9, r.begin() + 9 + f.length, s->memory.begin() + off);
            s->written_end = std::max(s->written_end, f.address + f.length);
            s->counts.writes++;
        } else if (f.kind == SIM_KIND_RANGE_CRC) {
            range_crc = simCrc16(s->memory.data() + off, f.length);
            s->counts.range_crcs++;
        } else {
            s->counts.resets++;
        }
    }

    if (a == SIM_EXCEPTION)
        code = SIM_EXC_BUSY;
    std::vector<uint8_t> reply;
    if (code) {
        reply = {r[0], uint8_t(r[1] | 0x80), uint8_t(code)};
    } else if (f.kind == SIM_KIND_WRITE) {
        reply.assign(r.begin(), c.full_ack ? r.end() - 2 : r.begin() + 9);
    } else if (f.kind == SIM_KIND_RANGE_CRC) {
        if (a == SIM_WRONG_CRC)
            range_crc ^= 0xFFFF;
        reply.assign(r.begin(), r.begin() + 11);
        reply.push_back(uint8_t(range_crc >> 8));
        reply.push_back(uint8_t(range_crc & 0xFF));
        if (a == SIM_SHORT)
            reply.resize(9);
    } else {
        reply.assign(r.begin(), r.begin() + 3);
    }
    appendCrc(reply);
    if (a == SIM_CORRUPTED)
        reply.back() ^= 0xFF;
    reply = strayAround(c, std::move(reply));

    if (a != SIM_DROPPED) {
        std::vector<segment> segs;
        if (a == SIM_SPLIT) {
            const size_t half = reply.size() / 2;
            segs.push_back({0, std::vector<uint8_t>(reply.begin(), reply.begin() + half)});
            segs.push_back({int64_t(c.split_gap_ms) * 1'000'000,
                            std::vector<uint8_t>(reply.begin() + half, reply.end())});
        } else {
            segs.push_back({0, reply});
        }
        if (noise) {
            segment z;
            z.delay_ns = int64_t(c.noise_ms) * 1'000'000;
            z.bytes.resize(1 + uint32_t(l.content()) % 8);
            for (uint8_t &b : z.bytes)
                b = uint8_t(l.content());
            segs.push_back(std::move(z));
        }
        int64_t wait = a == SIM_DELAYED ? int64_t(c.delay_ms) * 1'000'000 : 0;
        if (f.echo == SIM_ECHO_NONE) {
            if (c.pace) // the request's last byte left the tool n byte times after its first
                t.due =
                    std::max(t.due, l.rx_first + int64_t(n) * c.byte_ns + int64_t(c.gap_us) * 1000);
            t.due += wait;
        } else {
            wait +=
                c.echo_gap_ms < 0 ? int64_t(c.gap_us) * 1000 : int64_t(c.echo_gap_ms) * 1'000'000;
            if (wait == 0 && !paced_echo) { // one burst: no write boundary between echo and reply
                segs.front().bytes.insert(segs.front().bytes.begin(), t.segs.front().bytes.begin(),
                                          t.segs.front().bytes.end());
                t.segs.clear();
            } else { // right behind a paced echo, the reply goes as the same transmitter's
                segs.front().delay_ns = wait;
                segs.front().release = wait > 0;
            }
        }
        t.segs.insert(t.segs.end(), std::make_move_iterator(segs.begin()),
                      std::make_move_iterator(segs.end()));
        t.reset_ack = f.kind == SIM_KIND_RESET && (a == SIM_ANSWERED || a == SIM_DELAYED);
    }
    queueFrame(c, l, std::move(t));

    f.action = a;
    f.code = code;
    f.noise = noise;
    record(s, std::move(f));
}

// Bytes put on the line reach the tool: at once, or into its USB adapter, whose latency timer
// runs on its own and starts again with every packet handed on.
ssize_t lineOut(sim *s, loop_state &l, const uint8_t *b, size_t n, int64_t now)
{
    if (s->cfg.usb_ms <= 0)
        return write(s->fd, b, n);
    if (l.usb.empty()) { // the timer's last start before now
        const int64_t period = int64_t(s->cfg.usb_ms) * 1'000'000;
        l.usb_tick += (now - l.usb_tick) / period * period;
    }
    l.usb.insert(l.usb.end(), b, b + n);
    return ssize_t(n);
}

// Hands on what the USB adapter holds: each full packet at once, a partial one when the
// latency timer runs out. When it next needs the loop, or NEVER.
int64_t usbOut(sim *s, loop_state &l, int64_t now)
{
    const int64_t period = int64_t(s->cfg.usb_ms) * 1'000'000;
    while (!l.usb.empty() && !l.want_out) {
        const bool full = l.usb.size() >= SIM_USB_PACKET;
        if (!full && now < l.usb_tick + period)
            return l.usb_tick + period;
        const size_t n = std::min(l.usb.size(), SIM_USB_PACKET);
        const ssize_t k = write(s->fd, l.usb.data(), n);
        if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
            l.want_out = true;
            break;
        }
        // the other side gone: the bytes are lost, as on an open line
        l.usb.erase(l.usb.begin(), l.usb.begin() + (k < 0 ? ptrdiff_t(n) : ptrdiff_t(k)));
        l.usb_tick = full ? now : l.usb_tick + (now - l.usb_tick) / period * period;
    }
    return NEVER;
}

// With pace, byte i of a piece goes no sooner than i byte times after the piece's first, as
// one transmitter sends, and a paced echo's byte no sooner than its own time either.
int64_t byteDue(const segment &g, int64_t seg_start, size_t i, int64_t byte_ns)
{
    const int64_t rate = seg_start + int64_t(i) * byte_ns;
    return i < g.not_before.size() ? std::max(rate, g.not_before[i]) : rate;
}

// Sends what has fallen due; returns when it next needs the loop, or NEVER.
int64_t transmit(sim *s, loop_state &l, int64_t now)
{
    for (;;) {
        if (!l.tx_active) {
            auto it = std::min_element(
                l.pending.begin(), l.pending.end(),
                [](const transmission &x, const transmission &y) { return x.due < y.due; });
            if (it == l.pending.end())
                return NEVER;
            if (it->due > now)
                return it->due;
            l.tx = std::move(*it);
            l.pending.erase(it);
            l.tx_active = true;
            l.tx.seg = 0;
            l.tx.sent = 0;
            l.tx.next_at = l.tx.due;
        }
        transmission &t = l.tx;
        const segment &g = t.segs[t.seg];
        const std::vector<uint8_t> &b = g.bytes;
        if (t.sent == 0) {
            if (now < t.next_at)
                return t.next_at;
            t.seg_start = now;
            t.sent_at = now;
        }
        size_t allowed = b.size();
        if (s->cfg.pace) {
            allowed = t.sent;
            while (allowed < b.size() && byteDue(g, t.seg_start, allowed, s->cfg.byte_ns) <= now)
                allowed++;
        }
        if (allowed > t.sent) {
            t.sent_at = now;
            ssize_t k = lineOut(s, l, b.data() + t.sent, allowed - t.sent, now);
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
                l.want_out = true;
                return NEVER;
            }
            if (k < 0) // the other side is gone: the bytes are lost, as on an open line
                k = ssize_t(b.size() - t.sent);
            t.sent += size_t(k);
            if (t.sent < allowed) {
                l.want_out = true;
                return NEVER;
            }
        }
        if (t.sent < b.size())
            return byteDue(g, t.seg_start, t.sent, s->cfg.byte_ns);
        if (t.open) // more of the echo, and the reply, once the frame has gone on or ended
            return NEVER;
        l.last_activity = now;
        t.seg++;
        t.sent = 0;
        // from the piece's last byte: an echo that caught up with its frame ended back then
        if (t.seg < t.segs.size() && t.segs[t.seg].release) {
            t.due = t.sent_at + t.segs[t.seg].delay_ns;
            t.segs.erase(t.segs.begin(), t.segs.begin() + ptrdiff_t(t.seg));
            l.pending.push_back(std::move(t));
            l.tx_active = false;
            continue;
        }
        if (t.seg < t.segs.size()) {
            t.next_at = t.sent_at + t.segs[t.seg].delay_ns;
            continue;
        }
        if (t.reset_ack) {
            std::lock_guard<std::mutex> lk(s->mu);
            s->counts.reset_acks++;
            l.acked = true;
        }
        l.tx_active = false;
    }
}

void readLine(sim *s, loop_state &l, std::vector<uint8_t> &buf)
{
    for (;;) {
        ssize_t k = read(s->fd, buf.data(), buf.size());
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno == EAGAIN)
            return;
        if (k <= 0) { // hung up: look again later rather than spin on the event
            l.hup_until = nowNs() + HANGUP_BACKOFF_NS;
            return;
        }
        const int64_t t = nowNs();
        const bool first = l.rx.empty() && !l.rx_overflow;
        if (first)
            l.rx_first = t;
        l.rx_last = t;
        l.last_activity = t;
        const size_t from = l.rx.size(), room = RX_MAX - from;
        if (size_t(k) > room)
            l.rx_overflow = true;
        l.rx.insert(l.rx.end(), buf.begin(), buf.begin() + std::min(size_t(k), room));
        if (s->cfg.pace)
            echoArrived(s, l, t, first, from, size_t(k));
    }
}

void runLoop(sim *s, int64_t start)
{
    const sim_config &c = s->cfg;
    const int64_t gap_ns = int64_t(c.gap_us) * 1000;
    loop_state l;
    l.start = start;
    l.last_activity = start;
    l.usb_tick = start;
    l.faults = std::mt19937(c.rng);
    l.content = std::mt19937(c.rng ^ 0x5bd1e995u);
    l.echoes = std::mt19937(c.rng ^ 0x9e3779b9u);
    std::vector<uint8_t> buf(4096);

    for (;;) {
        int64_t now = nowNs();
        int64_t next = transmit(s, l, now);
        next = std::min(next, usbOut(s, l, now));
        const bool receiving = !l.rx.empty() || l.rx_overflow;
        if (receiving)
            next = std::min(next, l.rx_last + gap_ns);
        if (c.exit_after_reset && l.acked && !l.tx_active && l.pending.empty() && l.usb.empty() &&
            !receiving) {
            const int64_t end = l.last_activity + int64_t(c.exit_linger_ms) * 1'000'000;
            if (now >= end)
                break;
            next = std::min(next, end);
        }
        const bool line_up = now >= l.hup_until;
        if (!line_up)
            next = std::min(next, l.hup_until);

        pollfd p[2] = {{s->wake_rd, POLLIN, 0},
                       {line_up ? s->fd : -1, short(POLLIN | (l.want_out ? POLLOUT : 0)), 0}};
        timespec ts{};
        timespec *tp = nullptr;
        if (next != NEVER) {
            const int64_t d = std::max<int64_t>(0, next - now);
            ts.tv_sec = time_t(d / 1'000'000'000);
            ts.tv_nsec = long(d % 1'000'000'000);
            tp = &ts;
        }
        int rc = ppoll(p, 2, tp, nullptr);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0 && p[0].revents)
            break;
        if (rc > 0 && (p[1].revents & POLLOUT))
            l.want_out = false;
        if (rc > 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readLine(s, l, buf);

        now = nowNs();
        if ((!l.rx.empty() || l.rx_overflow) && now >= l.rx_last + gap_ns) {
            handleFrame(s, l, now);
            l.rx.clear();
            l.rx_overflow = false;
        }
    }
    {
        std::lock_guard<std::mutex> lk(s->mu);
        s->done = true;
    }
    s->changed.notify_all();
}

void closeAll(sim *s)
{
    closeFd(&s->hold_fd);
    closeFd(&s->fd);
    closeFd(&s->wake_rd);
    closeFd(&s->wake_wr);
    if (s->log_file)
        std::fclose(s->log_file);
    s->log_file = nullptr;
}

// ", process PID (NAME)" of the process that holds the master of the pseudo-terminal a link
// leads to, when /proc tells; empty otherwise.
std::string holderOf(const std::filesystem::path &link)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string pts = fs::canonical(link, ec).string(), dir = "/dev/pts/";
    if (ec || pts.rfind(dir, 0) != 0)
        return "";
    const std::string index = "tty-index:\t" + pts.substr(dir.size()) + "\n";
    // Processes come and go meanwhile: every step takes its error code, none throws.
    const fs::directory_iterator end;
    for (fs::directory_iterator proc("/proc", ec); !ec && proc != end; proc.increment(ec)) {
        std::error_code fd_ec;
        for (fs::directory_iterator fd(proc->path() / "fd", fd_ec); !fd_ec && fd != end;
             fd.increment(fd_ec)) {
            const fs::path master = fs::read_symlink(fd->path(), fd_ec);
            if (master != "/dev/ptmx" && master != "/dev/pts/ptmx")
                continue;
            std::ifstream info(proc->path() / "fdinfo" / fd->path().filename());
            const std::string text{std::istreambuf_iterator<char>(info), {}};
            if (text.find(index) == std::string::npos)
                continue;
            std::ifstream comm(proc->path() / "comm");
            std::string name;
            std::getline(comm, name);
            return ", process " + proc->path().filename().string() + " (" + name + ")";
        }
    }
    return "";
}

bool makeLink(sim *s, std::string *error)
{
    namespace fs = std::filesystem;
    const fs::path link = s->cfg.link;
    std::error_code ec;
    if (link.has_parent_path())
        fs::create_directories(link.parent_path(), ec);
    struct stat st {
    };
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = s->cfg.link + ": exists and is not a symlink";
            return false;
        }
        // A pseudo-terminal lives as long as its master is open: a link to one whose master a
        // process holds is another simulator's, which would be cut off from its tool. A link
        // to a tty (--tty) or to a pseudo-terminal nobody holds is left over from an earlier run.
        if (const std::string holder = holderOf(link); !holder.empty()) {
            *error = s->cfg.link + ": in use by a running simulator on " +
                     fs::read_symlink(link, ec).string() + holder;
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(s->port.c_str(), link.c_str()) != 0) {
        *error = s->cfg.link + ": " + std::strerror(errno);
        return false;
    }
    s->linked = true;
    return true;
}

} // namespace

uint16_t simCrc16(const uint8_t *data, size_t length)
{
    uint16_t c = 0xFFFF;
    for (size_t i = 0; i < length; i++)
        c = uint16_t((c >> 8) ^ CRC_TABLE[(c ^ data[i]) & 0xFF]);
    return c;
}

bool simStart(sim *s, const sim_config &cfg, std::string *error)
{
    std::string scratch;
    if (!error)
        error = &scratch;
    s->cfg = cfg;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        s->memory.assign(cfg.memory_size, 0xFF); // as erased flash
        s->written_end = 0;
        s->log.clear();
        s->counts = sim_counts{};
        s->done = false;
    }
    auto fail = [&](const std::string &what) {
        *error = what + ": " + std::strerror(errno);
        closeAll(s);
        return false;
    };

    if (cfg.tty.empty()) {
        s->fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (s->fd < 0)
            return fail("posix_openpt");
        char name[128];
        if (grantpt(s->fd) != 0 || unlockpt(s->fd) != 0 || ptsname_r(s->fd, name, sizeof name))
            return fail("pseudo-terminal");
        s->port = name;
        s->hold_fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (s->hold_fd < 0)
            return fail(s->port);
        // The master's settings are the slave's: raw, so no byte is echoed or translated.
        if (!setFlags(s->fd) || !setRaw(s->fd, false))
            return fail("pseudo-terminal settings");
    } else {
        s->port = cfg.tty;
        s->fd = open(cfg.tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (s->fd < 0)
            return fail(cfg.tty);
        if (!setRaw(s->fd, true))
            return fail(cfg.tty + " settings");
    }

    int pfd[2];
    if (pipe(pfd) != 0)
        return fail("pipe");
    s->wake_rd = pfd[0];
    s->wake_wr = pfd[1];
    if (!setFlags(s->wake_rd) || !setFlags(s->wake_wr))
        return fail("pipe");

    if (!cfg.log_path.empty()) {
        s->log_file = std::fopen(cfg.log_path.c_str(), "w");
        if (!s->log_file)
            return fail(cfg.log_path);
    }
    if (!cfg.link.empty() && !makeLink(s, error)) {
        closeAll(s);
        return false;
    }
    const int64_t start = nowNs();
    s->thread = std::thread(runLoop, s, start);
    return true;
}

void simRequestStop(sim *s)
{
    const char b = 1;
    if (s->wake_wr >= 0 && write(s->wake_wr, &b, 1) < 0) {
        // the pipe is full: a stop is already pending
    }
}

void simWait(sim *s)
{
    if (s->thread.joinable())
        s->thread.join();
}

void simStop(sim *s)
{
    simRequestStop(s);
    simWait(s);
    if (s->linked) {
        // only our own link: another run may have replaced it meanwhile
        std::error_code ec;
        if (std::filesystem::read_symlink(s->cfg.link, ec) == s->port)
            std::filesystem::remove(s->cfg.link, ec);
        s->linked = false;
    }
    closeAll(s);
}

sim_counts simCounts(sim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->counts;
}

std::vector<sim_frame> simLog(sim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->log;
}

bool simWaitFrames(sim *s, size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(s->mu);
    return s->changed.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        return s->log.size() >= n || s->done;
    }) && s->log.size() >= n;
}

std::vector<uint8_t> simMemory(sim *s, uint32_t address, uint32_t length)
{
    std::lock_guard<std::mutex> lk(s->mu);
    const uint64_t base = s->cfg.memory_base, end = base + s->memory.size();
    const uint64_t from = std::clamp<uint64_t>(address, base, end);
    const uint64_t to = std::clamp<uint64_t>(uint64_t(address) + length, from, end);
    return std::vector<uint8_t>(s->memory.begin() + (from - base), s->memory.begin() + (to - base));
}

uint32_t simWrittenEnd(sim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->written_end;
}

std::vector<uint8_t> simWritten(sim *s)
{
    const uint32_t end = simWrittenEnd(s);
    if (end == 0)
        return {};
    return simMemory(s, s->cfg.memory_base, end - s->cfg.memory_base);
}

const char *simKindName(sim_kind kind)
{
    switch (kind) {
    case SIM_KIND_WRITE:
        return "write";
    case SIM_KIND_RANGE_CRC:
        return "range-crc";
    case SIM_KIND_RESET:
        return "reset";
    case SIM_KIND_UNKNOWN:
        return "unknown";
    case SIM_KIND_BAD_FRAME:
        return "bad-frame";
    case SIM_KIND_OTHER_NODE:
        return "other-node";
    }
    return "?";
}

const char *simActionName(sim_action action)
{
    switch (action) {
    case SIM_ANSWERED:
        return "answered";
    case SIM_DROPPED:
        return "dropped";
    case SIM_CORRUPTED:
        return "corrupted";
    case SIM_SPLIT:
        return "split";
    case SIM_DELAYED:
        return "delayed";
    case SIM_EXCEPTION:
        return "exception";
    case SIM_WRONG_CRC:
        return "wrong-crc";
    case SIM_SHORT:
        return "short";
    case SIM_REFUSED:
        return "refused";
    case SIM_IGNORED:
        return "ignored";
    case SIM_ASLEEP:
        return "asleep";
    }
    return "?";
}

std::string simFormatFrame(const sim_frame &f)
{
    char line[160];
    int k = std::snprintf(line, sizeof line, "%.3f ms #%d %s 0x%06X %u %s bytes=%zu",
                          double(f.t_us) / 1000.0, f.number, simKindName(f.kind), f.address,
                          f.length, simActionName(f.action), f.raw.size());
    std::string out(line, size_t(std::clamp(k, 0, int(sizeof line) - 1)));
    if (f.code)
        out += " code=" + std::to_string(f.code);
    if (f.noise)
        out += " +noise";
    if (f.echo == SIM_ECHO_WHOLE)
        out += " +echo";
    else if (f.echo == SIM_ECHO_CORRUPT)
        out += " +echo-corrupt";
    else if (f.echo == SIM_ECHO_SHORT)
        out += " +echo-short";
    return out;
}

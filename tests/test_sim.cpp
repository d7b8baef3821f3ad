// The simulated target device, driven through its pseudo-terminal as the tool drives it.
#include "tools/target_sim.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;
using ms = std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

constexpr int WAIT_MS = 5000; // bound for events that come within milliseconds when idle
constexpr int QUIET_MS = 300; // how long "no reply" is watched

// Bit by bit, apart from the simulator's table, so each checks the other.
uint16_t crcBits(const uint8_t *p, size_t n)
{
    unsigned c = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return uint16_t(c);
}

bool crcOk(const bytes &f)
{
    return f.size() > 3 && crcBits(f.data(), f.size() - 2) == (f[f.size() - 2] | f.back() << 8);
}

bytes withCrc(bytes f)
{
    uint16_t c = crcBits(f.data(), f.size());
    f.push_back(uint8_t(c));
    f.push_back(uint8_t(c >> 8));
    return f;
}

void put32(bytes &f, uint32_t v)
{
    for (int sh = 24; sh >= 0; sh -= 8)
        f.push_back(uint8_t(v >> sh));
}

bytes writeReq(uint32_t address, const bytes &data)
{
    bytes f = {4, 0x2B, 0xEF};
    put32(f, address);
    f.push_back(uint8_t(data.size() >> 8));
    f.push_back(uint8_t(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    return withCrc(f);
}

bytes rangeReq(uint32_t address, uint32_t length)
{
    bytes f = {4, 0x2B, 0xF0};
    put32(f, address);
    put32(f, length);
    return withCrc(f);
}

bytes pattern(size_t n, unsigned k)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 7 + k * 31 + (i >> 8));
    return b;
}

// The write block's acknowledgement: its 9-byte header and a CRC.
bytes ackOf(const bytes &req)
{
    return withCrc(bytes(req.begin(), req.begin() + 9));
}

// A running simulator and the slave side opened raw, as the tool opens it.
struct bench {
    sim s;
    int fd = -1;
    explicit bench(const sim_config &cfg = {})
    {
        std::string err;
        if (!simStart(&s, cfg, &err)) {
            ADD_FAILURE() << err;
            return;
        }
        fd = open(s.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~bench()
    {
        if (fd >= 0)
            close(fd);
        simStop(&s);
    }
};

// Sends a frame and waits until the simulator has taken it, so the next frame stays apart.
void send(bench &b, const bytes &f)
{
    const size_t before = simLog(&b.s).size();
    ASSERT_EQ(write(b.fd, f.data(), f.size()), ssize_t(f.size()));
    ASSERT_TRUE(simWaitFrames(&b.s, before + 1, WAIT_MS));
}

// Up to n bytes, leaving any later ones unread.
bytes readN(int fd, size_t n, int timeout_ms = WAIT_MS)
{
    bytes out;
    const auto end = steady::now() + ms(timeout_ms);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<ms>(end - steady::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        uint8_t buf[1024];
        ssize_t k = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (k > 0)
            out.insert(out.end(), buf, buf + k);
    }
    return out;
}

// Whatever the first read after the line wakes up returns.
bytes readSome(int fd, int timeout_ms = WAIT_MS)
{
    pollfd p{fd, POLLIN, 0};
    uint8_t buf[1024];
    ssize_t k = poll(&p, 1, timeout_ms) > 0 ? read(fd, buf, sizeof buf) : 0;
    return bytes(buf, buf + std::max<ssize_t>(k, 0));
}

bool quiet(int fd, int timeout_ms = QUIET_MS)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 0;
}

double since(steady::time_point t0)
{
    return std::chrono::duration<double, std::milli>(steady::now() - t0).count();
}

TEST(SimCrc, TableMatchesCheckValueAndBitwiseCrc)
{
    const char *check = "123456789";
    EXPECT_EQ(simCrc16(reinterpret_cast<const uint8_t *>(check), 9), 0x4B37);
    EXPECT_EQ(simCrc16(nullptr, 0), 0xFFFF);
    const bytes data = pattern(1024, 3);
    for (size_t n : {1, 2, 255, 256, 257, 1023, 1024})
        EXPECT_EQ(simCrc16(data.data(), n), crcBits(data.data(), n)) << n;
}

TEST(SimRequests, WriteBlocksStoredAndAcknowledged)
{
    bench b;
    ASSERT_GE(b.fd, 0);
    const bytes first = pattern(512, 1), second = pattern(100, 2);
    // the first block again last, as a resend: the written span must not shrink
    for (const auto &[address, data] :
         {std::pair{0x81000u, first}, std::pair{0x81200u, second}, std::pair{0x81000u, first}}) {
        const bytes req = writeReq(address, data);
        send(b, req);
        const bytes reply = readN(b.fd, 11);
        EXPECT_EQ(reply, ackOf(req));
    }
    EXPECT_TRUE(quiet(b.fd, 50)) << "nothing beyond the 11-byte acknowledgement";
    bytes image = first;
    image.insert(image.end(), second.begin(), second.end());
    EXPECT_EQ(simWrittenEnd(&b.s), 0x81000u + image.size());
    EXPECT_EQ(simWritten(&b.s), image);
    EXPECT_EQ(simMemory(&b.s, 0x81000 + 612, 4), bytes(4, 0xFF)) << "untouched memory stays erased";

    // The last bytes of memory are writable; one past them is not.
    const bytes top = writeReq(SIM_MEMORY_BASE + SIM_MEMORY_SIZE - 4, pattern(4, 5));
    send(b, top);
    EXPECT_EQ(readN(b.fd, 11), ackOf(top));
    EXPECT_EQ(simCounts(&b.s).writes, 4);
}

TEST(SimRequests, RangeCrcAndResetReplies)
{
    bench b;
    ASSERT_GE(b.fd, 0);
    send(b, writeReq(0x81000, pattern(512, 9)));
    readN(b.fd, 11);

    // Range 0x81000, 29016 bytes: partly written, partly erased.
    const bytes req = {0x04, 0x2B, 0xF0, 0x00, 0x08, 0x10, 0x00,
                       0x00, 0x00, 0x71, 0x58, 0xC9, 0xA5};
    ASSERT_EQ(req, rangeReq(0x81000, 29016));
    send(b, req);
    const bytes reply = readN(b.fd, 15);
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(crcOk(reply));
    EXPECT_EQ(bytes(reply.begin(), reply.begin() + 11), bytes(req.begin(), req.begin() + 11));
    const bytes mem = simMemory(&b.s, 0x81000, 29016);
    const uint16_t want = crcBits(mem.data(), mem.size());
    EXPECT_EQ(reply[11], want >> 8);
    EXPECT_EQ(reply[12], want & 0xFF);

    const bytes reset = {0x04, 0x2B, 0xF1, 0xEF, 0x75};
    send(b, reset);
    EXPECT_EQ(readN(b.fd, 5), reset);
    EXPECT_EQ(simCounts(&b.s).resets, 1);
}

TEST(SimRequests, BadFramesIgnoredAndBadRequestsRefused)
{
    bench b;
    ASSERT_GE(b.fd, 0);
    bytes bad = writeReq(0x81000, pattern(16, 1));
    bad.back() ^= 1;
    send(b, bad);
    EXPECT_TRUE(quiet(b.fd));
    bytes other = {5, 0x2B, 0xF1};
    send(b, withCrc(other));
    EXPECT_TRUE(quiet(b.fd));

    auto refused = [&](const bytes &req, uint8_t function, uint8_t code) {
        send(b, req);
        EXPECT_EQ(readN(b.fd, 5), withCrc({4, function, code}));
    };
    refused(writeReq(0x80E00, pattern(16, 1)), 0xAB, 2);                               // below
    refused(writeReq(SIM_MEMORY_BASE + SIM_MEMORY_SIZE - 8, pattern(16, 1)), 0xAB, 2); // across
    refused(rangeReq(0x81000, SIM_MEMORY_SIZE + 1), 0xAB, 2);
    refused(rangeReq(0xFFFFFFFF, 2), 0xAB, 2); // must not wrap around
    bytes lying = writeReq(0x81000, pattern(16, 1));
    lying[8] = 17; // length field one more than the data
    refused(withCrc(bytes(lying.begin(), lying.end() - 2)), 0xAB, 3);
    refused(withCrc({4, 0x03, 0x00, 0x00, 0x00, 0x01}), 0x83, 1);
    refused(withCrc({4, 0x2B, 0x0E}), 0xAB, 1);

    EXPECT_EQ(simWrittenEnd(&b.s), 0u);
    EXPECT_EQ(simMemory(&b.s, 0x81000, 16), bytes(16, 0xFF));
    const sim_counts c = simCounts(&b.s);
    EXPECT_EQ(c.ignored, 2);
    EXPECT_EQ(c.refused, 7);
    EXPECT_EQ(c.requests, 7) << "ignored frames are not numbered";
    EXPECT_EQ(simLog(&b.s)[0].kind, SIM_KIND_BAD_FRAME);
}

TEST(SimFaults, DropAndCorruptHitTheListedRequestsOnly)
{
    sim_config cfg;
    cfg.drop.on = {2};
    cfg.corrupt.on = {3};
    bench b(cfg);
    ASSERT_GE(b.fd, 0);
    std::vector<bytes> reqs;
    for (unsigned i = 0; i < 4; i++)
        reqs.push_back(writeReq(0x81000 + 64 * i, pattern(64, i)));

    send(b, reqs[0]);
    EXPECT_EQ(readN(b.fd, 11), ackOf(reqs[0]));
    send(b, reqs[1]);
    EXPECT_TRUE(quiet(b.fd));
    send(b, reqs[2]);
    const bytes broken = readN(b.fd, 11);
    ASSERT_EQ(broken.size(), 11u);
    EXPECT_FALSE(crcOk(broken));
    EXPECT_EQ(bytes(broken.begin(), broken.begin() + 9),
              bytes(reqs[2].begin(), reqs[2].begin() + 9));
    send(b, reqs[3]);
    EXPECT_EQ(readN(b.fd, 11), ackOf(reqs[3]));

    EXPECT_EQ(simWrittenEnd(&b.s), 0x81000u + 256) << "a lost reply does not undo the write";
    const sim_counts c = simCounts(&b.s);
    EXPECT_EQ(c.dropped, 1);
    EXPECT_EQ(c.corrupted, 1);
    EXPECT_EQ(c.answered, 2);
}

TEST(SimFaults, SplitAndNoiseArriveApartFromTheReply)
{
    sim_config cfg;
    cfg.split.on = {1};
    cfg.split_gap_ms = 200;
    cfg.noise.on = {2};
    cfg.noise_ms = 200;
    bench b(cfg);
    ASSERT_GE(b.fd, 0);

    const bytes req = writeReq(0x81000, pattern(32, 1));
    send(b, req);
    const bytes head = readSome(b.fd);
    bytes reply = head;
    ASSERT_FALSE(head.empty());
    ASSERT_LT(head.size(), 11u) << "the reply came in one piece";
    const auto t_head = steady::now();
    const bytes tail = readN(b.fd, 11 - head.size());
    EXPECT_GT(since(t_head), 10.0);
    reply.insert(reply.end(), tail.begin(), tail.end());
    EXPECT_EQ(reply, ackOf(req));

    const bytes req2 = writeReq(0x81100, pattern(32, 2));
    send(b, req2);
    EXPECT_EQ(readN(b.fd, 11), ackOf(req2));
    const auto t_ack = steady::now();
    const bytes noise = readSome(b.fd);
    EXPECT_GT(since(t_ack), 10.0);
    EXPECT_GE(noise.size(), 1u);
    EXPECT_EQ(simCounts(&b.s).noise, 1);
}

TEST(SimFaults, DelayedReplyDoesNotHoldUpLaterRequests)
{
    sim_config cfg;
    cfg.delay.on = {1};
    cfg.delay_ms = 800;
    bench b(cfg);
    ASSERT_GE(b.fd, 0);
    const bytes late = writeReq(0x81000, pattern(16, 1)), next = writeReq(0x81010, pattern(16, 2));
    const auto t0 = steady::now();
    send(b, late);
    send(b, next);
    EXPECT_EQ(readN(b.fd, 11), ackOf(next));
    EXPECT_EQ(readN(b.fd, 11), ackOf(late));
    EXPECT_GE(since(t0), 800.0);
}

TEST(SimFaults, WrongAndShortRangeCrcCountRangeRequests)
{
    sim_config cfg;
    cfg.wrong_crc.on = {1};
    cfg.short_crc.on = {2};
    bench b(cfg);
    ASSERT_GE(b.fd, 0);
    send(b, writeReq(0x81000, pattern(64, 1)));
    readN(b.fd, 11);
    const bytes mem = pattern(64, 1);
    const uint16_t good = crcBits(mem.data(), mem.size());

    send(b, rangeReq(0x81000, 64));
    const bytes wrong = readN(b.fd, 15);
    ASSERT_EQ(wrong.size(), 15u);
    EXPECT_TRUE(crcOk(wrong));
    EXPECT_NE(wrong[11] << 8 | wrong[12], good);

    send(b, rangeReq(0x81000, 64));
    const bytes cut = readN(b.fd, 15, 500);
    EXPECT_EQ(cut.size(), 11u);
    EXPECT_TRUE(crcOk(cut));

    send(b, rangeReq(0x81000, 64));
    const bytes right = readN(b.fd, 15);
    ASSERT_EQ(right.size(), 15u);
    EXPECT_EQ(right[11] << 8 | right[12], good);
}

// Everything the line carried and what was done, for 40 requests under random faults.
std::pair<std::vector<int>, bytes> faultRun(uint32_t rng)
{
    sim_config cfg;
    cfg.rng = rng;
    cfg.drop.rate = cfg.corrupt.rate = cfg.exception.rate = cfg.noise.rate = 0.2;
    cfg.split.rate = 0.1;
    cfg.noise_ms = 5;
    cfg.split_gap_ms = 5;
    bench b(cfg);
    for (unsigned i = 0; i < 40 && b.fd >= 0; i++)
        send(b, writeReq(0x81000 + 16 * i, pattern(16, i)));
    bytes line;
    for (bytes got; !(got = readN(b.fd, 4096, 300)).empty();)
        line.insert(line.end(), got.begin(), got.end());
    std::vector<int> actions;
    for (const sim_frame &f : simLog(&b.s))
        actions.push_back(f.action * 2 + f.noise);
    return {actions, line};
}

TEST(SimFaults, SameRandomStartValueGivesSameFaults)
{
    const auto a = faultRun(7), again = faultRun(7), other = faultRun(8);
    ASSERT_EQ(a.first.size(), 40u);
    EXPECT_EQ(a.first, again.first);
    EXPECT_EQ(a.second, again.second) << "the same bytes on the line, noise included";
    EXPECT_NE(a.first, other.first);
    const auto dropped = std::count(a.first.begin(), a.first.end(), SIM_DROPPED * 2);
    EXPECT_GT(dropped, 0);
    EXPECT_LT(dropped, 40);
}

TEST(SimPace, ReplyFollowsTheRequestsTimeOnTheWire)
{
    sim_config cfg;
    cfg.pace = true;
    bench b(cfg);
    ASSERT_GE(b.fd, 0);
    const bytes req = writeReq(0x81000, pattern(512, 1));
    const auto t0 = steady::now();
    ASSERT_EQ(write(b.fd, req.data(), req.size()), ssize_t(req.size()));
    EXPECT_EQ(readN(b.fd, 11), ackOf(req));
    // 523 bytes in, the 2 ms gap, then 11 bytes out at 95.49 us each
    EXPECT_GE(since(t0), 523 * 0.09549 + 2 + 10 * 0.09549);
}

} // namespace

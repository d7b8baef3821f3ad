// The simulated target device, driven through its pseudo-terminal as the tool drives it. Its
// line faults are exercised end to end by the engine tests; here only what they rest on.
#include "tools/target_sim.h"

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

constexpr int WAIT_MS = 5000; // bound for events that come within milliseconds when idle

bytes withCrc(bytes f)
{
    const uint16_t c = simCrc16(f.data(), f.size());
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

// Up to n bytes, leaving any later ones unread; it stops at a silence of timeout_ms.
bytes readN(int fd, size_t n, int timeout_ms = WAIT_MS)
{
    bytes out;
    uint8_t buf[1024];
    pollfd p{fd, POLLIN, 0};
    ssize_t k = 0;
    while (out.size() < n && poll(&p, 1, timeout_ms) > 0 &&
           (k = read(fd, buf, std::min(sizeof buf, n - out.size()))) > 0)
        out.insert(out.end(), buf, buf + k);
    return out;
}

TEST(SimCrc, CheckValue)
{
    EXPECT_EQ(simCrc16(reinterpret_cast<const uint8_t *>("123456789"), 9), 0x4B37);
}

TEST(SimRequests, RepliesAreTheDocumentedFramesAndMemoryIsWritten)
{
    bench b;
    ASSERT_GE(b.fd, 0);
    const bytes first = pattern(512, 1), second = pattern(100, 2);
    for (const auto &[address, data] : {std::pair{0x81000u, first}, std::pair{0x81200u, second}}) {
        const bytes req = writeReq(address, data);
        send(b, req);
        EXPECT_EQ(readN(b.fd, 11), withCrc(bytes(req.begin(), req.begin() + 9)));
    }
    bytes image = first;
    image.insert(image.end(), second.begin(), second.end());
    EXPECT_EQ(simWritten(&b.s), image);
    EXPECT_EQ(simMemory(&b.s, 0x81000 + 612, 4), bytes(4, 0xFF)) << "untouched memory stays erased";

    // Range 0x81000, 29016 bytes, partly written: the request and the memory's CRC, high first.
    const bytes req = {0x04, 0x2B, 0xF0, 0x00, 0x08, 0x10, 0x00,
                       0x00, 0x00, 0x71, 0x58, 0xC9, 0xA5};
    send(b, req);
    const bytes mem = simMemory(&b.s, 0x81000, 29016);
    const uint16_t c = simCrc16(mem.data(), mem.size());
    bytes reply(req.begin(), req.begin() + 11);
    reply.push_back(uint8_t(c >> 8));
    reply.push_back(uint8_t(c));
    EXPECT_EQ(readN(b.fd, 15), withCrc(reply));

    const bytes reset = {0x04, 0x2B, 0xF1, 0xEF, 0x75};
    send(b, reset);
    EXPECT_EQ(readN(b.fd, 5), reset);
    EXPECT_TRUE(readN(b.fd, 1, 100).empty()) << "each reply is exactly its frame";
    EXPECT_EQ(simCounts(&b.s).resets, 1);
}

TEST(SimRequests, BadFramesIgnoredAndOutOfRangeRequestsRefused)
{
    bench b;
    ASSERT_GE(b.fd, 0);
    bytes bad = writeReq(0x81000, pattern(16, 1));
    bad.back() ^= 1;
    for (const bytes &ignored : {bad, withCrc({5, 0x2B, 0xF1})}) { // bad CRC, another slave
        send(b, ignored);
        EXPECT_TRUE(readN(b.fd, 1, 300).empty());
    }

    auto refused = [&](const bytes &req, uint8_t function, uint8_t code) {
        send(b, req);
        EXPECT_EQ(readN(b.fd, 5), withCrc({4, function, code}));
    };
    const uint32_t top = SIM_MEMORY_BASE + SIM_MEMORY_SIZE;
    refused(writeReq(0x80E00, pattern(16, 1)), 0xAB, 2); // below
    refused(writeReq(top - 8, pattern(16, 1)), 0xAB, 2); // across the top
    refused(rangeReq(0x81000, SIM_MEMORY_SIZE + 1), 0xAB, 2);
    refused(rangeReq(0xFFFFFFFF, 2), 0xAB, 2); // must not wrap around
    bytes lying = writeReq(0x81000, pattern(16, 1));
    lying[8] = 17; // length field one more than the data
    refused(withCrc(bytes(lying.begin(), lying.end() - 2)), 0xAB, 3);
    refused(withCrc({4, 0x03, 0x00, 0x00, 0x00, 0x01}), 0x83, 1);
    refused(withCrc({4, 0x2B, 0x0E}), 0xAB, 1);
    EXPECT_EQ(simWrittenEnd(&b.s), 0u);

    // The last bytes of memory are writable.
    const bytes last = writeReq(top - 4, pattern(4, 5));
    send(b, last);
    EXPECT_EQ(readN(b.fd, 11), withCrc(bytes(last.begin(), last.begin() + 9)));
    const sim_counts c = simCounts(&b.s);
    EXPECT_EQ(c.ignored, 2);
    EXPECT_EQ(c.refused, 7);
}

// Everything the line carried and what was done, for 40 requests under random faults.
std::pair<std::vector<int>, bytes> faultRun(uint32_t rng, double echo_rate = 0)
{
    sim_config cfg;
    cfg.rng = rng;
    cfg.echo.rate = echo_rate;
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

TEST(SimEcho, EveryFrameComesBackAheadOfItsReplyAndTheFaultsStayPut)
{
    sim_config cfg;
    cfg.echo.rate = 1;
    cfg.echo_short.on = {2};
    cfg.full_ack = true;
    bench b(cfg);
    ASSERT_GE(b.fd, 0);
    const bytes write = writeReq(0x81000, pattern(16, 1));
    send(b, write);
    bytes twice = write;
    twice.insert(twice.end(), write.begin(), write.end());
    EXPECT_EQ(readN(b.fd, twice.size()), twice) << "the echo, then the whole request as its ack";
    bytes range = rangeReq(0x81000, 16);
    send(b, range);
    EXPECT_EQ(readN(b.fd, 8), bytes(range.begin(), range.begin() + 8)) << "two thirds of it";
    EXPECT_EQ(readN(b.fd, 11), bytes(range.begin(), range.begin() + 11)) << "then the reply";
    EXPECT_EQ(readN(b.fd, 4).size(), 4u);
    range.back() ^= 1;
    send(b, range);
    EXPECT_EQ(readN(b.fd, 64, 300), range) << "a frame nobody answers is echoed all the same";
    EXPECT_EQ(simCounts(&b.s).echoes, 3);

    std::vector<int> dropped; // as before there were echoes: the same --rng, the same faults
    const std::vector<int> actions = faultRun(7, 0.5).first;
    for (size_t i = 0; i < actions.size(); i++)
        if (actions[i] == SIM_DROPPED * 2)
            dropped.push_back(int(i) + 1);
    EXPECT_EQ(dropped, (std::vector<int>{1, 13, 15, 20, 21, 24, 26, 28, 30, 38}));
}

} // namespace

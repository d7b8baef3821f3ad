// The serial link against pseudo-terminals made here: the test holds the master side and
// plays the line.
#include "modbus/modbus.h"
#include "serial/ser.h"
#include "system/os.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
using line = std::vector<std::pair<int, std::string>>; // pieces, each after a pause in ms

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A frame with its CRC, low byte first.
std::string framed(const std::string &body)
{
    unsigned c = crc_region(body.data(), int(body.size()));
    return body + char(c & 0xFF) + char(c >> 8);
}

// A set-up port on a new pseudo-terminal, and the frames the tests send on it.
struct Serial : testing::Test {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ser_port port{};
    std::string said; // what serInit wrote on standard error
    const std::string REQUEST =
        framed(std::string("\x04\x2B\xEF\x00\x08\x10\x00\x00\x20", 9) + std::string(32, 'i'));
    const std::string ACK = framed(REQUEST.substr(0, 9));
    const std::string RESET = framed("\x04\x2B\xF1");
    // A whole block: on a line that echoes, its copy and a copy as the reply exceed a read's
    // max_len.
    const std::string BLOCK =
        framed(std::string("\x04\x2B\xEF\x00\x08\x10\x00\x02\x00", 9) + std::string(512, 'b'));
    const std::string BLOCK_ACK = framed(BLOCK.substr(0, 9));

    void SetUp() override
    {
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        reopen();
    }
    // Closed and opened again: nothing known of the line.
    void reopen()
    {
        serClose(&port);
        ASSERT_EQ(serOpen(&port, ptsname(master)), 0);
        testing::internal::CaptureStderr();
        ASSERT_EQ(serInit(&port, 115200, 10), 0);
        said = testing::internal::GetCapturedStderr();
    }
    void TearDown() override
    {
        serClose(&port);
        if (master >= 0)
            close(master);
    }
    void send(const std::string &s)
    {
        ASSERT_EQ(write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string read(int max_len = MODBUS_FRAME_LENGTH_MAX)
    {
        char buf[MODBUS_FRAME_LENGTH_MAX];
        return std::string(buf, static_cast<size_t>(serRead(&port, buf, max_len)));
    }
    // The line plays its pieces while the link reads once; what the read returned. A request,
    // when given, goes out first as the engine sends it; with echo, the line hands it back as
    // it hears it, while serWrite is still watching, and plays its pieces after that.
    std::string during(const line &pieces, int max_len = MODBUS_FRAME_LENGTH_MAX,
                       const std::string &request = "", bool echo = false)
    {
        auto play = [&] {
            for (std::string heard; echo && heard.size() < request.size();) {
                char b[MODBUS_FRAME_LENGTH_MAX];
                const ssize_t n = ::read(master, b, request.size() - heard.size());
                ASSERT_GT(n, 0);
                heard.append(b, size_t(n));
                send(std::string(b, size_t(n)));
            }
            for (const auto &[pause_ms, bytes] : pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                send(bytes);
            }
        };
        std::thread target;
        if (echo) {
            tcflush(master, TCIFLUSH); // what the link sent before, which nobody heard
            target = std::thread(play);
        }
        if (!request.empty()) {
            EXPECT_EQ(serWrite(&port, request.data(), int(request.size())), int(request.size()));
            serPurge(&port);
        }
        if (!echo)
            target = std::thread(play);
        std::string got = read(max_len);
        target.join();
        return got;
    }
};

TEST_F(Serial, RawEightDataOneStopNoFlowControlAndWhatDidNotTakeIsSaid)
{
    termios t;
    ASSERT_EQ(tcgetattr(port.fd, &t), 0);
    // The pty driver drops PARENB (it forces CS8|CREAD): the one thing it did not take.
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ISTRIP | PARMRK | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(said, std::string("Port ") + ptsname(master) +
                        ": even parity not set, the line runs 8N1\n");
}

TEST_F(Serial, ReadEndsAtAGapAtMaxLenOrAfterOneSecond)
{
    const auto t0 = Clock::now();
    EXPECT_EQ(read(), "");
    EXPECT_GE(secondsSince(t0), 0.9);
    EXPECT_LE(secondsSince(t0), 3.0);
    EXPECT_EQ(during({{0, "abc"}, {50, "def"}}), "abc");
    EXPECT_EQ(read(), "def");
    EXPECT_EQ(during({{0, "0123456789"}}, 4), "0123");
    EXPECT_EQ(read(), "456789");
    // The scheduler can stretch a 5 ms pause past the 10 ms gap now and then; one whole read
    // in three tries shows the behaviour, a read that ends at every pause never gets one.
    std::string first;
    for (int attempt = 0; attempt < 3 && first != "123456"; ++attempt) {
        first = during({{0, "1"}, {5, "2"}, {5, "3"}, {5, "4"}, {5, "5"}, {5, "6"}});
        while (!read().empty()) {
        }
    }
    EXPECT_EQ(first, "123456");
}

// On a UART the drain in serWrite returns milliseconds after the last bit, when a quick
// target's reply may have come in: the purge that follows the send must keep it. What came
// before the send is dropped, and so is everything at a purge that does not follow a send.
TEST_F(Serial, PurgeAfterASendKeepsTheReplyButNotWhatCameBefore)
{
    auto holds = [&](int n) { // poll() tells only that something is there
        int queued = 0;
        for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            if (ioctl(port.fd, FIONREAD, &queued) == 0 && queued >= n)
                return true;
        return false;
    };
    send("stale");
    ASSERT_TRUE(holds(5));
    ASSERT_EQ(serWrite(&port, "req", 3), 3);
    send("reply");
    ASSERT_TRUE(holds(5));
    serPurge(&port);
    EXPECT_EQ(read(1), "r");
    serPurge(&port);
    send("new");
    EXPECT_EQ(read(), "new");
}

// What came in by the time a drain returned is the echo only if a reply could not have brought
// that much yet: a UART's drain may return milliseconds after the last stop bit, when a quick
// device's copy of a short request (a reset's acknowledgement) is in already.
TEST(SerialEcho, InputDuringAWriteIsTheEchoOnlyIfNoReplyCouldHaveBroughtIt)
{
    ser_link l{};
    serLinkReset(&l);
    serLinkSetUp(&l, 115200, 10);
    const int64_t block = serEchoWatchUs(&l, 523), tiny = serEchoWatchUs(&l, 5);
    EXPECT_NEAR(block, 50273, 1) << "523 bytes and 3.5 characters at 115200 baud 8E1";
    EXPECT_TRUE(serEchoShows(&l, 523, 400, 2));
    EXPECT_FALSE(serEchoShows(&l, 523, 400, 0));
    EXPECT_TRUE(serEchoShows(&l, 523, block + 4000, 523)) << "a late drain, the whole echo in";
    EXPECT_FALSE(serEchoShows(&l, 5, tiny + 4000, 5)) << "a quick reply to a reset";
    EXPECT_FALSE(serEchoShows(&l, 523, block + 4000, 40)) << "the start of a quick copy-reply";
}

TEST_F(Serial, ExclusiveUntilClosed)
{
    ser_port again{};
    EXPECT_EQ(serOpen(&again, ptsname(master)), -1);
    EXPECT_EQ(osLastError(), static_cast<unsigned long>(EBUSY));
    serClose(&port);
    EXPECT_EQ(serOpen(&again, ptsname(master)), 0);
    serClose(&again);
}

TEST_F(Serial, PeerGoneEndsReadsAndWritesPromptly)
{
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(master);
    });
    EXPECT_EQ(read(), "");
    closer.join();
    master = -1;
    const auto t0 = Clock::now();
    EXPECT_EQ(read(), "");
    EXPECT_EQ(serWrite(&port, "x", 1), 0);
    EXPECT_LT(secondsSince(t0), 0.9);
}

// Requests sent as the engine sends them, on five lines, each from a newly opened port: what
// the line does, what the read after the send returns, and whether that read waits out its
// full time (a copy alone may yet be followed by the reply).
TEST_F(Serial, TheEchoIsTakenOutAndNothingElse)
{
    struct step {
        std::string request; // none: a read alone
        line pieces;
        std::string got;
        bool waits;
        bool echo = false; // the line hands the request back while it is going out
    };
    std::string broken = REQUEST;
    broken[15] ^= 0x10;
    std::string next = REQUEST;
    next[20] ^= 0x01;
    next = framed(next.substr(0, next.size() - 2));
    // A range-CRC reply whose device CRC equals its request's own CRC bytes.
    const std::string range =
        framed(framed(std::string("\x04\x2B\xF0\x00\x08\x10\x00\x00\x00\x71\x58", 11)));
    const std::vector<std::vector<step>> lines = {
        // Echoing. An echo in two pieces 100 ms apart, longer than any adapter's hole, then the
        // reply: the first piece goes on as it came (a fragment the engine refuses), the rest is
        // the end of a copy followed by a frame. Then the reply in the echo's burst or 150 ms
        // behind
        // it; no reply; a broken echo, or one cut short, handed on with the reply as a corrupt
        // reply; a late reply that starts like the request.
        {{REQUEST,
          {{0, REQUEST.substr(0, 20)}, {100, REQUEST.substr(20) + ACK}},
          REQUEST.substr(0, 20),
          false},
         {"", {}, ACK, false},
         {REQUEST, {{0, REQUEST + ACK}}, ACK, false},
         {REQUEST, {{0, REQUEST}, {150, ACK}}, ACK, false},
         {REQUEST, {{0, REQUEST}}, "", true},
         {REQUEST, {{0, broken + ACK}}, broken + ACK, false},
         {REQUEST, {{0, REQUEST.substr(0, 30) + ACK}}, REQUEST.substr(0, 30) + ACK, false},
         {RESET, {{0, RESET}, {30, RESET}}, RESET, false}},
        // A device that answers with a copy: the first lone copy may be an echo whose reply was
        // lost, and is nothing; the same request sent again bringing it back alone again is
        // the reply, and the line is known not to echo. A range-CRC reply may start with the
        // 13 bytes of its request.
        {{REQUEST, {{0, REQUEST}}, "", true},
         {REQUEST, {{0, REQUEST}}, REQUEST, true},
         {RESET, {{0, RESET}}, RESET, false},
         {range.substr(0, 13), {{0, range}}, range, false}},
        // A device that answers after the read's time: the copy alone is nothing, the late
        // reply is the reply; the next request's lone copy, of the same length, is nothing
        // again, not the resend's.
        {{REQUEST, {{0, REQUEST}}, "", true},
         {"", {{0, ACK}}, ACK, false},
         {next, {{0, next}}, "", true}},
        // The usual device: its first reply is no copy, and the reset's acknowledgement, a copy
        // of the request, is the reply at once.
        {{REQUEST, {{0, ACK}}, ACK, false}, {RESET, {{0, RESET}}, RESET, false}},
        // An echo that comes while the block is still going out, of a device silent at first:
        // by its time it is the echo, however often it comes back alone. Then a device that
        // acknowledges with the whole block: its copy fits behind the echo.
        {{BLOCK, {}, "", true, true},
         {BLOCK, {}, "", true, true},
         {BLOCK, {{0, BLOCK_ACK}}, BLOCK_ACK, false, true},
         {BLOCK, {{5, BLOCK}}, BLOCK, false, true}},
    };
    for (size_t l = 0; l < lines.size(); l++) {
        reopen();
        for (size_t i = 0; i < lines[l].size(); i++) {
            SCOPED_TRACE(testing::Message() << "line " << l << " step " << i);
            const step &s = lines[l][i];
            const auto t0 = Clock::now();
            EXPECT_EQ(during(s.pieces, MODBUS_FRAME_LENGTH_MAX, s.request, s.echo), s.got);
            EXPECT_EQ(secondsSince(t0) > 0.9, s.waits);
        }
    }
}

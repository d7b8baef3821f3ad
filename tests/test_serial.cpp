// The serial link against pseudo-terminals made here: the test holds the master side and
// plays the line.
#include "modbus/modbus.h"
#include "serial/os.h"
#include "serial/ser.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
using line = std::vector<std::pair<int, std::string>>; // pieces, each after a pause in ms

// A set-up port on a new pseudo-terminal.
struct Serial : testing::Test {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ser_port port{};
    std::string said; // what serInit wrote on standard error

    void SetUp() override
    {
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
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
    // The line plays its pieces while the link reads once; what the read returned.
    std::string during(const line &pieces, int max_len = MODBUS_FRAME_LENGTH_MAX)
    {
        std::thread target([&] {
            for (auto &[pause_ms, bytes] : pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                send(bytes);
            }
        });
        std::string got = read(max_len);
        target.join();
        return got;
    }
    // A request sent through the link as the engine sends it, then one read.
    std::string exchange(const std::string &request, const line &pieces)
    {
        EXPECT_EQ(serWrite(&port, request.data(), int(request.size())), int(request.size()));
        serPurge(&port);
        return during(pieces);
    }
};

// A frame with its CRC, low byte first.
std::string framed(std::string bytes)
{
    unsigned c = crc_region(bytes.data(), int(bytes.size()));
    return bytes + char(c & 0xFF) + char(c >> 8);
}

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const std::string REQUEST =
    framed(std::string("\x04\x2B\xEF\x00\x08\x10\x00\x00\x20", 9) + std::string(32, 'i'));
const std::string ACK = framed(REQUEST.substr(0, 9));
const std::string RESET = framed("\x04\x2B\xF1");

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

    // A second set-up of the same pty still takes effect; an unknown rate keeps the speed.
    EXPECT_EQ(serInit(&port, 9600, 10), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&port, 12345, 10), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("12345 baud"), std::string::npos);
    ASSERT_EQ(tcgetattr(port.fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    ser_port null{};
    null.fd = open("/dev/null", O_RDWR);
    null.open = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&null, 115200, 10), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    serClose(&null);
}

TEST_F(Serial, ReadEndsAtAGapAtMaxLenOrAfterOneSecond)
{
    auto t0 = Clock::now();
    EXPECT_EQ(read(), "");
    EXPECT_GE(secondsSince(t0), 0.9);
    EXPECT_LE(secondsSince(t0), 3.0);
    EXPECT_EQ(during({{0, "abc"}, {50, "def"}}), "abc");
    EXPECT_EQ(read(), "def");
    // The scheduler can stretch a 5 ms pause past the 10 ms gap now and then; one whole read
    // in three tries shows the behaviour, a read that ends at every pause never gets one.
    std::string first;
    for (int attempt = 0; attempt < 3 && first != "123456"; ++attempt) {
        first = during({{0, "1"}, {5, "2"}, {5, "3"}, {5, "4"}, {5, "5"}, {5, "6"}});
        while (read() != "") {
        }
    }
    EXPECT_EQ(first, "123456");
    t0 = Clock::now();
    EXPECT_EQ(during({{0, "0123456789"}}, 4), "0123");
    EXPECT_LT(secondsSince(t0), 0.9);
    EXPECT_EQ(read(), "456789");
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

TEST_F(Serial, ExclusiveUntilClosed)
{
    ser_port again{};
    EXPECT_EQ(serOpen(&again, ptsname(master)), -1);
    EXPECT_EQ(osLastError(), static_cast<unsigned long>(EBUSY));

    pid_t child = fork();
    if (child == 0)
        _exit(serOpen(&again, ptsname(master)) == -1 && errno == EBUSY ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got in";

    serClose(&port);
    EXPECT_EQ(serOpen(&again, ptsname(master)), 0);
    serClose(&again);
}

TEST_F(Serial, PeerGoneEndsReadsPromptly)
{
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(master);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(read(), "");
    closer.join();
    master = -1;
    EXPECT_GE(secondsSince(t0), 0.05);
    EXPECT_LT(secondsSince(t0), 0.9);
    t0 = Clock::now();
    EXPECT_EQ(read(), "");
    EXPECT_LT(secondsSince(t0), 0.9);
    EXPECT_EQ(serWrite(&port, "x", 1), 0);
}

// With this test as a line that echoes: the copy of each request ahead of the reply is taken
// out, once the line has shown what it does, however the echo and the reply are spaced.
TEST_F(Serial, EchoAheadOfTheReplyIsTakenOut)
{
    // An echo arriving in two pieces, as a USB adapter may deliver it, then the reply: the
    // first piece goes on as it came (a fragment the engine refuses), the rest is seen as the
    // end of a copy followed by a frame.
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST.substr(0, 20)}, {50, REQUEST.substr(20) + ACK}}),
              REQUEST.substr(0, 20));
    EXPECT_EQ(read(), ACK);
    // Known to echo: the echo, then the reply in one burst, or 150 ms behind it.
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST + ACK}}), ACK);
    auto t0 = Clock::now();
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST}, {150, ACK}}), ACK);
    EXPECT_GE(secondsSince(t0), 0.14);
    // An echo and no reply: nothing, after the read's full time.
    t0 = Clock::now();
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST}}), "");
    EXPECT_GE(secondsSince(t0), 0.9);
    // A broken echo, or one cut short, goes on with the reply as it came: a corrupt reply.
    std::string broken = REQUEST;
    broken[15] ^= 0x10;
    EXPECT_EQ(exchange(REQUEST, {{0, broken + ACK}}), broken + ACK);
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST.substr(0, 30) + ACK}}), REQUEST.substr(0, 30) + ACK);
    // A late reply that starts like the request is the reply: the echo came before it.
    EXPECT_EQ(exchange(RESET, {{0, RESET}, {30, RESET}}), RESET);
}

// Without echo, replies that look like the request are replies: a device may acknowledge a
// request with a copy of it, a reset is acknowledged so, and a range-CRC reply may start with
// its request's 13 bytes.
TEST_F(Serial, WithoutEchoARequestsCopyIsTheReply)
{
    // Before anything is known a lone copy may be an echo whose reply was lost: nothing, after
    // the read's full time. The same request sent again bringing it back alone again is the
    // device's reply.
    auto t0 = Clock::now();
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST}}), "");
    EXPECT_EQ(exchange(REQUEST, {{0, REQUEST}}), REQUEST);
    EXPECT_GE(secondsSince(t0), 1.8);
    // From then on the line is known not to echo, and a copy is a reply at once.
    t0 = Clock::now();
    EXPECT_EQ(exchange(RESET, {{0, RESET}}), RESET);
    EXPECT_LT(secondsSince(t0), 0.5);
    const std::string range =
        framed(std::string("\x04\x2B\xF0\x00\x08\x10\x00\x00\x00\x71\x58", 11));
    EXPECT_EQ(exchange(range, {{0, range + "\xAB\xCD"}}), range + "\xAB\xCD");
}

// The usual device: its first reply is no copy, so the line does not echo, and the reset's
// acknowledgement, a copy of the request, is the reply at once.
TEST_F(Serial, AReplyThatIsNoCopyShowsTheLineDoesNotEcho)
{
    EXPECT_EQ(exchange(REQUEST, {{0, ACK}}), ACK);
    const auto t0 = Clock::now();
    EXPECT_EQ(exchange(RESET, {{0, RESET}}), RESET);
    EXPECT_LT(secondsSince(t0), 0.5);
}

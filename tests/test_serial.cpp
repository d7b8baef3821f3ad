// The serial link against pseudo-terminals made here: the test holds the master side.
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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A set-up port on a new pseudo-terminal; the test writes to the master side as the target.
struct Serial : testing::Test {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ser_port port{};

    void SetUp() override
    {
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        ASSERT_EQ(serOpen(&port, ptsname(master)), 0);
        ASSERT_EQ(serInit(&port, 115200, 10), 0);
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
    std::string read(int max_len = 64)
    {
        char buf[64];
        return std::string(buf, static_cast<size_t>(serRead(&port, buf, max_len)));
    }
};

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST_F(Serial, RawEightDataOneStopNoFlowControlAlsoWhenSetUpAgain)
{
    termios t;
    ASSERT_EQ(tcgetattr(port.fd, &t), 0);
    // The pty driver drops PARENB (it forces CS8|CREAD), so even parity cannot be read back.
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ISTRIP | PARMRK | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    // A second set-up of the same pty still takes effect; an unknown rate keeps the speed.
    EXPECT_EQ(serInit(&port, 9600, 10), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&port, 12345, 10), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(tcgetattr(port.fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST(SerialSettings, NotATerminalIsReported)
{
    ser_port p{open("/dev/null", O_RDWR), true, 7, 7, false};
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&p, 115200, 10), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    serClose(&p);
}

TEST_F(Serial, ReadEndsAtAGapAtMaxLenOrAfterOneSecond)
{
    auto t0 = Clock::now();
    EXPECT_EQ(read(), "");
    EXPECT_GE(secondsSince(t0), 0.9);
    EXPECT_LE(secondsSince(t0), 3.0);

    std::thread w([&] {
        send("abc");
        std::this_thread::sleep_for(50ms);
        send("def");
    });
    EXPECT_EQ(read(), "abc");
    EXPECT_EQ(read(), "def");
    w.join();

    // The scheduler can stretch a 5 ms pause past the 10 ms gap now and then; one whole read
    // in three tries shows the behaviour, a read that ends at every pause never gets one.
    std::string first;
    for (int attempt = 0; attempt < 3 && first != "123456"; ++attempt) {
        std::thread v([&] {
            for (char c : std::string("123456")) {
                send(std::string(1, c));
                std::this_thread::sleep_for(5ms);
            }
        });
        first = read();
        v.join();
        for (size_t got = first.size(), reads = 0; got < 6 && reads < 6; ++reads)
            got += read().size();
    }
    EXPECT_EQ(first, "123456");

    send("0123456789");
    t0 = Clock::now();
    EXPECT_EQ(read(4), "0123");
    EXPECT_LT(secondsSince(t0), 0.9);
    EXPECT_EQ(read(), "456789");
}

TEST_F(Serial, PurgeDropsWhatCameBefore)
{
    send("old");
    EXPECT_EQ(read(1), "o"); // the rest of the write has arrived with it
    serPurge(&port);
    send("new");
    EXPECT_EQ(read(), "new");
}

// On a UART the drain in serWrite returns milliseconds after the last bit, when a quick
// target's reply may have come in: the purge that follows the send must keep it.
TEST_F(Serial, PurgeAfterASendKeepsTheReplyButNotWhatCameBefore)
{
    auto holds = [&](int n) { // poll() tells only that something is there
        int queued = 0;
        for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;
             std::this_thread::sleep_for(1ms))
            if (ioctl(port.fd, FIONREAD, &queued) == 0 && queued >= n)
                return true;
        return false;
    };
    send("stale");
    ASSERT_TRUE(holds(5));
    ASSERT_EQ(serWrite(&port, "req", 3), 3);
    int left = 0;
    ioctl(port.fd, FIONREAD, &left);
    send("reply");
    ASSERT_TRUE(holds(left + 5));
    serPurge(&port);
    EXPECT_EQ(read(), "reply");
    serPurge(&port); // not right after a send: drops what came
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
        std::this_thread::sleep_for(100ms);
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

// The serial link against pseudo-terminals made here: the test holds the master side.
#include "serial/os.h"
#include "serial/ser.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Link {
    int master;
    ser_port port;
};

static Link linkOpen()
{
    Link l{posix_openpt(O_RDWR | O_NOCTTY), {}};
    EXPECT_TRUE(l.master >= 0 && grantpt(l.master) == 0 && unlockpt(l.master) == 0);
    EXPECT_EQ(serOpen(&l.port, ptsname(l.master)), 0);
    EXPECT_EQ(serInit(&l.port, 115200, 10), 0);
    return l;
}

static void linkClose(Link &l)
{
    serClose(&l.port);
    close(l.master);
}

static void masterWrite(const Link &l, const std::string &s)
{
    ASSERT_EQ(write(l.master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

static std::string portRead(Link &l, int max_len = 64)
{
    char buf[64];
    return std::string(buf, static_cast<size_t>(serRead(&l.port, buf, max_len)));
}

static double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST(SerialSettings, RawEightDataOneStopNoFlowControl)
{
    Link l = linkOpen();
    termios t;
    ASSERT_EQ(tcgetattr(l.port.fd, &t), 0);
    // The pty driver drops PARENB (it forces CS8|CREAD), so even parity cannot be read back.
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ISTRIP | PARMRK | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    // A second set-up of the same pty still takes effect; an unknown rate keeps the speed.
    EXPECT_EQ(serInit(&l.port, 9600, 10), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&l.port, 12345, 10), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(tcgetattr(l.port.fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    linkClose(l);
}

TEST(SerialSettings, NotATerminalIsReportedAndLeftAlone)
{
    ser_port p{open("/dev/null", O_RDWR), true, 7, 7};
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&p, 115200, 10), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    EXPECT_EQ(p.gap_ms + p.total_ms, 14u);
    serClose(&p);
}

TEST(SerialRead, Timing)
{
    Link l = linkOpen();
    auto t0 = Clock::now();
    EXPECT_EQ(portRead(l), "");
    EXPECT_GE(secondsSince(t0), 0.9);
    EXPECT_LE(secondsSince(t0), 3.0);

    std::thread w([&] {
        masterWrite(l, "abc");
        std::this_thread::sleep_for(50ms);
        masterWrite(l, "def");
    });
    EXPECT_EQ(portRead(l), "abc");
    EXPECT_EQ(portRead(l), "def");
    w.join();

    // The scheduler can stretch a 5 ms pause past the 10 ms gap now and then; one whole read
    // in three tries shows the behaviour, a read that ends at every pause never gets one.
    std::string first;
    for (int attempt = 0; attempt < 3 && first != "123456"; ++attempt) {
        std::thread v([&] {
            for (char c : std::string("123456")) {
                masterWrite(l, std::string(1, c));
                std::this_thread::sleep_for(5ms);
            }
        });
        first = portRead(l);
        v.join();
        for (size_t got = first.size(), reads = 0; got < 6 && reads < 6; ++reads)
            got += portRead(l).size();
    }
    EXPECT_EQ(first, "123456");
    linkClose(l);
}

TEST(SerialRead, MaxLenEndsReadEarly)
{
    Link l = linkOpen();
    masterWrite(l, "0123456789");
    char buf[8];
    memset(buf, '#', sizeof buf);
    auto t0 = Clock::now();
    EXPECT_EQ(serRead(&l.port, buf, 4), 4);
    EXPECT_LT(secondsSince(t0), 0.9);
    EXPECT_EQ(std::string(buf, 8), "0123####");
    EXPECT_EQ(serRead(&l.port, buf, 0) + serRead(&l.port, buf, -1), 0);
    EXPECT_EQ(portRead(l), "456789");
    linkClose(l);
}

TEST(SerialPort, PurgeDropsWhatCameBefore)
{
    Link l = linkOpen();
    masterWrite(l, "old");
    EXPECT_EQ(portRead(l, 1), "o"); // the rest of the write has arrived with it
    serPurge(&l.port);
    masterWrite(l, "new");
    EXPECT_EQ(portRead(l), "new");
    linkClose(l);
}

TEST(SerialPort, ExclusiveUntilClosed)
{
    Link l = linkOpen();
    ser_port again{};
    EXPECT_EQ(serOpen(&again, ptsname(l.master)), -1);
    EXPECT_EQ(osLastError(), static_cast<unsigned long>(EBUSY));
    EXPECT_FALSE(again.open);

    pid_t child = fork();
    if (child == 0)
        _exit(serOpen(&again, ptsname(l.master)) == -1 && errno == EBUSY ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got in";

    serClose(&l.port);
    serClose(&l.port);
    EXPECT_EQ(serOpen(&again, ptsname(l.master)), 0);
    serClose(&again);

    EXPECT_EQ(serOpen(&again, "/nonexistent/tty"), -1);
    EXPECT_EQ(osLastError(), static_cast<unsigned long>(ENOENT));
    char text[6];
    EXPECT_EQ(osErrorText(ENOENT, text, sizeof text), 5);
    EXPECT_EQ(std::string(text), std::string(strerror(ENOENT)).substr(0, 5));
    linkClose(l);
}

TEST(SerialPort, PeerGoneEndsReadPromptly)
{
    Link l = linkOpen();
    std::thread closer([&] {
        std::this_thread::sleep_for(100ms);
        close(l.master);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(portRead(l), "");
    closer.join();
    EXPECT_GE(secondsSince(t0), 0.05);
    EXPECT_LT(secondsSince(t0), 0.9);
    t0 = Clock::now();
    EXPECT_EQ(portRead(l), "");
    EXPECT_LT(secondsSince(t0), 0.9);
    EXPECT_EQ(serWrite(&l.port, "x", 1), 0);
    serClose(&l.port);
}

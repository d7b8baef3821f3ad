// The target vanishing in the middle of a run, stepped as the window steps it: one step a tick,
// the next tick 100 ms after the step ended. Gone for good, the tool's port hangs up; gone and
// back, the port stays (as a USB adapter whose device was power-cycled) and the run finishes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "engine/installer.h"
#include "shell/program.h"
#include "tests/ui_record.h"
#include "tools/target_sim.h"

namespace
{

using Clock = std::chrono::steady_clock;

double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct absence {
    double wall_s = 0, cpu_s = 0;
    std::vector<uint32_t> intervals_ms; // between successive sends of the same request
};

struct Vanish : testing::Test {
    installer_t rec{};
    T t = &rec;
    std::vector<uint8_t> image = std::vector<uint8_t>(size_t{16} * 512);

    void SetUp() override
    {
        PrepareRecord(t);
        for (size_t i = 0; i < image.size(); i++)
            image[i] = static_cast<uint8_t>(i * 7 + i / 251);
        TakeImage(t, image.data(), static_cast<uint32_t>(image.size()));
    }
    void TearDown() override
    {
        serClose(&rec.h_port);
        delete[] rec.buf; // the window keeps them to the end of the process; a test does not
        delete[] rec.image;
    }

    bool tick()
    {
        bool more = TimerTick(t);
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
        return more;
    }
    void runUntilBlock(uint32_t block)
    {
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (rec.image_current_offset < block * 512 && Clock::now() < deadline)
            tick();
        ASSERT_EQ(rec.state, STATE_PROG);
        ASSERT_GE(rec.image_current_offset, block * 512);
    }
    // Ten seconds of ticks with nobody answering: what the tool's thread spent, and the
    // spacing of its sends, read from the send times the engine itself keeps.
    absence tenSecondsAlone(const char *what)
    {
        absence a;
        for (int i = 0; i < 3; i++) // a reply already on its way when the target went
            tick();
        const uint32_t offset = rec.image_current_offset;
        uint32_t sent = rec.response_timer;
        const double cpu0 = threadCpuSeconds();
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::seconds(10)) {
            tick();
            if (rec.response_timer != sent) {
                a.intervals_ms.push_back(rec.response_timer - sent);
                sent = rec.response_timer;
            }
        }
        a.cpu_s = threadCpuSeconds() - cpu0;
        a.wall_s = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_EQ(rec.state, STATE_PROG);
        EXPECT_EQ(rec.image_current_offset, offset); // the same block, over and over
        uint32_t lo = UINT32_MAX, hi = 0;
        for (uint32_t ms : a.intervals_ms)
            lo = std::min(lo, ms), hi = std::max(hi, ms);
        fprintf(stderr,
                "[%s] %.1f s: tool thread CPU %.3f s (%.2f %%), %zu resends, %u..%u ms apart\n",
                what, a.wall_s, a.cpu_s, 100 * a.cpu_s / a.wall_s, a.intervals_ms.size(), lo, hi);
        // Generous: an idle tool uses a fraction of a percent; a spinning one uses 100 %.
        EXPECT_LT(a.cpu_s / a.wall_s, 0.05);
        EXPECT_GE(a.intervals_ms.size(), 5u);
        for (uint32_t ms : a.intervals_ms)
            EXPECT_GT(ms, uint32_t{MODBUS_RESPONSE_TIMEOUT}) << "resent before the response time";
        return a;
    }
};

TEST_F(Vanish, GoneForGoodHangsUpThePortWithoutSpinning)
{
    sim target;
    sim_config cfg;
    cfg.gap_us = 20000;
    std::string error;
    ASSERT_TRUE(simStart(&target, cfg, &error)) << error;
    ASSERT_TRUE(ProgramPressed(t, target.port.c_str()));
    runUntilBlock(4);
    simStop(&target); // the pseudo-terminal's master closes: the tool's side hangs up
    tenSecondsAlone("gone for good");
}

// Two pseudo-terminals joined by a relay, as a serial cable with an adapter at each end: the
// relay holds the device's end open, so the simulator can go away and come back on it.
struct cable {
    int tool_m = -1, dev_m = -1, dev_hold = -1;
    std::string tool_path, dev_path;
    std::atomic<bool> present{true}, stop{false};
    std::thread relay;
};

int openPty(std::string *slave_path)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
        return -1;
    *slave_path = ptsname(m);
    return m;
}

void relayLoop(cable *c)
{
    char buf[4096];
    while (!c->stop) {
        pollfd p[2] = {{c->tool_m, POLLIN, 0}, {c->dev_m, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & POLLIN))
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            // With the device away, what the tool sends is lost on the open line.
            if (n > 0 && c->present && write(p[1 - i].fd, buf, size_t(n)) != n)
                ADD_FAILURE() << "relay write";
        }
    }
}

TEST_F(Vanish, GoneAndBackOnTheSameLineFinishesTheRun)
{
    cable c;
    c.tool_m = openPty(&c.tool_path);
    c.dev_m = openPty(&c.dev_path);
    ASSERT_GE(c.tool_m, 0);
    ASSERT_GE(c.dev_m, 0);
    c.dev_hold = open(c.dev_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(c.dev_hold, 0);
    termios raw{};
    tcgetattr(c.dev_hold, &raw);
    cfmakeraw(&raw);
    tcsetattr(c.dev_hold, TCSANOW, &raw); // no echo while the simulator is away
    c.relay = std::thread(relayLoop, &c);

    sim_config cfg;
    cfg.tty = c.dev_path;
    cfg.gap_us = 20000;
    std::string error;
    sim first;
    ASSERT_TRUE(simStart(&first, cfg, &error)) << error;
    ASSERT_TRUE(ProgramPressed(t, c.tool_path.c_str()));
    runUntilBlock(4);
    c.present = false;
    simStop(&first);
    tenSecondsAlone("gone, line kept");

    // Back with what it had stored, as flash keeps it, and nothing stale on its line.
    sim again;
    tcflush(c.dev_hold, TCIFLUSH);
    ASSERT_TRUE(simStart(&again, cfg, &error)) << error;
    {
        std::lock_guard<std::mutex> lk(again.mu);
        again.memory = first.memory;
    }
    c.present = true;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (tick() && Clock::now() < deadline) {
    }
    EXPECT_EQ(rec.state, STATE_COMPLETE);
    EXPECT_EQ(shown.statuses.back(), "Programming Completed");
    EXPECT_EQ(simMemory(&again, SIM_MEMORY_BASE, uint32_t(image.size())), image);
    simStop(&again);

    c.stop = true;
    c.relay.join();
    close(c.dev_hold);
    close(c.dev_m);
    close(c.tool_m);
}

} // namespace

// The target vanishing in the middle of a run, stepped as the window steps it: one step a tick,
// the next tick 100 ms after the step ended. Gone for good, the tool's port hangs up; gone and
// back, the port stays (as a USB adapter whose device was power-cycled) and the run finishes.
#include <atomic>
#include <chrono>
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

struct Vanish : testing::Test {
    installer_t rec{};
    T t = &rec;
    std::vector<uint8_t> image = std::vector<uint8_t>(size_t{16} * 512);
    sim_config cfg;

    void SetUp() override
    {
        PrepareRecord(t);
        for (size_t i = 0; i < image.size(); i++)
            image[i] = static_cast<uint8_t>(i * 7 + i / 251);
        TakeImage(t, image.data(), static_cast<uint32_t>(image.size()));
        cfg.gap_us = 20000;
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
        if (!more)
            RunCompleted(t);
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
        return more;
    }
    // Starts the target and a run on port (by default the target's own), up to the fifth block.
    void runToBlock4(sim *target, const char *port = nullptr)
    {
        std::string error;
        ASSERT_TRUE(simStart(target, cfg, &error)) << error;
        ASSERT_TRUE(ProgramPressed(t, port ? port : target->port.c_str()));
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (rec.image_current_offset < 4 * 512 && Clock::now() < deadline)
            tick();
        ASSERT_EQ(rec.state, STATE_PROG);
        ASSERT_GE(rec.image_current_offset, 4u * 512);
    }
    // Ten seconds of ticks with nobody answering: what the tool's thread spent, and the
    // spacing of its sends, read from the send times the engine itself keeps.
    void tenSecondsAlone()
    {
        for (int i = 0; i < 3; i++) // a reply already on its way when the target went
            tick();
        const uint32_t offset = rec.image_current_offset;
        uint32_t sent = rec.response_timer;
        std::vector<uint32_t> intervals_ms; // between successive sends of the same request
        const double cpu0 = threadCpuSeconds();
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::seconds(10)) {
            tick();
            if (rec.response_timer != sent) {
                intervals_ms.push_back(rec.response_timer - sent);
                sent = rec.response_timer;
            }
        }
        const double cpu = threadCpuSeconds() - cpu0;
        EXPECT_EQ(rec.state, STATE_PROG);
        EXPECT_EQ(rec.image_current_offset, offset); // the same block, over and over
        // Generous: an idle tool uses a fraction of a percent; a spinning one uses 100 %.
        EXPECT_LT(cpu / std::chrono::duration<double>(Clock::now() - t0).count(), 0.05);
        EXPECT_GE(intervals_ms.size(), 5u);
        for (uint32_t ms : intervals_ms)
            EXPECT_GT(ms, uint32_t{MODBUS_RESPONSE_TIMEOUT}) << "resent before the response time";
    }
};

TEST_F(Vanish, GoneForGoodHangsUpThePortWithoutSpinning)
{
    sim target;
    runToBlock4(&target);
    simStop(&target); // the pseudo-terminal's master closes: the tool's side hangs up
    tenSecondsAlone();
}

int openPty(std::string *slave_path)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
        return -1;
    *slave_path = ptsname(m);
    return m;
}

// Two pseudo-terminals joined by a relay, as a serial cable with an adapter at each end: the
// relay holds the device's end open, so the simulator can go away and come back on it.
TEST_F(Vanish, GoneAndBackOnTheSameLineFinishesTheRun)
{
    std::string tool_path;
    const int tool_m = openPty(&tool_path), dev_m = openPty(&cfg.tty);
    ASSERT_TRUE(tool_m >= 0 && dev_m >= 0);
    const int dev_hold = open(cfg.tty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(dev_hold, 0);
    termios raw{};
    tcgetattr(dev_hold, &raw);
    cfmakeraw(&raw);
    tcsetattr(dev_hold, TCSANOW, &raw); // no echo while the simulator is away
    std::atomic<bool> present{true}, stop{false};
    std::thread relay([&] {
        char buf[4096];
        while (!stop) {
            pollfd p[2] = {{tool_m, POLLIN, 0}, {dev_m, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; i++) {
                ssize_t n = (p[i].revents & POLLIN) ? read(p[i].fd, buf, sizeof buf) : 0;
                // With the device away, what the tool sends is lost on the open line.
                if (n > 0 && present && write(p[1 - i].fd, buf, size_t(n)) != n)
                    ADD_FAILURE() << "relay write";
            }
        }
    });

    sim first;
    runToBlock4(&first, tool_path.c_str());
    present = false;
    simStop(&first);
    tenSecondsAlone();

    // Back with what it had stored, as flash keeps it, and nothing stale on its line.
    sim again;
    tcflush(dev_hold, TCIFLUSH);
    std::string error;
    ASSERT_TRUE(simStart(&again, cfg, &error)) << error;
    {
        std::lock_guard<std::mutex> lk(again.mu);
        again.memory = first.memory;
    }
    present = true;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (tick() && Clock::now() < deadline) {
    }
    EXPECT_EQ(rec.state, STATE_COMPLETE);
    EXPECT_EQ(shown.statuses.back(), "Programming Completed");
    EXPECT_EQ(simMemory(&again, SIM_MEMORY_BASE, uint32_t(image.size())), image);
    simStop(&again);
    stop = true;
    relay.join();
    for (int fd : {dev_hold, dev_m, tool_m})
        close(fd);
}

} // namespace

// The response timer across the wrap of the 32-bit millisecond tick. This program brings its
// own clock in place of the system's: the real one, shifted so that it wraps during the test.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "engine/installer.h"
#include "serial/os.h"
#include "tests/rig.h"
#include "tests/ui_record.h"
#include "tools/target_sim.h"

namespace
{
int64_t shift_ms;
bool frozen;
uint32_t frozen_ms;

int64_t real_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

uint32_t osTickms()
{
    return frozen ? frozen_ms : static_cast<uint32_t>(real_ms() + shift_ms);
}
unsigned long osLastError()
{
    return static_cast<unsigned long>(errno);
}
int osErrorText(unsigned long code, char *buf, int size)
{
    return snprintf(buf, static_cast<size_t>(size), "%s", strerror(static_cast<int>(code)));
}

namespace
{

TEST(TickWrap, ElapsedTimeIsTheUnsignedDifference)
{
    frozen = true;
    uint32_t timer = 0;
    frozen_ms = 0xFFFFFF00u;
    EXPECT_EQ(osTimeoutms(&timer, 0), 1);
    EXPECT_EQ(timer, 0xFFFFFF00u);
    frozen_ms = 0xFFFFFF00u + 1000; // 744 after the wrap
    EXPECT_EQ(osTimeoutms(&timer, 1000), 0);
    frozen_ms += 1;
    EXPECT_EQ(osTimeoutms(&timer, 1000), 1);
    frozen = false;
}

TEST(TickWrap, ResendFallsDueOneResponseTimeAfterTheSendAcrossTheWrap)
{
    sim target;
    sim_config cfg;
    cfg.gap_us = 20000;
    cfg.drop.on = {1};
    std::string error;
    ASSERT_TRUE(simStart(&target, cfg, &error)) << error;

    rig r;
    rigSetUp(&r, std::vector<uint8_t>(100, 0x5A), target.port.c_str());
    shift_ms = int64_t{0x100000000} - 300 - real_ms() % int64_t{0x100000000}; // wraps in 0.3 s
    ASSERT_EQ(rigRun(&r, std::chrono::seconds(60)), STATE_COMPLETE);
    serClose(&r.rec.h_port);
    simStop(&target);

    auto log = simLog(&target);
    ASSERT_GE(log.size(), 2u);
    ASSERT_EQ(log[0].raw, log[1].raw);
    double gap_s = double(log[1].t_us - log[0].t_us) / 1e6;
    EXPECT_GT(gap_s, 0.99);
    EXPECT_LT(gap_s, 2.5);
}

} // namespace

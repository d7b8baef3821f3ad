// The programming sequence against the simulated target on a real pseudo-terminal.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "tests/rig.h"
#include "tests/ui_record.h"
#include "tools/target_sim.h"

namespace
{

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x2545F491;
    for (auto &b : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

struct Block {
    uint32_t address, length;
    bool operator==(const Block &) const = default;
};

struct Engine : testing::Test {
    sim target;
    bool started = false;
    rig r;
    installer_t &rec = r.rec;
    std::vector<uint8_t> &image = r.image;
    T t = &rec;

    void SetUp() override
    {
        shown = {};
        rigSetUp(&r, {}, nullptr);
    }
    void TearDown() override
    {
        serClose(&rec.h_port);
        if (started)
            simStop(&target);
    }
    // A reply on a real line comes no sooner than the request took to go out; a pty delivers
    // at once. This keeps the reply clear of the purge that follows each send, however late
    // a loaded machine runs the tool.
    void start(sim_config cfg = {})
    {
        cfg.gap_us = 20000;
        std::string error;
        ASSERT_TRUE(simStart(&target, cfg, &error)) << error;
        started = true;
    }
    void use_image(size_t n) { rigSetUp(&r, pattern(n), target.port.c_str()); }
    state_t run() { return rigRun(&r, std::chrono::seconds(120)); }
    std::vector<sim_frame> frames(sim_kind kind)
    {
        std::vector<sim_frame> out;
        for (auto &f : simLog(&target))
            if (f.kind == kind)
                out.push_back(f);
        return out;
    }
    // The blocks as the target saw them from its first'th write on, a resent block counted once.
    std::vector<Block> blocks(size_t first = 0)
    {
        std::vector<Block> out;
        auto writes = frames(SIM_KIND_WRITE);
        for (size_t i = first; i < writes.size(); i++)
            if (out.empty() || !(out.back() == Block{writes[i].address, writes[i].length}))
                out.push_back({writes[i].address, writes[i].length});
        return out;
    }
    std::vector<Block> expected_blocks()
    {
        std::vector<Block> out;
        for (uint32_t off = 0; off < image.size(); off += 512)
            out.push_back({0x81000 + off, std::min<uint32_t>(512, uint32_t(image.size()) - off)});
        return out;
    }
    // A failed verification stays where it is: no reset, nothing more sent.
    void expect_failed_verification()
    {
        use_image(700);
        testing::internal::CaptureStdout();
        state_t end = run();
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(end, STATE_VERIFY_FAILED);
        EXPECT_EQ(shown.statuses.back(), "FAILED");
        EXPECT_NE(log.find("CRC FAIL\n"), std::string::npos);
        EXPECT_EQ(log.find("CRCs match"), std::string::npos);
        size_t heard = simLog(&target).size();
        for (int i = 0; i < 3; i++)
            do_program(t);
        EXPECT_EQ(simLog(&target).size(), heard);
        EXPECT_TRUE(frames(SIM_KIND_RESET).empty());
    }
};

TEST_F(Engine, WritesTheWholeImageVerifiesAndResets)
{
    start();
    use_image(29016);
    ASSERT_EQ(run(), STATE_COMPLETE);

    auto b = blocks();
    ASSERT_EQ(b.size(), 57u);
    EXPECT_EQ(b, expected_blocks());
    EXPECT_EQ(b.back().length, 344u);
    auto crcs = frames(SIM_KIND_RANGE_CRC);
    ASSERT_GE(crcs.size(), 1u);
    EXPECT_EQ(crcs[0].address, 0x81000u);
    EXPECT_EQ(crcs[0].length, 29016u);
    EXPECT_GE(frames(SIM_KIND_RESET).size(), 1u);
    EXPECT_EQ(simWritten(&target), image);
    EXPECT_EQ(shown.statuses.back(), "Programming Completed OK");
    EXPECT_EQ(shown.statuses.front(), "programming 0x81000");
}

TEST_F(Engine, ImageLengthsAtAndBelowTheBlockSize)
{
    start();
    for (size_t n : {size_t{1024}, size_t{100}, size_t{512}}) {
        SCOPED_TRACE(n);
        size_t before = frames(SIM_KIND_WRITE).size();
        use_image(n);
        ASSERT_EQ(run(), STATE_COMPLETE);
        serClose(&rec.h_port);
        EXPECT_EQ(blocks(before), expected_blocks()); // no empty block after a full one
        EXPECT_EQ(simMemory(&target, 0x81000, uint32_t(n)), image);
    }
}

TEST_F(Engine, LostRepliesAreResentUnchangedAndAdvanceOneBlock)
{
    sim_config cfg;
    cfg.drop.on = {2, 3, 4}; // the second block's first three replies are lost
    start(cfg);
    use_image(2048);
    ASSERT_EQ(run(), STATE_COMPLETE);

    auto writes = frames(SIM_KIND_WRITE);
    ASSERT_EQ(writes.size(), 4u + 3u);
    for (int i = 2; i <= 4; i++) {
        EXPECT_EQ(writes[i].raw, writes[1].raw) << "resend " << i;
        double gap_s = double(writes[i].t_us - writes[i - 1].t_us) / 1e6;
        EXPECT_GT(gap_s, 0.99) << "resent before the response time was up";
        EXPECT_LT(gap_s, 2.5);
    }
    EXPECT_EQ(writes[5].address, 0x81000u + 1024); // one block on, not four
    EXPECT_EQ(simWritten(&target), image);
}

TEST_F(Engine, CorruptSplitAndNoisyRepliesAreRetried)
{
    sim_config cfg;
    cfg.corrupt.on = {1};
    cfg.split.on = {3};
    cfg.noise.on = {4, 5};
    start(cfg);
    use_image(2048);
    ASSERT_EQ(run(), STATE_COMPLETE);
    EXPECT_EQ(blocks(), expected_blocks());
    EXPECT_EQ(simWritten(&target), image);
}

TEST_F(Engine, ExceptionReplyCountsAsAcknowledgement)
{
    sim_config cfg;
    cfg.exception.on = {1}; // the target refuses the first block but the tool moves on
    start(cfg);
    use_image(1024);
    EXPECT_EQ(run(), STATE_VERIFY_FAILED); // so the block is missing at verification
    auto writes = frames(SIM_KIND_WRITE);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].address, 0x81200u);
}

TEST_F(Engine, WrongRangeCrcFailsWithoutReset)
{
    sim_config cfg;
    cfg.wrong_crc.on = {1};
    start(cfg);
    expect_failed_verification();
}

// The target's CRC would sit in bytes 11 and 12; a shorter reply must not be judged by
// whatever an earlier frame left there.
TEST_F(Engine, RangeCrcReplyTooShortToCarryTheCrcFails)
{
    sim_config cfg;
    cfg.short_crc.on = {1};
    start(cfg);
    expect_failed_verification();
}

TEST_F(Engine, ConsoleLogOfAShortRun)
{
    start();
    use_image(600);
    testing::internal::CaptureStdout();
    ASSERT_EQ(run(), STATE_COMPLETE);
    std::string log = testing::internal::GetCapturedStdout();
    char crcs[80];
    unsigned c = crc_region(image.data(), 600);
    snprintf(crcs, sizeof crcs, "Remote CRC %#x\nLocal  CRC %#x\n", c, c);
    EXPECT_EQ(log, " . Opening serial port " + target.port +
                       " at 115200 baud\n"
                       "programming address 0x81000, block size 0x200, from image offset 0\n"
                       "frame length  523 bytes sent\n"
                       "frame length   11 bytes received & OK\n"
                       "programming address 0x81200, block size 0x58, from image offset 0x200\n"
                       "frame length   99 bytes sent\n"
                       "frame length   11 bytes received & OK\n"
                       "Verifying\n"
                       "frame length   13 bytes sent\n"
                       "frame length   15 bytes received & OK\n" +
                       crcs +
                       "CRCs match\n"
                       "Resetting target\n"
                       "frame length    5 bytes sent\n"
                       "frame length    5 bytes received & OK\n");
    EXPECT_EQ(shown.statuses,
              (std::vector<std::string>{"programming 0x81000", "programming 0x81200",
                                        "Verifying...", "Program Verified OK",
                                        "Resetting target...", "Programming Completed OK"}));
}

TEST(EngineStatus, LongTextsAreCutToTheField)
{
    shown = {};
    status("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(shown.statuses.back(), std::string(99, 'x'));
}

using EngineDeath = Engine;

TEST_F(EngineDeath, PortThatCannotBeOpenedIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the simulator runs a thread
    rec.port = "/dev/no-such-port";
    EXPECT_EXIT(prog_init(t), testing::ExitedWithCode(1),
                "\\[box: Terminate Program\\]\n\nAn Error has occurred as follows:\n {10}Unable "
                "to open serial port. In use already, or not present\nError number 2 "
                "reported\nNo such file or directory\n\n The program will now abort\n\n\n"
                "\\[beep 200 Hz\\]");

    start();
    ser_port held{};
    ASSERT_EQ(serOpen(&held, target.port.c_str()), 0);
    rec.port = target.port.c_str();
    EXPECT_EXIT(prog_init(t), testing::ExitedWithCode(1), "Unable to open serial port");
    serClose(&held);
}

} // namespace

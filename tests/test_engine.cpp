// The programming sequence against the simulated target on a real pseudo-terminal.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "tests/rig.h"
#include "tests/ui_record.h"
#include "tools/target_sim.h"

namespace
{

struct Engine : testing::Test {
    sim target;
    bool started = false;
    rig r;

    void TearDown() override { stop(); }
    void stop()
    {
        serClose(&r.rec.h_port);
        if (started)
            simStop(&target);
        started = false;
    }
    // A reply on a real line comes no sooner than the request took to go out, and an echo
    // while it does; a pty delivers at once, so the target paces both as a line would. Its
    // 20 ms keep the reply clear of the purge that follows each send, however late a loaded
    // machine runs the tool.
    void start(sim_config cfg)
    {
        stop();
        cfg.pace = true;
        cfg.gap_us = 20000;
        std::string error;
        ASSERT_TRUE(simStart(&target, cfg, &error)) << error;
        started = true;
    }
    // A run of an image against a new target; the state it ended in.
    state_t run(const sim_config &cfg, std::vector<uint8_t> image, std::string *console,
                bool fast = false)
    {
        start(cfg);
        rigSetUp(&r, std::move(image), target.port.c_str());
        shown.statuses.clear();
        testing::internal::CaptureStdout();
        const state_t end = rigRun(&r, std::chrono::seconds(120), fast);
        *console = testing::internal::GetCapturedStdout();
        serClose(&r.rec.h_port);
        return end;
    }
    // Every block once and in order, the memory equal to the image, the target's CRC on the
    // console, the reset last, and at most most_resends requests heard again.
    void expect_complete_run(const sim_config &cfg, std::vector<uint8_t> image, int most_resends,
                             bool fast = false)
    {
        const size_t n = image.size();
        SCOPED_TRACE(n);
        std::string console;
        ASSERT_EQ(run(cfg, std::move(image), &console, fast), STATE_COMPLETE);
        EXPECT_EQ(simMemory(&target, IMAGE_BASE_ADDRESS, uint32_t(n)), r.image);
        const std::vector<sim_frame> log = simLog(&target);
        uint32_t next = 0;
        int resends = 0;
        for (size_t i = 0; i < log.size(); i++) {
            const bool again = i > 0 && log[i].raw == log[i - 1].raw;
            resends += again;
            if (log[i].kind != SIM_KIND_WRITE || again)
                continue;
            EXPECT_EQ(log[i].address, IMAGE_BASE_ADDRESS + next);
            EXPECT_EQ(log[i].length, std::min<uint32_t>(MODBUS_PROG_BLOCKSIZE_MAX, n - next));
            next += log[i].length;
        }
        EXPECT_EQ(next, n);
        EXPECT_LE(resends, most_resends);
        EXPECT_EQ(log.back().kind, SIM_KIND_RESET);
        char crcs[64];
        const unsigned c = simCrc16(r.image.data(), n);
        snprintf(crcs, sizeof crcs, "Remote CRC %#x\nLocal  CRC %#x\nCRCs match\n", c, c);
        EXPECT_NE(console.find(crcs), std::string::npos) << console;
    }
    std::vector<sim_frame> writes()
    {
        std::vector<sim_frame> out;
        for (const sim_frame &f : simLog(&target))
            if (f.kind == SIM_KIND_WRITE)
                out.push_back(f);
        return out;
    }
};

// One block, a whole one (no empty block after it) and a short last one, on a clean line, on
// lines that echo every request (the reply right behind the echo, in the same burst, or in a
// later read), and with a device that acknowledges a block with the block itself: without
// echo its first copy may be an echo whose reply was lost, so that block goes out once more;
// behind an echo, the two copies of a whole block are more than a read's max_len.
TEST_F(Engine, EveryImageSizeCompletesOnEachKindOfLine)
{
    struct line {
        bool echo;
        int echo_gap_ms;
        bool full_ack;
        int most_resends;
    };
    for (const line &l :
         {line{false, -1, false, 0}, line{true, -1, false, 0}, line{true, 0, false, 0},
          line{true, 200, false, 0}, line{false, -1, true, 1}, line{true, -1, true, 0}}) {
        SCOPED_TRACE(testing::Message() << "echo " << l.echo << " gap " << l.echo_gap_ms
                                        << " full ack " << l.full_ack);
        sim_config cfg;
        cfg.echo.rate = l.echo ? 1 : 0;
        cfg.echo_gap_ms = l.echo_gap_ms;
        cfg.full_ack = l.full_ack;
        for (size_t n : {size_t{1}, size_t{512}, size_t{2000}})
            expect_complete_run(cfg, pattern(n), l.most_resends);
    }
}

// A request whose reply was lost goes out again unchanged once the response time is up. An
// echo is never the reply: before the line has shown that it echoes, a reply lost behind its
// echo costs one resend, as on a line without echo; after, a lone echo counts as nothing, nor
// does it with the stray bytes around it. A broken echo, or one cut short, is a corrupt reply.
TEST_F(Engine, LostRepliesAreResentOnTimeAndAnEchoIsNeverTheReply)
{
    sim_config cfg;
    cfg.echo.rate = 1;
    cfg.stray = 0x00;
    cfg.drop.on = {1, 3, 4};
    cfg.echo_corrupt.on = {6};
    cfg.echo_short.on = {8};
    expect_complete_run(cfg, pattern(3072), 5);
    const std::vector<sim_frame> w = writes();
    ASSERT_GE(w.size(), 5u);
    for (size_t i : {1, 3, 4}) {
        EXPECT_EQ(w[i].raw, w[i - 1].raw) << i;
        const double gap_s = double(w[i].t_us - w[i - 1].t_us) / 1e6;
        EXPECT_GT(gap_s, 0.99) << i;
        EXPECT_LT(gap_s, 2.5) << i;
    }
}

// A device that stays silent at first, as one powered or reset after Program is pressed: on a
// line that echoes, its echo comes back alone request after request, and must never count as
// the device's reply; every block is written once the device answers.
TEST_F(Engine, ADeviceThatAnswersLateGetsEveryBlockWithAndWithoutEcho)
{
    for (const auto &[echo, late_s] :
         {std::pair{true, 3}, std::pair{true, 8}, std::pair{false, 3}}) {
        SCOPED_TRACE(testing::Message() << "echo " << echo << " late " << late_s << " s");
        sim_config cfg;
        cfg.echo.rate = echo ? 1 : 0;
        cfg.late_ms = late_s * 1000;
        expect_complete_run(cfg, pattern(2000), late_s + 3);
        // Its first request came back alone at least twice: where the old rule took the echo
        // for a device that answers with a copy.
        EXPECT_GE(simCounts(&target).asleep, 2);
    }
}

// A bus without bias reads a stray byte as each driver turns on and off: ahead of and after
// every reply, and on a line that echoes around the echo too. The device answered every
// request, so no request goes out twice.
TEST_F(Engine, StrayBytesAroundEveryReplyAndEchoCostNoResend)
{
    for (const auto &[stray, echo] :
         {std::pair{0x00, false}, std::pair{0xFF, false}, std::pair{0x00, true}}) {
        SCOPED_TRACE(testing::Message() << "stray " << stray << " echo " << echo);
        sim_config cfg;
        cfg.stray = stray;
        cfg.echo.rate = echo ? 1 : 0;
        expect_complete_run(cfg, pattern(600), 0);
    }
}

// A USB adapter hands a reply longer than its 62-byte packets on with a hole of up to its
// latency timer (16 ms) before the last piece: a device that acknowledges a block with the
// whole block gets every block, behind an echo and without (where its first copy costs one
// resend, as on any line), with the reads serInit sets and with --fast's. (The Wine test runs
// the one left out here, without echo at the window's pace.)
TEST_F(Engine, AUsbAdaptersHoleInsideACopyAcknowledgementIsWaitedOver)
{
    for (const auto &[echo, fast] :
         {std::pair{true, false}, std::pair{false, true}, std::pair{true, true}}) {
        SCOPED_TRACE(testing::Message() << "echo " << echo << " fast " << fast);
        sim_config cfg;
        cfg.usb_ms = 16;
        cfg.full_ack = true;
        cfg.echo.rate = echo ? 1 : 0;
        expect_complete_run(cfg, pattern(512), echo ? 0 : 1, fast);
    }
}

// The console and the status field of a two-block run, the same on lines that echo: the
// console tells of the replies, never of the echoes.
TEST_F(Engine, ConsoleAndStatusOfAShortRunAlikeWithAndWithoutEcho)
{
    const std::vector<uint8_t> image = pattern(600);
    const unsigned c = simCrc16(image.data(), 600);
    char crcs[80];
    snprintf(crcs, sizeof crcs, "Remote CRC %#x\nLocal  CRC %#x\n", c, c);
    const std::string after_port =
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
        std::string(crcs) +
        "CRCs match\n"
        "Resetting target\n"
        "frame length    5 bytes sent\n"
        "frame length    5 bytes received & OK\n";
    const std::vector<std::string> statuses = {"programming 0x81000", "programming 0x81200",
                                               "Verifying...",        "Program Verified OK",
                                               "Resetting target...", "Programming Completed OK"};
    for (int echo_gap_ms : {-2, -1, 0, 200}) { // -2: no echo
        SCOPED_TRACE(echo_gap_ms);
        sim_config cfg;
        cfg.echo.rate = echo_gap_ms == -2 ? 0 : 1;
        cfg.echo_gap_ms = std::max(echo_gap_ms, -1);
        std::string console;
        ASSERT_EQ(run(cfg, image, &console), STATE_COMPLETE);
        EXPECT_EQ(console, " . Opening serial port " + target.port + after_port);
        EXPECT_EQ(shown.statuses, statuses);
    }
    status("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(shown.statuses.back(), std::string(99, 'x')) << "cut to the status field";
}

// Runs that must fail verification, without a reset: a wrong CRC, a reply too short to carry
// one (bytes 11 and 12 would hold what an earlier frame left there), and a target that refused
// a block with an exception reply, which acknowledges it all the same.
TEST_F(Engine, VerificationFailsOnAWrongOrMissingCrcOrARefusedBlock)
{
    for (int fault = 0; fault < 3; fault++) {
        SCOPED_TRACE(fault);
        sim_config cfg;
        (fault == 0 ? cfg.wrong_crc : fault == 1 ? cfg.short_crc : cfg.exception).on = {1};
        std::string console;
        EXPECT_EQ(run(cfg, pattern(700), &console), STATE_VERIFY_FAILED);
        EXPECT_EQ(simLog(&target).back().kind, SIM_KIND_RANGE_CRC);
        const std::vector<sim_frame> w = writes();
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[1].address, IMAGE_BASE_ADDRESS + MODBUS_PROG_BLOCKSIZE_MAX);
    }
}

// An image whose CRC-16 equals the range-CRC request's own CRC bytes: the target's reply then
// starts with the request's 13 bytes, and is still the reply on a line without echo.
TEST_F(Engine, ARangeCrcReplyThatStartsWithItsRequest)
{
    const size_t n = 40;
    std::vector<uint8_t> frame(MODBUS_FRAME_LENGTH_MAX);
    installer_t request{};
    request.buf = frame.data();
    request.node = MODBUS_NODE_DEFAULT;
    crc_block(&request, IMAGE_BASE_ADDRESS, int(n));
    std::vector<uint8_t> image = pattern(n);
    for (unsigned last = 0;
         crc_region(image.data(), int(n)) != unsigned(frame[11] << 8 | frame[12]); last++) {
        ASSERT_LT(last, 0x10000u);
        image[n - 2] = uint8_t(last), image[n - 1] = uint8_t(last >> 8);
    }
    expect_complete_run(sim_config{}, image, 0);
}

// A link left behind by a simulator that ended is taken over; a second simulator on the link of
// one that is running would cut the first off from its tool, and refuses.
TEST(Simulator, ASecondOneOnTheLinkOfARunningOneRefusesNamingIt)
{
    sim_config cfg;
    cfg.link = testing::TempDir() + "vek-sim-link-" + std::to_string(getpid());
    ASSERT_EQ(symlink("/dev/pts/gone", cfg.link.c_str()), 0);
    sim first, second;
    std::string error;
    ASSERT_TRUE(simStart(&first, cfg, &error)) << error;
    EXPECT_FALSE(simStart(&second, cfg, &error));
    EXPECT_EQ(error.rfind(cfg.link + ": in use by a running simulator on " + first.port, 0), 0u)
        << error;
    simStop(&first);
}

TEST(EngineDeathTest, APortThatCannotBeOpenedIsFatal)
{
    rig r;
    rigSetUp(&r, {}, "/dev/no-such-port");
    EXPECT_EXIT(prog_init(&r.rec), testing::ExitedWithCode(1),
                "\\[box: Terminate Program\\]\n\nAn Error has occurred as follows:\n {10}Unable "
                "to open serial port. In use already, or not present\nError number 2 "
                "reported\nNo such file or directory\n\n The program will now abort\n\n\n"
                "\\[beep 200 Hz\\]");
}

} // namespace

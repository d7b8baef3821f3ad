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
    void TearDown() override { stop(); }
    void stop()
    {
        serClose(&rec.h_port);
        if (started)
            simStop(&target);
        started = false;
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
    void use_image(std::vector<uint8_t> bytes) { rigSetUp(&r, bytes, target.port.c_str()); }
    state_t run() { return rigRun(&r, std::chrono::seconds(120)); }
    std::vector<sim_frame> frames(sim_kind kind)
    {
        std::vector<sim_frame> out;
        for (auto &f : simLog(&target))
            if (f.kind == kind)
                out.push_back(f);
        return out;
    }
    // Requests heard again right after themselves.
    int resends()
    {
        auto log = simLog(&target);
        int n = 0;
        for (size_t i = 1; i < log.size(); i++)
            n += log[i].raw == log[i - 1].raw;
        return n;
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
        for (uint32_t off = 0; off < image.size(); off += MODBUS_PROG_BLOCKSIZE_MAX)
            out.push_back(
                {IMAGE_BASE_ADDRESS + off,
                 std::min<uint32_t>(MODBUS_PROG_BLOCKSIZE_MAX, uint32_t(image.size()) - off)});
        return out;
    }
    // A whole run of n bytes: every block once and in order, the memory equal to the image.
    void expect_complete_run(size_t n, int most_resends = 0)
    {
        size_t before = frames(SIM_KIND_WRITE).size();
        use_image(pattern(n));
        ASSERT_EQ(run(), STATE_COMPLETE);
        serClose(&rec.h_port);
        EXPECT_EQ(blocks(before), expected_blocks());
        EXPECT_EQ(simMemory(&target, IMAGE_BASE_ADDRESS, uint32_t(n)), image);
        EXPECT_LE(resends(), most_resends);
    }
    // A failed verification stays where it is: no reset, nothing more sent.
    void expect_failed_verification()
    {
        use_image(pattern(700));
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
    std::string console_of_a_short_run()
    {
        use_image(pattern(600));
        testing::internal::CaptureStdout();
        EXPECT_EQ(run(), STATE_COMPLETE);
        serClose(&rec.h_port);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Engine, WritesTheWholeImageVerifiesAndResets)
{
    start();
    expect_complete_run(29016);
    auto b = blocks();
    ASSERT_EQ(b.size(), 57u);
    EXPECT_EQ(b.back().length, 344u);
    auto crcs = frames(SIM_KIND_RANGE_CRC);
    ASSERT_GE(crcs.size(), 1u);
    EXPECT_EQ(crcs[0].address, IMAGE_BASE_ADDRESS);
    EXPECT_EQ(crcs[0].length, 29016u);
    EXPECT_GE(frames(SIM_KIND_RESET).size(), 1u);
    EXPECT_EQ(shown.statuses.back(), "Programming Completed OK");
    EXPECT_EQ(shown.statuses.front(), "programming 0x81000");
    // No empty block after a full one; a short image is one block of its length.
    for (size_t n : {size_t{1024}, size_t{100}, size_t{512}})
        expect_complete_run(n);
}

TEST_F(Engine, LostRepliesAreResentUnchangedAndAdvanceOneBlock)
{
    sim_config cfg;
    cfg.drop.on = {2, 3, 4}; // the second block's first three replies are lost
    start(cfg);
    expect_complete_run(2048, 3);

    auto writes = frames(SIM_KIND_WRITE);
    ASSERT_EQ(writes.size(), 4u + 3u);
    for (int i = 2; i <= 4; i++) {
        EXPECT_EQ(writes[i].raw, writes[1].raw) << "resend " << i;
        double gap_s = double(writes[i].t_us - writes[i - 1].t_us) / 1e6;
        EXPECT_GT(gap_s, 0.99) << "resent before the response time was up";
        EXPECT_LT(gap_s, 2.5);
    }
    EXPECT_EQ(writes[5].address, IMAGE_BASE_ADDRESS + 1024); // one block on, not four
}

TEST_F(Engine, ExceptionReplyCountsAsAcknowledgement)
{
    sim_config cfg;
    cfg.exception.on = {1}; // the target refuses the first block but the tool moves on
    start(cfg);
    use_image(pattern(1024));
    EXPECT_EQ(run(), STATE_VERIFY_FAILED); // so the block is missing at verification
    auto writes = frames(SIM_KIND_WRITE);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].address, 0x81200u);
}

// A wrong CRC, or a reply too short to carry one (bytes 11 and 12 would hold whatever an
// earlier frame left there), fails the verification.
TEST_F(Engine, WrongOrMissingRangeCrcFailsWithoutReset)
{
    for (bool wrong : {true, false}) {
        SCOPED_TRACE(wrong ? "wrong" : "short");
        sim_config cfg;
        (wrong ? cfg.wrong_crc : cfg.short_crc).on = {1};
        start(cfg);
        expect_failed_verification();
        stop();
    }
}

TEST_F(Engine, ConsoleLogOfAShortRun)
{
    start();
    std::string log = console_of_a_short_run();
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
    status("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(shown.statuses.back(), std::string(99, 'x')) << "cut to the status field";
}

// On a line that echoes every request, however the reply follows the echo, every image size
// completes without a resend, and the console tells of the replies, not of the echoes.
TEST_F(Engine, EchoOnTheLineChangesNothingTheOperatorSees)
{
    sim_config plain;
    start(plain);
    const std::string without = console_of_a_short_run();
    stop();
    for (int gap_ms : {-1, 0, 200}) {
        SCOPED_TRACE(gap_ms);
        sim_config cfg;
        cfg.echo.rate = 1;
        cfg.echo_gap_ms = gap_ms;
        start(cfg);
        EXPECT_EQ(console_of_a_short_run(), without.substr(0, without.find(" . Opening")) +
                                                " . Opening serial port " + target.port +
                                                without.substr(without.find(" at 115200")));
        for (size_t n : {size_t{1}, size_t{511}, size_t{512}, size_t{1536}, size_t{2000}})
            expect_complete_run(n);
        EXPECT_EQ(simCounts(&target).echoes, int(simLog(&target).size()));
        stop();
    }
}

// Once the line has shown that it echoes, an echo is never taken for the reply: a device that
// says nothing after it gets the request again after the response time. Before that, a first
// reply lost behind its echo costs one resend, as on a line without echo. A broken echo, or one
// cut short, is a corrupt reply.
TEST_F(Engine, AnEchoIsNeverTheReply)
{
    sim_config cfg;
    cfg.echo.rate = 1;
    cfg.drop.on = {1, 3, 4};
    cfg.echo_corrupt.on = {6};
    cfg.echo_short.on = {8};
    start(cfg);
    expect_complete_run(3072, 5);
    auto writes = frames(SIM_KIND_WRITE);
    ASSERT_GE(writes.size(), 5u);
    EXPECT_EQ(writes[1].raw, writes[0].raw);
    EXPECT_EQ(writes[3].raw, writes[2].raw);
    EXPECT_GT(double(writes[3].t_us - writes[2].t_us) / 1e6, 0.99);
}

// The CRC-16 of an image of n bytes made to equal the range-CRC request's own CRC bytes: the
// reply then starts with the request's 13 bytes.
std::vector<uint8_t> imageWhoseCrcCopiesTheRequest(size_t n)
{
    std::vector<uint8_t> b(MODBUS_FRAME_LENGTH_MAX);
    installer_t frame{};
    frame.buf = b.data();
    frame.node = MODBUS_NODE_DEFAULT;
    crc_block(&frame, IMAGE_BASE_ADDRESS, int(n));
    const unsigned want = b[11] << 8 | b[12];
    std::vector<uint8_t> image = pattern(n);
    for (unsigned last = 0; last < 0x10000; last++) {
        image[n - 2] = uint8_t(last), image[n - 1] = uint8_t(last >> 8);
        if (crc_region(image.data(), int(n)) == want)
            return image;
    }
    return {};
}

// Without echo, replies that look like the request are replies: a device that acknowledges a
// block with the block itself, the reset's acknowledgement (a copy by protocol), and a
// range-CRC reply that starts with its request.
TEST_F(Engine, RepliesThatCopyTheRequestOnALineWithoutEcho)
{
    sim_config cfg;
    cfg.full_ack = true;
    start(cfg);
    // The first copy may be an echo whose reply was lost: the block goes out once more.
    expect_complete_run(1500, 1);
    stop();
    start();
    const std::vector<uint8_t> copying = imageWhoseCrcCopiesTheRequest(40);
    ASSERT_FALSE(copying.empty());
    use_image(copying);
    ASSERT_EQ(run(), STATE_COMPLETE);
    const auto crc = frames(SIM_KIND_RANGE_CRC);
    ASSERT_EQ(crc.size(), 1u);
    EXPECT_EQ(resends(), 0);
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

#include <array>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/modbus.h"

namespace
{

using bytes = std::vector<uint8_t>;

struct Frame : testing::Test {
    std::array<uint8_t, MODBUS_FRAME_LENGTH_MAX> buf{};
    installer_t rec{};
    T t = &rec;

    void SetUp() override
    {
        rec.buf = buf.data();
        rec.max = MODBUS_FRAME_LENGTH_MAX;
        rec.node = MODBUS_NODE_DEFAULT;
    }
    bytes sent() const { return {buf.begin(), buf.begin() + rec.len}; }
    // A received frame: its bytes, and the CRC made valid when asked.
    void receive(bytes frame, bool valid_crc)
    {
        std::copy(frame.begin(), frame.end(), buf.begin());
        rec.len = static_cast<int32_t>(frame.size());
        if (valid_crc)
            checksum_set(t);
    }
};

TEST(Crc, CheckValueAndEmptyRegion)
{
    EXPECT_EQ(crc_region("123456789", 9), 0x4B37u);
    EXPECT_EQ(crc_region(nullptr, 0), 0xFFFFu);
}

TEST_F(Frame, ResetAndRangeCrcRequestsByteForByte)
{
    reset(t);
    EXPECT_EQ(sent(), (bytes{0x04, 0x2B, 0xF1, 0xEF, 0x75}));
    crc_block(t, 0x81000, 29016);
    EXPECT_EQ(sent(), (bytes{0x04, 0x2B, 0xF0, 0x00, 0x08, 0x10, 0x00, 0x00, 0x00, 0x71, 0x58, 0xC9,
                             0xA5}));
}

TEST_F(Frame, FullBlockMakesA523ByteFrame)
{
    bytes block(MODBUS_PROG_BLOCKSIZE_MAX);
    for (size_t n = 0; n < block.size(); n++)
        block[n] = static_cast<uint8_t>(n * 7 + 1);
    program_block(t, 0x81200, MODBUS_PROG_BLOCKSIZE_MAX, block.data());
    ASSERT_EQ(rec.len, 523);
    bytes want = {0x04, 0x2B, 0xEF, 0x00, 0x08, 0x12, 0x00, 0x02, 0x00};
    want.insert(want.end(), block.begin(), block.end());
    const unsigned c = crc_region(want.data(), 521);
    want.push_back(static_cast<uint8_t>(c));
    want.push_back(static_cast<uint8_t>(c >> 8));
    EXPECT_EQ(sent(), want);
}

using FrameDeath = Frame;

TEST_F(FrameDeath, BlockLengthsOutsideOneTo512AreRefused)
{
    bytes block(600);
    EXPECT_DEATH(program_block(t, 0x81000, 0, block.data()),
                 "local_memory_address!=0 && block_length>0 && block_length <= "
                 "MODBUS_PROG_BLOCKSIZE_MAX");
    EXPECT_DEATH(program_block(t, 0x81000, 513, block.data()), "MODBUS_PROG_BLOCKSIZE_MAX");
    EXPECT_DEATH(program_block(t, 0x81000, 16, nullptr), "local_memory_address");
}

TEST_F(Frame, OkJudgesByLengthAndCrcOnly)
{
    // Three bytes or fewer cannot carry a CRC: refused, the status untouched.
    rec.status = FRAME_EMPTY;
    for (int len = 0; len <= 3; len++) {
        receive({0x04, 0x2B, 0xF1}, false);
        rec.len = len;
        EXPECT_FALSE(ok(t)) << len;
    }
    EXPECT_EQ(rec.status, FRAME_EMPTY);
    // Nor is anything read past the buffer.
    for (int32_t len : {rec.max + 1, -5}) {
        rec.len = len;
        EXPECT_FALSE(ok(t)) << len;
    }

    receive({0x04, 0x2B, 0, 0}, true); // the shortest frame there is
    EXPECT_TRUE(ok(t));
    buf[3] ^= 0x01;
    EXPECT_FALSE(ok(t));
    EXPECT_EQ(rec.status, FRAME_RECV_CHECKSUM_ERROR);

    for (uint8_t address : {0x00, 0x04, 0x11, 0xFF}) {
        for (uint8_t function : {0x03, 0x2B, 0xAB}) {
            receive({address, function, 0x02, 0, 0}, true);
            EXPECT_TRUE(ok(t)) << int(address) << " " << int(function);
        }
    }
}

} // namespace

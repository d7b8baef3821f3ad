#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/modbus.h"

namespace
{

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
    std::vector<uint8_t> bytes() const { return {buf.begin(), buf.begin() + rec.len}; }
    void receive(std::vector<uint8_t> frame)
    {
        std::copy(frame.begin(), frame.end(), buf.begin());
        rec.len = static_cast<int32_t>(frame.size());
    }
};

TEST(Crc, CheckValueAndEmptyRegion)
{
    EXPECT_EQ(crc_region("123456789", 9), 0x4B37u);
    EXPECT_EQ(crc_region(nullptr, 0), 0xFFFFu);
}

TEST(ByteOrder, FieldsAreBigEndianAndCutToWidth)
{
    uint8_t b[4] = {};
    bitWr16BE(b, 0x12345);
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 0x45);
    EXPECT_EQ(bitRd16BE(b), 0x2345u);
    bitWr32BE(b, 0x81000);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0x00, 0x08, 0x10, 0x00}));
    EXPECT_EQ(bitRd32BE(b), 0x81000u);
    const uint8_t le[] = {0xEF, 0x75};
    EXPECT_EQ(get16_le(le), 0x75EFu);
}

TEST_F(Frame, ResetRequestEndsWithCrcLowByteFirst)
{
    reset(t);
    EXPECT_EQ(bytes(), (std::vector<uint8_t>{0x04, 0x2B, 0xF1, 0xEF, 0x75}));
    EXPECT_EQ(crc(t), 0x75EFu);
}

TEST_F(Frame, RangeCrcRequestForTheWholeImage)
{
    crc_block(t, 0x81000, 29016);
    EXPECT_EQ(bytes(), (std::vector<uint8_t>{0x04, 0x2B, 0xF0, 0x00, 0x08, 0x10, 0x00, 0x00, 0x00,
                                             0x71, 0x58, 0xC9, 0xA5}));
}

TEST_F(Frame, NodeIsCutToItsLowByte)
{
    rec.node = 0x104;
    reset(t);
    EXPECT_EQ(buf[0], 0x04);
}

TEST_F(Frame, FullBlockMakesA523ByteFrame)
{
    std::vector<uint8_t> block(MODBUS_PROG_BLOCKSIZE_MAX);
    for (size_t n = 0; n < block.size(); n++)
        block[n] = static_cast<uint8_t>(n * 7 + 1);
    program_block(t, 0x81200, MODBUS_PROG_BLOCKSIZE_MAX, block.data());
    ASSERT_EQ(rec.len, 523);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 9),
              (std::vector<uint8_t>{0x04, 0x2B, 0xEF, 0x00, 0x08, 0x12, 0x00, 0x02, 0x00}));
    EXPECT_EQ(0, memcmp(buf.data() + 9, block.data(), block.size()));
    EXPECT_EQ(get16_le(buf.data() + 521), crc_region(buf.data(), 521));
    EXPECT_TRUE(ok(t));
}

TEST_F(Frame, OneByteBlockMakesA12ByteFrame)
{
    const uint8_t one = 0x5A;
    program_block(t, 0x81000, 1, &one);
    EXPECT_EQ(rec.len, 12);
    EXPECT_EQ(bitRd16BE(buf.data() + 7), 1u);
    EXPECT_EQ(buf[9], 0x5A);
}

TEST_F(Frame, PlainRegisterRequests)
{
    read_registers(t, 0x1234, 2);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 6),
              (std::vector<uint8_t>{0x04, 0x04, 0x12, 0x34, 0x00, 0x02}));
    EXPECT_EQ(rec.len, 8);
    EXPECT_TRUE(ok(t));
    write_register(t, 7, -1);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 6),
              (std::vector<uint8_t>{0x04, 0x06, 0x00, 0x07, 0xFF, 0xFF}));
    EXPECT_TRUE(ok(t));
}

using FrameDeath = Frame;

TEST_F(FrameDeath, BlockLengthsOutsideOneTo512AreRefused)
{
    std::vector<uint8_t> block(600);
    EXPECT_DEATH(program_block(t, 0x81000, 0, block.data()), "block_length > 0");
    EXPECT_DEATH(program_block(t, 0x81000, 513, block.data()), "MODBUS_PROG_BLOCKSIZE_MAX");
    EXPECT_DEATH(program_block(t, 0x81000, 16, nullptr), "local_memory_address");
}

TEST_F(Frame, OkRefusesFramesOfThreeBytesOrFewerWithoutTouchingStatus)
{
    rec.status = FRAME_EMPTY;
    for (int len = 0; len <= 3; len++) {
        receive({0x04, 0x2B, 0xF1});
        rec.len = len;
        EXPECT_FALSE(ok(t)) << len;
    }
    EXPECT_EQ(rec.status, FRAME_EMPTY);
}

TEST_F(Frame, OkJudgesAFourByteFrameByItsCrc)
{
    unsigned c = crc_region("\x04\x2B", 2);
    receive({0x04, 0x2B, static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    EXPECT_TRUE(ok(t));
    buf[3] ^= 0x01;
    EXPECT_FALSE(ok(t));
    EXPECT_EQ(rec.status, FRAME_RECV_CHECKSUM_ERROR);
}

TEST_F(Frame, OkAcceptsAnyAddressAndFunctionWithAValidCrc)
{
    for (uint8_t address : {0x00, 0x04, 0x11, 0xFF}) {
        for (uint8_t function : {0x03, 0x2B, 0xAB}) {
            buf[0] = address;
            buf[1] = function;
            buf[2] = 0x02;
            rec.len = 5;
            checksum_set(t);
            EXPECT_TRUE(ok(t)) << int(address) << " " << int(function);
        }
    }
}

TEST_F(Frame, OkNeverReadsPastTheBuffer)
{
    reset(t);
    rec.len = rec.max + 1;
    EXPECT_FALSE(ok(t));
    rec.len = -5;
    EXPECT_FALSE(ok(t));
}

} // namespace

#include <vector>

#include <gtest/gtest.h>

#include "modbus/modbus.h"

namespace
{

using bytes = std::vector<uint8_t>;

struct Frame : testing::Test {
    bytes buf = bytes(MODBUS_FRAME_LENGTH_MAX);
    installer_t rec{};

    void SetUp() override
    {
        rec.buf = buf.data();
        rec.max = MODBUS_FRAME_LENGTH_MAX;
        rec.node = MODBUS_NODE_DEFAULT;
    }
    bytes sent() const { return {buf.begin(), buf.begin() + rec.len}; }
    // body, then its CRC: low byte first
    static bytes framed(bytes body)
    {
        const unsigned c = crc_region(body.data(), static_cast<int>(body.size()));
        body.insert(body.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        return body;
    }
};

// The three requests as a target reads them: node, function 43, MEI type, big-endian fields.
TEST_F(Frame, RequestsByteForByte)
{
    EXPECT_EQ(crc_region("123456789", 9), 0x4B37u); // the CRC-16/MODBUS check value
    reset(&rec);
    EXPECT_EQ(sent(), (bytes{0x04, 0x2B, 0xF1, 0xEF, 0x75}));
    crc_block(&rec, 0x81000, 29016);
    EXPECT_EQ(sent(), (bytes{0x04, 0x2B, 0xF0, 0x00, 0x08, 0x10, 0x00, 0x00, 0x00, 0x71, 0x58, 0xC9,
                             0xA5}));
    const bytes block(258, 0x5A);
    program_block(&rec, 0x81200, 258, block.data());
    bytes want = {0x04, 0x2B, 0xEF, 0x00, 0x08, 0x12, 0x00, 0x01, 0x02};
    want.resize(want.size() + block.size(), 0x5A);
    EXPECT_EQ(sent(), framed(want));
}

// ok() judges by length and CRC alone: any slave and function (an exception reply too), nothing
// too short to carry a CRC, nothing longer than the buffer.
TEST_F(Frame, OkJudgesByLengthAndCrcOnly)
{
    bytes broken = framed({0x04, 0x2B, 0x00});
    broken[2] ^= 0x01;
    const std::vector<std::pair<bytes, int>> frames = {{framed({0x04}), 0},
                                                       {broken, 0},
                                                       {framed({0x04, 0x2B}), 1},
                                                       {framed({0x11, 0xAB, 0x02}), 1}};
    for (const auto &[frame, good] : frames) {
        std::copy(frame.begin(), frame.end(), buf.begin());
        rec.len = static_cast<int32_t>(frame.size());
        EXPECT_EQ(ok(&rec), good) << frame.size();
    }
    rec.max = 4; // the last, good frame as if the buffer held only 4 of its 5 bytes
    rec.len = 5;
    EXPECT_EQ(ok(&rec), 0);
}

} // namespace

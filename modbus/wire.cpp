#include "modbus/wire.h"

void bitWr16BE(void *p, unsigned value)
{
    auto *b = static_cast<uint8_t *>(p);
    b[0] = static_cast<uint8_t>(value >> 8);
    b[1] = static_cast<uint8_t>(value);
}

unsigned bitRd16BE(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return b[0] * 256u + b[1];
}

void bitWr32BE(void *p, uint32_t value)
{
    auto *b = static_cast<uint8_t *>(p);
    b[0] = static_cast<uint8_t>(value >> 24);
    b[1] = static_cast<uint8_t>(value >> 16);
    b[2] = static_cast<uint8_t>(value >> 8);
    b[3] = static_cast<uint8_t>(value);
}

uint32_t bitRd32BE(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

unsigned get16_le(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return b[0] + b[1] * 256u;
}

unsigned crc_region(const void *address, int length)
{
    return crc_more(0xFFFF, address, length);
}

// Bit by bit: frames are short and the image's CRC is taken once a run, so a table buys
// nothing.
unsigned crc_more(unsigned crc, const void *address, int length)
{
    const auto *b = static_cast<const uint8_t *>(address);
    unsigned c = crc;
    for (int n = 0; n < length; n++) {
        c ^= b[n];
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return c & 0xFFFF;
}

bool crc_frame(const uint8_t *b, int n)
{
    return n > 3 && crc_region(b, n - 2) == get16_le(b + n - 2);
}

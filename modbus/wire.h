// The wire's byte order and its checksum: data fields are big-endian, the trailing CRC-16 is
// little-endian. Nothing here knows a frame or a record.
#pragma once

#include <cstdint>

void bitWr16BE(void *p, unsigned value);
unsigned bitRd16BE(const void *p);
void bitWr32BE(void *p, uint32_t value);
uint32_t bitRd32BE(const void *p);
unsigned get16_le(const void *p);

// The Modbus CRC-16 of length bytes at address.
unsigned crc_region(const void *address, int length);
// The CRC-16 of the bytes that gave crc followed by length more at address: a frame's CRC
// taken up to each of several ends without going over its start again.
unsigned crc_more(unsigned crc, const void *address, int length);

// A whole Modbus frame of n bytes: more than address, function and CRC, and the CRC right.
bool crc_frame(const uint8_t *b, int n);

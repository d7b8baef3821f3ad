// Modbus RTU frames of the programming protocol, built and judged in place in the record's
// buffer. Builders fill it from byte 0, set its length and append the CRC.
#pragma once

#include <cstdint>

#include "engine/record.h"
#include "modbus/device.h"
#include "modbus/wire.h"

unsigned crc(T t);
void checksum_set(T t);
int ok(T t);
// The target's CRC-16 of the range asked for, carried by a range-CRC reply in bytes 11 and 12
// ahead of the frame's own CRC: 1 with it in *value, 0 when the reply in the buffer is too
// short to carry it (bytes it did not reach hold what earlier frames left there).
int remote_crc(T t, unsigned *value);

void program_block(T t, unsigned target_memory_address, int block_length,
                   const uint8_t *local_memory_address);
void crc_block(T t, unsigned target_memory_address, int block_length);
void reset(T t);
void read_registers(T t, unsigned start, unsigned n);
void write_register(T t, unsigned id, int value);

// Modbus RTU frames of the programming protocol, the CRC-16 and the byte-order helpers.
// Builders fill the record's buffer from byte 0, set its length and append the CRC.
#pragma once

#include <cstdint>

#include "engine/installer.h"

enum {
    MB_FN_READ_COILS = 1,
    MB_FN_READ_DISCRETE_INPUTS = 2,
    MB_FN_READ_HOLDING_REGISTERS = 3,
    MB_FN_READ_INPUT_REGISTERS = 4,
    MB_FN_WRITE_SINGLE_COIL = 5,
    MB_FN_WRITE_SINGLE_REGISTER = 6,
    MB_FN_READ_EXCEPTION_STATUS = 7,
    MB_FN_DIAGNOSTIC = 8,
    MB_FN_GET_COMM_EVENT_COUNTER = 11,
    MB_FN_GET_COMM_EVENT_LOG = 12,
    MB_FN_WRITE_MULTIPLE_COILS = 15,
    MB_FN_WRITE_MULTIPLE_REGISTERS = 16,
    MB_FN_REPORT_SLAVE_ID = 17,
    MB_FN_READ_FILE_RECORD = 20,
    MB_FN_WRITE_FILE_RECORD = 21,
    MB_FN_MASK_WRITE_REGISTER = 22,
    MB_FN_READ_WRITE_MULTIPLE_REGISTERS = 23,
    MB_FN_READ_FIFO_QUEUE = 24,
    MB_FN_ENCAPSULATED_INTERFACE_TRANSPORT = 43,
};

// Data fields on the wire are big-endian; only the trailing CRC is little-endian.
void bitWr16BE(void *p, unsigned value);
unsigned bitRd16BE(const void *p);
void bitWr32BE(void *p, uint32_t value);
uint32_t bitRd32BE(const void *p);
unsigned get16_le(const void *p);

unsigned crc_region(const void *address, int length);
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

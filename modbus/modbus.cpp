#include "modbus/modbus.h"

#include <cassert>
#include <cstring>

unsigned crc(T t)
{
    return crc_region(t->buf, t->len - 2);
}

void checksum_set(T t)
{
    unsigned c = crc(t);
    t->buf[t->len - 2] = static_cast<uint8_t>(c);
    t->buf[t->len - 1] = static_cast<uint8_t>(c >> 8);
}

int ok(T t)
{
    if (t->len <= 3 || t->len > t->max)
        return 0;
    if (crc(t) == get16_le(t->buf + t->len - 2))
        return 1;
    t->status = FRAME_RECV_CHECKSUM_ERROR;
    return 0;
}

int remote_crc(T t, unsigned *value)
{
    if (t->len < 15)
        return 0;
    *value = bitRd16BE(t->buf + 11);
    return 1;
}

static void header(T t, unsigned mei_type)
{
    t->buf[0] = static_cast<uint8_t>(t->node);
    t->buf[1] = MB_FN_ENCAPSULATED_INTERFACE_TRANSPORT;
    t->buf[2] = static_cast<uint8_t>(mei_type);
}

void program_block(T t, unsigned target_memory_address, int block_length,
                   const uint8_t *local_memory_address)
{
    // The expression is also the text a failed check reports; keep it as written.
    // clang-format off
    assert(local_memory_address!=0 && block_length>0 && block_length <= MODBUS_PROG_BLOCKSIZE_MAX);
    // clang-format on
    header(t, MEI_TYPE_PROG);
    bitWr32BE(t->buf + 3, target_memory_address);
    bitWr16BE(t->buf + 7, static_cast<unsigned>(block_length));
    memcpy(t->buf + 9, local_memory_address, static_cast<size_t>(block_length));
    t->len = block_length + 11;
    assert(t->len <= MODBUS_FRAME_LENGTH_MAX);
    checksum_set(t);
}

void crc_block(T t, unsigned target_memory_address, int block_length)
{
    header(t, MEI_TYPE_PROG_VERIFY);
    bitWr32BE(t->buf + 3, target_memory_address);
    bitWr32BE(t->buf + 7, static_cast<uint32_t>(block_length));
    t->len = 13;
    checksum_set(t);
}

void reset(T t)
{
    header(t, MEI_TYPE_PROG_RESET);
    t->len = 5;
    checksum_set(t);
}

void read_registers(T t, unsigned start, unsigned n)
{
    t->buf[0] = static_cast<uint8_t>(t->node);
    t->buf[1] = MB_FN_READ_INPUT_REGISTERS;
    bitWr16BE(t->buf + 2, start);
    bitWr16BE(t->buf + 4, n);
    t->len = 8;
    checksum_set(t);
}

void write_register(T t, unsigned id, int value)
{
    t->buf[0] = static_cast<uint8_t>(t->node);
    t->buf[1] = MB_FN_WRITE_SINGLE_REGISTER;
    bitWr16BE(t->buf + 2, id);
    bitWr16BE(t->buf + 4, static_cast<unsigned>(value));
    t->len = 8;
    checksum_set(t);
}

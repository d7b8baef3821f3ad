// What the target device speaks and how its line is set up: every file that builds, sends,
// reads or judges a frame takes these from here.
#pragma once

#include <cstdint>

// Standard Modbus function codes; programming uses function 43 alone.
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

// Replies: a device answers with its address and the request's function, or with that function
// and this bit set and an exception code: address, function, code and CRC.
enum {
    MB_EXCEPTION = 0x80,
    MB_EXCEPTION_LENGTH = 5,
    MB_MEI_REPLY_MIN = 5, // the shortest answer to function 43: address, 43, MEI type, CRC
};

enum {
    MODBUS_NODE_DEFAULT = 4,         // the device's slave address
    MEI_TYPE_PROG = 239,             // write a block of the image
    MEI_TYPE_PROG_VERIFY = 240,      // the CRC-16 of a memory range
    MEI_TYPE_PROG_RESET = 241,       // reset
    MODBUS_PROG_BLOCKSIZE_MAX = 512, // image bytes in one write request (523 bytes in all)
    MODBUS_FRAME_LENGTH_MAX = 1040,  // the frame buffer, and the most one read returns
    SERIAL_READ_TIMEOUT = 10,        // ms of silence after a byte that end a read
    MODBUS_RESPONSE_TIMEOUT = 1000,  // ms after a request before it is sent again
};

// Where image byte 0 goes in the device.
inline constexpr uint32_t IMAGE_BASE_ADDRESS = 0x81000;

// The line: 115200 baud, 8 data bits, even parity, 1 stop bit, no flow control.
inline constexpr uint32_t LINE_BAUD = 115200;
inline constexpr int LINE_DATA_BITS = 8;
inline constexpr char LINE_PARITY = 'E';
inline constexpr int LINE_STOP_BITS = 1;
// Bits a character takes on the wire: start, data, parity, stop.
inline constexpr int LINE_BITS_PER_CHAR = 1 + LINE_DATA_BITS + 1 + LINE_STOP_BITS;

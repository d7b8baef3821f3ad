// The programming record and the sequence that moves the image into the target.
#pragma once

#include <cstdint>

#include "serial/ser.h"

enum {
    COM_MAX = 999,
    SERIAL_READ_TIMEOUT = 10,
    MODBUS_FRAME_LENGTH_MAX = 1040,
    MODBUS_RESPONSE_TIMEOUT = 1000,
    MODBUS_NODE_DEFAULT = 4,
    MODBUS_PROG_BLOCKSIZE_MAX = 512,
    WINDOWS_TIMER_PERIOD = 100,
    MEI_TYPE_PROG = 239,
    MEI_TYPE_PROG_VERIFY = 240,
    MEI_TYPE_PROG_RESET = 241,
};

enum state_t {
    STATE_IDLE = 0,
    STATE_PROG_INIT = 1,
    STATE_PROG = 2,
    STATE_VERIFY = 3,
    STATE_VERIFY_FAILED = 4,
    STATE_TARGET_RESET = 5,
    STATE_COMPLETE = 6,
};

enum frame_status_t {
    FRAME_EMPTY = 0,
    FRAME_RECV_OK = 1,
    FRAME_RECV_OVERRUN = 2,
    FRAME_RECV_TIMEOUT = 3,
    FRAME_RECV_UNDERRUN = 4,
    FRAME_RECV_CHECKSUM_ERROR = 5,
    FRAME_RECV_SERIAL_ERROR = 6,
};

struct installer_t {
    // link
    const char *port;
    ser_port h_port;
    int32_t baud;
    uint32_t node;
    // Modbus frame
    frame_status_t status;
    int32_t len;
    int32_t max;
    int32_t i;
    uint8_t *buf;
    // programming progress
    state_t state;
    uint8_t *image;
    uint32_t image_base_address;
    uint32_t image_current_offset;
    uint32_t image_length;
    uint32_t image_block_length;
    // timing
    uint32_t response_timer;
};
using T = installer_t *;

// The one record. The shell fills the link, the buffer and the image; the engine does the rest.
extern installer_t installer;

int prog_init(T t);
void tran(T t, state_t new_state);
void do_program(T t);

// With ms == 0 starts a timed wait at *timeout; otherwise 1 once more than ms have passed since.
int osTimeoutms(uint32_t *timeout, uint32_t ms);

[[gnu::format(printf, 1, 2)]] void status(const char *fmt, ...);
[[noreturn]] void Terminate(const char *Error);

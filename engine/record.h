// The one programming record: the serial link, the frame buffer, the image and the progress
// through it. The shell fills the link, the buffer and the image; the frame functions build
// requests and judge replies in its buffer; the sequence does the rest.
#pragma once

#include <cstdint>

#include "serial/ser.h"

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
    // what the run is asked to do: only ask the device for the range CRC, and end at
    // STATE_COMPLETE once it matches, no block written and the device not reset. The window
    // never asks for it.
    bool verify_only;
};
using T = installer_t *;

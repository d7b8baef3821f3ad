// Simulated target device: a Modbus RTU slave that accepts the three programming requests on a
// pseudo-terminal (or on an existing tty), keeps a memory image, records every frame it hears
// and can inject reproducible line faults. It runs its own thread; everything it records can
// be read through the accessors while it runs or after it has stopped.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr uint32_t SIM_MEMORY_BASE = 0x81000;
constexpr uint32_t SIM_MEMORY_SIZE = 1u << 20;
constexpr int SIM_NODE_DEFAULT = 4;
constexpr int SIM_BLOCK_MAX = 512;
constexpr int SIM_FN_MEI = 0x2B;
constexpr int SIM_MEI_WRITE = 0xEF;
constexpr int SIM_MEI_RANGE_CRC = 0xF0;
constexpr int SIM_MEI_RESET = 0xF1;
constexpr int SIM_EXC_ILLEGAL_FUNCTION = 1;
constexpr int SIM_EXC_ILLEGAL_ADDRESS = 2;
constexpr int SIM_EXC_ILLEGAL_VALUE = 3;
constexpr int SIM_EXC_BUSY = 6;       // the injected exception
constexpr size_t SIM_USB_PACKET = 62; // received bytes in one USB packet of an FTDI chip

// What a received frame was.
enum sim_kind {
    SIM_KIND_WRITE,      // write block
    SIM_KIND_RANGE_CRC,  // CRC of a memory range
    SIM_KIND_RESET,      // reset
    SIM_KIND_UNKNOWN,    // another function or MEI type
    SIM_KIND_BAD_FRAME,  // bad CRC, or too short to carry one
    SIM_KIND_OTHER_NODE, // good CRC, addressed to another slave
};

// What the simulator did about it.
enum sim_action {
    SIM_ANSWERED,  // the normal reply, on time
    SIM_DROPPED,   // no reply
    SIM_CORRUPTED, // the reply with its CRC broken
    SIM_SPLIT,     // the reply in two pieces with a gap between them
    SIM_DELAYED,   // the reply, later than the tool waits
    SIM_EXCEPTION, // an injected "busy" exception instead of the reply; the request not carried out
    SIM_WRONG_CRC, // range CRC reply carrying a wrong memory CRC under a valid frame CRC
    SIM_SHORT,     // range CRC reply cut to 11 bytes under a valid frame CRC
    SIM_REFUSED,   // request not acceptable (function, length, address): exception reply
    SIM_IGNORED,   // bad frame or another slave's: no reply, as on a real bus
    SIM_ASLEEP,    // heard before a late device is up: not carried out, no reply
};

// What the line handed back of a received frame ahead of any reply, as a 2-wire line does
// whose adapter does not suppress the sender's own bytes. A paced echo is settled on the bytes
// of the frame's first read: its middle byte, its two thirds.
enum sim_echo {
    SIM_ECHO_NONE,
    SIM_ECHO_WHOLE,   // the frame as received
    SIM_ECHO_CORRUPT, // the frame with its middle byte inverted
    SIM_ECHO_SHORT,   // the first two thirds of the frame
};

// One fault: fires on the listed 1-based request numbers, and on a share of requests drawn at
// random. wrong_crc and short_crc count range CRC requests only; the others count every good
// request to this slave. The echo faults apply to every frame heard, by their rate alone for
// frames that are no request to this slave. A paced echo is settled at the frame's first read:
// it counts the number the frame will get if it is a good request to this slave, and none for
// a frame whose first byte is another address.
struct sim_fault {
    std::vector<int> on;
    double rate = 0;
};

struct sim_config {
    std::string tty;  // serve this existing tty; empty: create a pseudo-terminal
    std::string link; // symlink made to the pseudo-terminal's slave (parents created)
    int node = SIM_NODE_DEFAULT;
    uint32_t memory_base = SIM_MEMORY_BASE;
    uint32_t memory_size = SIM_MEMORY_SIZE;
    int gap_us = 2000;   // line silence that ends a received frame
    bool pace = false;   // take requests, echo them and send replies at the line's byte rate
    int byte_ns = 95486; // 11 bits at 115200 baud
    uint32_t rng = 1;    // random start value of the fault draws
    sim_fault drop, corrupt, split, delay, exception, wrong_crc, short_crc, noise;
    // the frame heard goes back ahead of any reply; the last two imply an echo
    sim_fault echo, echo_corrupt, echo_short;
    int split_gap_ms = 50; // silence between the two pieces of a split reply
    int delay_ms = 1500;   // added to a delayed reply
    int noise_ms = 20;     // from the end of a reply to the noise bytes
    int echo_gap_ms = -1;  // from the end of an echo to the reply; -1: gap_us
    bool full_ack = false; // acknowledge a write block with the whole request
    // A byte of this value (0 to 255) ahead of and after each echo and each reply, as a bus
    // without bias reads when a driver turns on and off; -1: none.
    int stray = -1;
    // Hand the line's bytes on as the tool's USB adapter does: in packets of SIM_USB_PACKET
    // bytes, a partial one only when a latency timer of this many ms runs out; 0: at once.
    int usb_ms = 0;
    int late_ms = 0;               // silent until this long after the first good request; 0: off
    bool exit_after_reset = false; // end the loop once a reset has been acknowledged
    int exit_linger_ms = 300;      // ... and the line has been quiet this long
    std::string log_path;          // one line per frame, written as they come
    bool verbose = false;          // the same lines on standard error
};

struct sim_frame {
    int64_t t_us = 0; // first byte, since the start
    int number = 0;   // request number, from 1; 0 for ignored frames
    sim_kind kind = SIM_KIND_BAD_FRAME;
    sim_action action = SIM_IGNORED;
    uint32_t address = 0;
    uint32_t length = 0; // block length, or range length
    int code = 0;        // exception code sent, 0 for none
    bool noise = false;  // stray bytes followed the reply
    sim_echo echo = SIM_ECHO_NONE;
    std::vector<uint8_t> raw;
};

struct sim_counts {
    int frames = 0;   // every frame heard
    int requests = 0; // good frames to this slave
    int writes = 0;   // write blocks carried out
    int range_crcs = 0;
    int resets = 0;     // reset requests carried out
    int reset_acks = 0; // reset acknowledgements sent whole and intact
    int answered = 0, dropped = 0, corrupted = 0, split = 0, delayed = 0, exceptions = 0;
    int wrong_crc = 0, short_replies = 0, refused = 0, ignored = 0, noise = 0;
    int echoes = 0; // frames echoed in any form
    int asleep = 0; // requests heard before a late device was up
};

// The simulator; construct it empty, then simStart.
struct sim {
    sim_config cfg;
    std::string port; // the slave's path, or the served tty
    int fd = -1;      // pseudo-terminal master, or the served tty
    int hold_fd = -1; // the slave, held open so the master never reads a hang-up
    int wake_rd = -1, wake_wr = -1;
    bool linked = false;
    std::FILE *log_file = nullptr;
    std::thread thread;

    std::mutex mu; // guards everything below
    std::condition_variable changed;
    std::vector<uint8_t> memory;
    uint32_t written_end = 0; // one past the highest address written; 0 before any write
    std::vector<sim_frame> log;
    sim_counts counts;
    bool done = false; // the loop has ended
};

// CRC-16/MODBUS, table driven.
uint16_t simCrc16(const uint8_t *data, size_t length);

// Opens the line and starts the loop. false with a message in *error on failure.
bool simStart(sim *s, const sim_config &cfg, std::string *error);
// Asks the loop to end. Safe in a signal handler.
void simRequestStop(sim *s);
// Waits until the loop ends (a stop request, or exit_after_reset).
void simWait(sim *s);
// Ends the loop, closes the line and removes the symlink. The records stay readable.
void simStop(sim *s);

sim_counts simCounts(sim *s);
std::vector<sim_frame> simLog(sim *s);
// Waits until at least n frames have been heard; false on timeout.
bool simWaitFrames(sim *s, size_t n, int timeout_ms);
// Copy of memory, clipped to the simulated range.
std::vector<uint8_t> simMemory(sim *s, uint32_t address, uint32_t length);
uint32_t simWrittenEnd(sim *s);
// Memory from the base up to the highest byte written.
std::vector<uint8_t> simWritten(sim *s);

const char *simKindName(sim_kind kind);
const char *simActionName(sim_action action);
// "12.345 ms #3 write 0x081200 512 answered", as in the log file.
std::string simFormatFrame(const sim_frame &f);

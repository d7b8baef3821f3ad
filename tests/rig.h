// A programming record set up as a shell sets it up, for the tests and harnesses that step the
// engine themselves.
#pragma once

#include <chrono>
#include <utility>
#include <vector>

#include "engine/installer.h"
#include "run/program.h"

struct rig {
    std::vector<uint8_t> buf = std::vector<uint8_t>(MODBUS_FRAME_LENGTH_MAX);
    std::vector<uint8_t> image;
    installer_t rec{};
};

// The frame buffer, the slave address, the image at the target's base and the port at the
// run's baud rate. The rig must stay where it is while its record is in use.
inline void rigSetUp(rig *r, std::vector<uint8_t> image, const char *port)
{
    r->image = std::move(image);
    installer_t &rec = r->rec;
    rec.buf = r->buf.data();
    rec.max = MODBUS_FRAME_LENGTH_MAX;
    rec.node = MODBUS_NODE_DEFAULT;
    rec.image = r->image.data();
    rec.image_length = static_cast<uint32_t>(r->image.size());
    rec.image_base_address = IMAGE_BASE_ADDRESS;
    rec.port = port;
    rec.baud = static_cast<int32_t>(LINE_BAUD);
}

// The run of the rig's record as the programs step it, one step straight after another.
// fast: the port's reads as --fast makes them.
inline run_t rigStart(rig *r, bool fast = false)
{
    run_t run{&r->rec, fast, 0, {}};
    prog_init(&r->rec);
    if (fast)
        serFast(&r->rec.h_port);
    WatchStart(&run.watch, &r->rec);
    return run;
}

// Starts a run and steps it until it completes or fails verification, or until limit is up;
// the state it ended in.
inline state_t rigRun(rig *r, std::chrono::seconds limit, bool fast = false)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    run_t run = rigStart(r, fast);
    while (RunStep(&run) == RUN_GOES_ON && std::chrono::steady_clock::now() < deadline) {
    }
    return r->rec.state;
}

// n bytes that differ from block to block.
inline std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x2545F491;
    for (auto &b : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

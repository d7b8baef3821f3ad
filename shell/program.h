// What every shell does at start-up, on the Program button and on each timer tick. The window
// shells and the benchmark harness step the engine through this same code.
#pragma once

#include <cstdint>
#include <string>

#include "engine/installer.h"

// Where image byte 0 goes in the target, and the line speed of every run.
inline constexpr uint32_t IMAGE_BASE_ADDRESS = 0x81000;
inline constexpr int32_t RUN_BAUD = 115200;

// The CRC-16 of an image as the target reports it once the image is programmed, and a CRC-16
// as the console log, the report, the window and the release notes show it: 0x and 4 digits.
unsigned ImageCrc(const void *image, uint32_t length);
std::string CrcText(unsigned crc);

// The frame buffer and the slave address, set once at start-up.
void PrepareRecord(T t);

// Copies the image the executable carries into the record and fixes its target address.
void TakeImage(T t, const void *image, uint32_t length);

// Starts a run on port (its device path). A port still held by an earlier run is closed
// first. false, with a status text, when no port is given: no run starts.
bool ProgramPressed(T t, const char *port);

// One step of the sequence. true while the run goes on (re-arm the timer); false once it
// has completed.
bool TimerTick(T t);

// The end of a completed run, once the shell has stopped its timer: the beep, the final
// status text and the close of the port.
void RunCompleted(T t);

// What a window can tell beside the status line while a run goes on, worked out from the
// record after each step: how much of the image the target has acknowledged, and how long the
// run has waited for a good reply. The engine keeps no such counts itself.
struct run_watch {
    state_t state;        // where the run stood after the last step
    uint32_t offset;      // ... its block
    uint32_t sent_at;     // ... and its response timer, which restarts with every request sent
    uint32_t quiet_since; // tick of the last good reply, or of the start of the run
    int resends;          // requests sent again since then
};

// The wait after which a window says that the device does not answer.
inline constexpr uint32_t SILENCE_HINT_MS = 3000;

// At the start of a run, once ProgramPressed has returned true.
void WatchStart(run_watch *w, T t);

// After each step.
void WatchStep(run_watch *w, T t);

// The share of the image the target has acknowledged, from 0 to 1: whole once the range CRC
// is asked for.
double AcknowledgedShare(T t);

// The requests sent again, once the run has waited more than SILENCE_HINT_MS for a good reply
// while sending again; 0 otherwise.
int SilentResends(const run_watch *w, T t);

// How long the run has waited for a good reply, in milliseconds.
uint32_t QuietMs(const run_watch *w);

// The CRC-16 the device reported of what it holds: the image's once it verified, its own when
// verification failed. false when it reported none (the run did not get so far, or the reply
// was too short to carry it).
bool DeviceCrc(T t, unsigned *crc);

// What a run of the tool is, the same in the two windows, on the command line and in the tests
// and harnesses that step the engine: start-up, the Program button, each step, and the end of a
// run. A window's timer or a loop calls RunStep; everything a step decides is decided here.
#pragma once

#include <cstdint>
#include <string>

#include "engine/installer.h"

// The CRC-16 of an image as the target reports it once the image is programmed, and a CRC-16
// as the console log, the report, the window and the release notes show it: 0x and 4 digits.
unsigned ImageCrc(const void *image, uint32_t length);
std::string CrcText(unsigned crc);

// Opens the console log for this start of the program, under a line with the date, the
// version and the carried image's CRC-16.
void StartLog(unsigned image_crc);

// The frame buffer and the slave address, set once at start-up.
void PrepareRecord(T t);

// Copies the image the executable carries into the record and fixes its target address.
void TakeImage(T t, const void *image, uint32_t length);

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

// At the start of a run, once it has been started; RunStep follows it after each step.
void WatchStart(run_watch *w, T t);

// The share of the image the target has acknowledged, from 0 to 1: whole once the range CRC
// is asked for (0 throughout a verify-only run).
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

// Why a run failed verification, in the words the window shows and a record keeps: the
// device's CRC against the image's, or that its reply carried none.
std::string CrcMismatch(T t);

// A run as the programs step it: the record, how it is paced, and what is followed of it.
struct run_t {
    T t;
    bool fast;           // each step straight after the one before, and serFast on the port
    uint32_t give_up_ms; // a run without a good reply for this long ends; 0: never
    run_watch watch;
};

// How a step left the run.
enum run_end_t {
    RUN_GOES_ON,       // a window re-arms its timer, a loop paces and steps again
    RUN_COMPLETED,     // the device verified (and reset, unless verify_only): RunCompleted is
                       // the caller's to call
    RUN_VERIFY_FAILED, // a window's timer goes on; the engine does nothing more
    RUN_NO_ANSWER,     // no good reply for give_up_ms: no step was taken
};

// Starts a run on port as a press of Program does; under fast the port is asked to hand on
// what it receives at once. false, with a status text, when no port is given.
bool RunStart(run_t *r, const char *port);

// One step of the run: one step of the sequence, unless the run has waited give_up_ms for a
// good reply; then what the watch follows of it.
run_end_t RunStep(run_t *r);

// The wait before the next step where no window's timer paces the run: one timer period,
// none when fast.
void RunPace(const run_t *r);

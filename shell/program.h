// What every shell does at start-up, on the Program button and on each timer tick. The window
// shells and the benchmark harness step the engine through this same code.
#pragma once

#include <cstdint>

#include "engine/installer.h"

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

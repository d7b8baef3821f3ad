// The operating-system services the engine needs beside the serial port: its clock and the
// system's word for a failed call. os.cpp is the same everywhere; os_posix.cpp and
// os_win32.cpp are each system's.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds since some fixed point, wrapping at 32 bits.
uint32_t osTickms();

// With ms == 0 starts a timed wait at *timeout; otherwise 1 once more than ms have passed since.
int osTimeoutms(uint32_t *timeout, uint32_t ms);

// The system's code for the last failed call (0 when there is none).
unsigned long osLastError();

// The system's text for code, cut to fit size bytes including the terminator; its length.
int osErrorText(unsigned long code, char *buf, int size);

// The same on one line, for a message of the program's own.
std::string osErrorWords(unsigned long code);

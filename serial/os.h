// The few operating-system services the engine needs beside the serial port.
#pragma once

#include <cstdint>

// Milliseconds since some fixed point, wrapping at 32 bits.
uint32_t osTickms();

// The system's code for the last failed call (0 when there is none).
unsigned long osLastError();

// The system's text for code, cut to fit size bytes including the terminator; its length.
int osErrorText(unsigned long code, char *buf, int size);

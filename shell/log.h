// The console log kept in a file of the user's, so that it outlives the console window that
// support asks for it from: every line the console shows, each start of the program under a
// line with the date, the version and the carried image's CRC-16. Past about 1 MiB the file is
// kept once, as console.log.1, and a new one begun. A log that cannot be written changes
// nothing but one line on standard error.
#pragma once

#include <string>

// The largest a log grows before it is kept once and a new one begun.
inline constexpr long LOG_SIZE_MAX = 1L << 20;

// Opens the log for this start of the program and writes its first line.
void LogStart(unsigned image_crc);

// Appends text as the console showed it, whole lines.
void LogWrite(const std::string &text);

// From here on, what this process writes on its standard output and error also goes to the
// log, a line at a time, until the process ends: each stream goes through a pipe to a thread
// that passes it on to the console and the log.
void LogConsole();

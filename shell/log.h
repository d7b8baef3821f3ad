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

// Logs a stream's bytes as they come, a whole line at a time; *line keeps what is left of the
// last one. buf null: the stream has ended, and the rest is logged as a line.
void LogStream(std::string *line, const char *buf, size_t n);

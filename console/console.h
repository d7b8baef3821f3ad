// The console: every line the programs show on standard output or standard error is written
// here, and from here, once a program has opened one, into its console log. The log is kept
// in a file of the user's so that it outlives the console window that support asks for it
// from: each start of a program under a line with the date, the version and the carried
// image's CRC-16, then every line the console shows. Past about 1 MiB the file is kept once, as
// console.log.1, and a new one begun. A log that cannot be written changes nothing but one line
// on standard error.
#pragma once

#include <string>

// Standard output, as printf.
[[gnu::format(printf, 1, 2)]] void conPrint(const char *fmt, ...);

// Standard error, as fprintf to it, at once; what standard output holds goes out first, so that
// the two streams keep their order.
[[gnu::format(printf, 1, 2)]] void conError(const char *fmt, ...);

// From now on conError writes its lines on standard output instead, each after tag: a reader
// that gets both streams through one pipe then has them in the order they were written, and
// tells them apart by the tag.
void conErrorsTagged(const std::string &tag);

// Opens the log at path ("" when there is no place for one) for this start of the program and
// writes first_line, a line of its own, into it.
void conLogStart(const std::string &path, const std::string &first_line);

// Appends text, whole lines as the console showed them, to the log, for output that reaches
// the console another way (the lines of the command line's port processes).
void conLogWrite(const std::string &text);

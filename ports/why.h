// Why a serial device that is there is left out of the list, in the words of the console line
// that says so; and the small reads of /proc, sysfs and links that the list and the diagnosis
// share. POSIX only.
#pragma once

#include <string>
#include <sys/stat.h>

// The open of the device at path, whose node is st, failed with error (an errno value).
std::string WhyNotOpened(int error, const std::string &path, const struct stat &st);

// The device opened, but another program holds it.
std::string WhyHeld(const std::string &path, const struct stat &st);

// The device opened, but is no terminal.
extern const char WHY_NOT_SERIAL[];

// The first line of a small regular file, such as a sysfs attribute, control characters
// replaced and its length capped: what a device says of itself is the device's to choose.
std::string ReadLine(const std::string &path);
// Where a symlink points, as written; "" when path is none.
std::string LinkTarget(const std::string &path);
// The path with every link resolved; "" when it does not resolve.
std::string RealPath(const std::string &path);

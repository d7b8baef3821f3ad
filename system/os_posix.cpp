// Operating-system services on POSIX.
#include "system/os.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

uint32_t osTickms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

unsigned long osLastError()
{
    return static_cast<unsigned long>(errno);
}

int osErrorText(unsigned long code, char *buf, int size)
{
    if (size <= 0)
        return 0;
    const char *text = std::strerror(static_cast<int>(code));
    size_t n = std::min(std::strlen(text), static_cast<size_t>(size - 1));
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

// The part of the operating-system services that is the same on every system.
#include "system/os.h"

#include <cctype>

int osTimeoutms(uint32_t *timeout, uint32_t ms)
{
    uint32_t now = osTickms();
    if (ms == 0) {
        *timeout = now;
        return 1;
    }
    // Unsigned difference: correct across the wrap of the 32-bit tick.
    return static_cast<uint32_t>(now - *timeout) > ms;
}

std::string osErrorWords(unsigned long code)
{
    char text[512];
    const int n = osErrorText(code, text, sizeof text);
    std::string words(text, static_cast<size_t>(n > 0 ? n : 0));
    // The system's texts may end with a line end, some with a blank before it.
    while (!words.empty() && isspace(static_cast<unsigned char>(words.back())))
        words.pop_back();
    return words.empty() ? "error " + std::to_string(code) : words;
}

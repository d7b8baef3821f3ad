// The part of the operating-system services that is the same on every system.
#include "system/os.h"

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

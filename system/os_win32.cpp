// Operating-system services on Win32.
#include "system/os.h"

#include <algorithm>
#include <cstring>
#include <windows.h>

uint32_t osTickms()
{
    return GetTickCount();
}

unsigned long osLastError()
{
    return GetLastError();
}

int osErrorText(unsigned long code, char *buf, int size)
{
    if (size <= 0)
        return 0;
    // FormatMessageA writes nothing at all into a buffer that is too small, so the text is
    // formatted whole and then cut.
    char text[2048];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code), 0, text,
                             sizeof text, nullptr);
    size_t keep = std::min(static_cast<size_t>(n), static_cast<size_t>(size - 1));
    std::memcpy(buf, text, keep);
    buf[keep] = '\0';
    return static_cast<int>(keep);
}

// Serial link on the Win32 communications API.
#include "serial/ser.h"

#include <cstdio>

int serOpen(ser_port *port, const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *port = nullptr;
        return -1;
    }
    *port = h;
    return 0;
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(*port, &dcb)) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(*port, &timeouts)) {
        fputs("Could not read comm timeouts\n", stderr);
        return -1;
    }

    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;

    timeouts.ReadIntervalTimeout = timeout_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;

    SetCommState(*port, &dcb);
    SetCommTimeouts(*port, &timeouts);
    SetCommMask(*port, 0);
    return 0;
}

int serWrite(ser_port *port, const void *buf, int len)
{
    DWORD written = 0;
    WriteFile(*port, buf, static_cast<DWORD>(len), &written, nullptr);
    // USB-serial drivers often complete WriteFile while bytes are still queued; the output
    // purge after the send would cut the frame's tail.
    FlushFileBuffers(*port);
    return static_cast<int>(written);
}

int serRead(ser_port *port, void *buf, int max_len)
{
    DWORD got = 0;
    ReadFile(*port, buf, static_cast<DWORD>(max_len), &got, nullptr);
    return static_cast<int>(got);
}

void serPurge(ser_port *port)
{
    PurgeComm(*port, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void serClose(ser_port *port)
{
    if (*port != nullptr && *port != INVALID_HANDLE_VALUE)
        CloseHandle(*port);
    *port = nullptr;
}

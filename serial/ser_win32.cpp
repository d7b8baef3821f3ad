// Serial link on the Win32 communications API.
#include "serial/ser.h"

#include <cstdio>
#include <utility>

int serOpen(ser_port *port, const char *path)
{
    port->path = path;
    port->sent = false;
    serEchoReset(&port->echo);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        port->handle = nullptr;
        return -1;
    }
    port->handle = h;
    // Until serInit sets them, the time-outs are the port's own; these are only for the echo.
    port->gap_ms = 10;
    port->total_ms = 1000;
    return 0;
}

static COMMTIMEOUTS ReadTimeouts(uint32_t gap_ms, uint32_t total_ms)
{
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = gap_ms;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = total_ms;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0; // writes have no time-out
    return t;
}

// Some adapters accept even parity and run without it; only the settings read back tell.
static void ReportLine(const ser_port *port, uint32_t baud, const COMMTIMEOUTS &asked_timeouts)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS t{};
    if (!GetCommState(port->handle, &dcb) || !GetCommTimeouts(port->handle, &t))
        return;
    ser_line got{};
    got.baud = dcb.BaudRate;
    got.data_bits = dcb.ByteSize;
    got.parity = dcb.Parity == EVENPARITY ? 'E' : dcb.Parity == ODDPARITY ? 'O' : 'N';
    got.stop_bits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
    got.flow_control = dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fOutX || dcb.fInX ||
                       dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                       dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    got.lines_off =
        dcb.fDtrControl == DTR_CONTROL_DISABLE && dcb.fRtsControl == RTS_CONTROL_DISABLE;
    got.timeouts = t.ReadIntervalTimeout == asked_timeouts.ReadIntervalTimeout &&
                   t.ReadTotalTimeoutMultiplier == asked_timeouts.ReadTotalTimeoutMultiplier &&
                   t.ReadTotalTimeoutConstant == asked_timeouts.ReadTotalTimeoutConstant;
    const ser_line asked{baud, 8, 'E', 1, false, true, true};
    serReportLine(port->path, asked, got);
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port->handle, &timeouts)) {
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
    timeouts = ReadTimeouts(timeout_ms, 1000);

    SetCommState(port->handle, &dcb);
    SetCommTimeouts(port->handle, &timeouts);
    SetCommMask(port->handle, 0);
    port->gap_ms = timeout_ms;
    port->total_ms = 1000;
    ReportLine(port, baud, timeouts);
    return 0;
}

int serWrite(ser_port *port, const void *buf, int len)
{
    // Purged before the write: the reply to this request cannot have come yet. No output
    // purge anywhere: it would drop what a USB adapter still holds of the request.
    PurgeComm(port->handle, PURGE_RXCLEAR);
    port->sent = true;
    serEchoSent(&port->echo, buf, len);
    DWORD written = 0;
    WriteFile(port->handle, buf, static_cast<DWORD>(len), &written, nullptr);
    // WriteFile may complete while the driver still holds the bytes; this waits until they
    // have gone out.
    FlushFileBuffers(port->handle);
    return static_cast<int>(written);
}

int serRead(ser_port *port, void *buf, int max_len)
{
    port->sent = false;
    auto *p = static_cast<uint8_t *>(buf);
    const DWORD start = GetTickCount();
    DWORD got = 0;
    ReadFile(port->handle, p, static_cast<DWORD>(max_len), &got, nullptr);
    // What came may be only the echo: read on for what follows it, within the read's total
    // time, rather than end at the silence after it.
    while (static_cast<int>(got) < max_len && serEchoHold(&port->echo, p, static_cast<int>(got))) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= port->total_ms)
            break;
        COMMTIMEOUTS rest = ReadTimeouts(port->gap_ms, port->total_ms - spent);
        SetCommTimeouts(port->handle, &rest);
        DWORD more = 0;
        ReadFile(port->handle, p + got, static_cast<DWORD>(max_len) - got, &more, nullptr);
        COMMTIMEOUTS usual = ReadTimeouts(port->gap_ms, port->total_ms);
        SetCommTimeouts(port->handle, &usual);
        if (more == 0)
            break;
        got += more;
    }
    return serEchoCut(&port->echo, p, static_cast<int>(got));
}

void serPurge(ser_port *port)
{
    // Right after a send, serWrite has purged already: what came since may be the reply.
    if (!std::exchange(port->sent, false)) {
        PurgeComm(port->handle, PURGE_RXCLEAR);
        serEchoForget(&port->echo);
    }
}

void serClose(ser_port *port)
{
    if (port->handle != nullptr && port->handle != INVALID_HANDLE_VALUE)
        CloseHandle(port->handle);
    port->handle = nullptr;
}

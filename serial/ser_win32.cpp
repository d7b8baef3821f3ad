// Serial link on the Win32 communications API.
#include "serial/ser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

int serOpen(ser_port *port, const char *path)
{
    port->path = path;
    port->sent = false;
    serLinkReset(&port->link);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        port->handle = nullptr;
        return -1;
    }
    port->handle = h;
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
    serLinkSetUp(&port->link, baud, timeout_ms);
    ReportLine(port, baud, timeouts);
    return 0;
}

void serFast(ser_port *port)
{
    // The adapter's latency timer is a setting of its driver here, not of the program.
    port->link.fast = true;
}

// The bytes waiting in the driver.
static DWORD Queued(const ser_port *port)
{
    COMSTAT stat{};
    DWORD errors = 0;
    return ClearCommError(port->handle, &errors, &stat) ? stat.cbInQue : 0;
}

int serWrite(ser_port *port, const void *buf, int len)
{
    const auto start = std::chrono::steady_clock::now();
    // Purged before the write: the reply to this request cannot have come yet. No output
    // purge anywhere: it would drop what a USB adapter still holds of the request.
    PurgeComm(port->handle, PURGE_RXCLEAR);
    port->sent = true;
    serEchoSent(&port->link, buf, len);
    DWORD written = 0;
    WriteFile(port->handle, buf, static_cast<DWORD>(len), &written, nullptr);
    // WriteFile may complete while the driver still holds the bytes; this waits until they
    // have gone out.
    FlushFileBuffers(port->handle);
    // The echo comes while the bytes are on the wire; a driver may return before they are.
    // Input is counted only while the clock is before the deadline: a device's reply comes
    // right after it, and a sleep may end well past it.
    const int64_t watch = serEchoWatchUs(&port->link, len);
    const auto deadline = start + std::chrono::microseconds(std::max<int64_t>(watch, 0));
    for (bool first = true; watch >= 0; first = false) {
        if (!first && std::chrono::steady_clock::now() >= deadline)
            break;
        if (Queued(port) > 0) {
            serEchoEarly(&port->link);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        Sleep(1);
    }
    return static_cast<int>(written);
}

int serRead(ser_port *port, void *buf, int max_len)
{
    port->sent = false;
    ser_link *l = &port->link;
    const int room = serReadRoom(l, max_len);
    // The port's time-outs end a read at the gap after a byte, or after its total time. Where a
    // read must go on past such a silence (what came may be only the echo) or end sooner (a
    // whole frame under serFast), each ReadFile gets the interval and the time that are left.
    const DWORD interval = l->fast ? 1 : l->gap_ms;
    const DWORD start = GetTickCount();
    DWORD last = start; // when the last bytes came, from start
    bool usual = true;  // the time-outs serInit set are in force
    int got = 0;
    while (got < room) {
        DWORD until = l->total_ms;
        const int64_t silence = got > 0 ? serReadSilenceUs(l, got) : -1;
        if (silence >= 0)
            until = std::min(until, last - start + static_cast<DWORD>((silence + 999) / 1000));
        const DWORD spent = GetTickCount() - start;
        if (spent >= until)
            break;
        if (got > 0 || l->fast) {
            COMMTIMEOUTS rest = ReadTimeouts(interval, until - spent);
            SetCommTimeouts(port->handle, &rest);
            usual = false;
        }
        DWORD more = 0;
        ReadFile(port->handle, l->rx + got, static_cast<DWORD>(room - got), &more, nullptr);
        if (more == 0)
            break;
        got += static_cast<int>(more);
        last = GetTickCount();
    }
    if (!usual) {
        COMMTIMEOUTS timeouts = ReadTimeouts(l->gap_ms, l->total_ms);
        SetCommTimeouts(port->handle, &timeouts);
    }
    return serEchoCut(l, got, static_cast<uint8_t *>(buf), max_len);
}

void serPurge(ser_port *port)
{
    // Right after a send, serWrite has purged already: what came since may be the reply.
    if (!std::exchange(port->sent, false)) {
        PurgeComm(port->handle, PURGE_RXCLEAR);
        serEchoForget(&port->link);
    }
}

void serClose(ser_port *port)
{
    if (port->handle != nullptr && port->handle != INVALID_HANDLE_VALUE)
        CloseHandle(port->handle);
    port->handle = nullptr;
}

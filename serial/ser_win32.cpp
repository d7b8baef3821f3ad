// Serial link on the Win32 communications API.
#include "serial/ser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "console/console.h"

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
    // A path that is no device (a file named by mistake) would take the frames as data.
    if (GetFileType(h) != FILE_TYPE_CHAR) {
        CloseHandle(h);
        port->handle = nullptr;
        SetLastError(ERROR_BAD_DEVICE);
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
    serReportLine(port->path, serLineAsked(baud), got);
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) {
        conError("Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port->handle, &timeouts)) {
        conError("Could not read comm timeouts\n");
        return -1;
    }

    dcb.BaudRate = baud;
    static_assert(LINE_PARITY == 'E' && LINE_STOP_BITS == 1,
                  "the device's line, as the device control block writes it here");
    dcb.ByteSize = LINE_DATA_BITS;
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
    timeouts = ReadTimeouts(timeout_ms, SER_READ_TOTAL_MS);

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
    if (port->handle == nullptr || len <= 0) {
        port->sent = false;
        return 0;
    }
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
    // The echo comes while the bytes are on the wire; a driver may return before they are,
    // or (a sleep) well after. Whatever is there is judged by the time it has had.
    const int64_t watch = serEchoWatchUs(&port->link, len);
    for (bool shown = false; watch >= 0 && !shown; Sleep(1)) {
        const DWORD queued = Queued(port);
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        shown = serEchoShows(&port->link, len, elapsed.count(), static_cast<int>(queued));
        if (shown)
            serEchoEarly(&port->link);
        if (queued > 0 || elapsed.count() >= watch)
            break;
    }
    return static_cast<int>(written);
}

int serRead(ser_port *port, void *buf, int max_len)
{
    port->sent = false;
    if (port->handle == nullptr || max_len <= 0)
        return 0;
    ser_link *l = &port->link;
    const int room = serReadRoom(l, max_len);
    // The port's time-outs end a ReadFile at the interval's silence after a byte, or after its
    // total time. A read goes on past such a silence while what came may be only the echo, and
    // under serFast, whose interval is the shortest there is, past it until the silence that
    // ends a read is over.
    const DWORD interval = l->fast ? 1 : l->gap_ms;
    const auto start = std::chrono::steady_clock::now();
    DWORD wait_ms = l->total_ms; // for the next ReadFile
    bool usual = !l->fast;       // the time-outs serInit set are in force
    int got = 0;
    for (;;) {
        if (!usual || got > 0) {
            COMMTIMEOUTS rest = ReadTimeouts(interval, wait_ms);
            SetCommTimeouts(port->handle, &rest);
            usual = false;
        }
        DWORD more = 0;
        ReadFile(port->handle, l->rx + got, static_cast<DWORD>(room - got), &more, nullptr);
        got += static_cast<int>(more);
        if (more == 0 || got >= room)
            break;
        // What may be only the echo waits on to the total time; anything else only for what is
        // left of its silence once the one that ended this ReadFile has passed.
        const int64_t silence = serReadSilenceUs(l, got);
        const bool hold = silence < 0;
        const int64_t rest_us = silence - static_cast<int64_t>(interval) * 1000;
        if (!hold && rest_us <= 0)
            break;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        if (spent >= l->total_ms)
            break;
        wait_ms = static_cast<DWORD>(l->total_ms - spent);
        if (!hold)
            wait_ms = std::min(wait_ms, static_cast<DWORD>((rest_us + 999) / 1000));
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
    if (!std::exchange(port->sent, false) && port->handle != nullptr) {
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

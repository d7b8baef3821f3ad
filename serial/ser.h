// Serial link: open a port exclusively, set it up for Modbus RTU, move bytes, purge, close.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
using ser_port = HANDLE; // NULL when closed
#else
struct ser_port {
    int fd;
    bool open;         // a zeroed record is a closed port, never descriptor 0
    uint32_t gap_ms;   // silence after a byte that ends a read
    uint32_t total_ms; // longest a read waits in all
    bool sent;         // the last call was serWrite, which purged the input as it sent
};
#endif

// Opens path for reading and writing, refused to anyone else while held (and to a second
// open by this process). 0 on success; -1 with the system error left for osLastError.
int serOpen(ser_port *port, const char *path);

// 8 data bits, even parity sent, received parity not checked, 1 stop bit, no flow control,
// DTR and RTS off; a read ends timeout_ms after a byte, or after 1000 ms in all.
// 0, or -1 with a message on standard error when the current settings cannot be read.
int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms);

// Returns once the bytes have left; the count written.
int serWrite(ser_port *port, const void *buf, int len);

// Up to max_len bytes under the time-outs of serInit; 0 when nothing came.
int serRead(ser_port *port, void *buf, int max_len);

// Drops everything received so far; right after serWrite, everything received before that
// request went out (the start of the reply to it may already have arrived).
void serPurge(ser_port *port);

// Closes the port if it is open; a closed port is left alone.
void serClose(ser_port *port);

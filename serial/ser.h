// Serial link: open a port exclusively, set it up for Modbus RTU, move bytes, purge, close.
//
// Sending a request is serWrite, then serPurge:
//  - input left over from before the request is dropped just before it goes out;
//  - serWrite returns once the bytes have left the port, and nothing written is ever discarded;
//  - what arrives after the request went out is kept for the next read: the serPurge that
//    follows a serWrite leaves it alone (any other serPurge drops everything received).
//
// Local echo: a line that hands back every byte sent (a 2-wire RS-485 adapter without echo
// suppression) puts an exact copy of the request ahead of the reply. A read after a send takes
// such a copy at the start of what arrives for the echo, and hands on only what follows it,
// once the line has shown that it echoes: a copy followed in the same read by a whole frame
// with a valid CRC. Until the line has shown what it does, a lone copy may be an echo or the
// reply (a device may answer with its request byte for byte, and does so to a reset): the read
// waits its total time for anything after it, and a copy still alone then counts as nothing
// the first time, and as the reply when the same request, sent again, brings it back alone
// again. A reply that is no copy shows a line without echo. A broken or partial echo is
// handed on as it came, for the caller to refuse.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

// What a line was seen to do with the requests sent on it since the port was opened.
enum ser_echo_t {
    SER_ECHO_UNKNOWN, // no reply judged yet
    SER_ECHO_NONE,    // a reply came without a copy of the request ahead of it
    SER_ECHO_SEEN,    // a copy of the request came ahead of the reply
};

// The request sent last, as long as its echo may still be coming.
struct ser_echo {
    uint8_t request[1040]; // the longest frame there is
    int length;
    int matched; // bytes of its copy already taken from earlier reads; -1: not looking for one
    bool alone;  // its copy came back alone for a whole read the last time it was sent
    ser_echo_t line;
};

// The line as set up: what serInit asks for, or what the driver reports it took.
struct ser_line {
    uint32_t baud;
    int data_bits;
    char parity; // 'N', 'E' or 'O'
    int stop_bits;
    bool flow_control; // hardware or software
    bool lines_off;    // DTR and RTS held off
    bool timeouts;     // the read time-outs asked for
};

struct ser_port {
#ifdef _WIN32
    HANDLE handle; // NULL when closed
#else
    int fd;
    bool open; // a zeroed record is a closed port, never descriptor 0
#endif
    const char *path;  // as given to serOpen; the caller keeps it while the port is open
    uint32_t gap_ms;   // silence after a byte that ends a read
    uint32_t total_ms; // longest a read waits in all
    bool sent;         // the last call was serWrite: the purge after it keeps what came since
    ser_echo echo;
};

// Opens path for reading and writing, refused to anyone else while held (and to a second
// open by this process). 0 on success; -1 with the system error left for osLastError.
int serOpen(ser_port *port, const char *path);

// 8 data bits, even parity sent, received parity not checked, 1 stop bit, no flow control,
// DTR and RTS off; a read ends timeout_ms after a byte, or after 1000 ms in all. What the
// driver did not take is named in one line on standard error; the port is used as it is.
// 0, or -1 with a message on standard error when the current settings cannot be read.
int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms);

// Returns once the bytes have left; the count written.
int serWrite(ser_port *port, const void *buf, int len);

// Up to max_len bytes under the time-outs of serInit; 0 when nothing came. Never more than
// came after the last request, less its echo.
int serRead(ser_port *port, void *buf, int max_len);

// Drops everything received so far, except right after serWrite (see above).
void serPurge(ser_port *port);

// Closes the port if it is open; a closed port is left alone.
void serClose(ser_port *port);

// The platform-free part of the link, which both backends call.

// A new port: nothing known of its line.
void serEchoReset(ser_echo *e);
// serWrite is sending this request: its copy may come back ahead of the reply.
void serEchoSent(ser_echo *e, const void *request, int length);
// Everything received has been dropped: no copy is looked for any more.
void serEchoForget(ser_echo *e);
// true while the got bytes a read holds may be nothing but the echo: the read then waits on,
// to its total time, rather than end at a silence.
bool serEchoHold(const ser_echo *e, const uint8_t *buf, int got);
// At the end of a read of got bytes: the echo taken out, the count left at the start of buf.
int serEchoCut(ser_echo *e, uint8_t *buf, int got);

// One line on standard error naming what the driver did not take, when it did not take all.
void serReportLine(const char *path, const ser_line &asked, const ser_line &got);

// Serial link: open a port exclusively, set it up for Modbus RTU, move bytes, purge, close.
//
// Sending a request is serWrite, then serPurge:
//  - input left over from before the request is dropped just before it goes out;
//  - serWrite returns once the bytes have left the port, and nothing written is ever discarded;
//  - what arrives after the request went out is kept for the next read: the serPurge that
//    follows a serWrite leaves it alone (any other serPurge drops everything received).
//
// Local echo: a line that hands back every byte sent (a 2-wire RS-485 adapter without echo
// suppression) puts a copy of the request ahead of the reply. An echo is never handed on as a
// reply. A read after a send takes a copy at the start of what arrives for the echo once the
// line has shown that it echoes, by either
//  - time: a copy that began to come in while the request could still be on the wire (its
//    bytes at the line's rate, then the 3.5 characters of silence a device waits before it may
//    answer), or more of it than a reply could have brought by the time the write's drain
//    returned. No reply comes that soon. Until a line has shown what it does, serWrite waits
//    that long for input; on a line taken for one without echo it looks once;
//  - content: a copy followed, in the same read, by a whole frame with a valid CRC.
// The echo takes no room from the reply: a read takes in the copy on top of max_len.
// A device may also answer with its request byte for byte (it does so to a reset, and some
// acknowledge a block so). A lone copy on a line not shown to echo, which came only after the
// request had left, counts as nothing the first time; the same request sent again bringing it
// back alone and late again makes it the reply, and the line is taken for one without echo. A
// reply that is no copy shows a line without echo. A broken or partial echo is handed on as it
// came, for the caller to refuse.
//
// Stray bytes: an RS-485 bus without bias resistors floats for a moment as a driver turns on
// or off, and the receiver reads a byte of nothing (0x00 or 0xFF) ahead of an echo or a reply,
// or after it. A copy of the request may begin past up to SER_STRAY_MAX such bytes, and may be
// followed by as many before the reply; a copy followed by such bytes alone is a lone copy,
// and so is one followed by zeros, however many: a frame with a valid CRC followed by 0x00 has
// a valid CRC again, so zeros never tell a copy from a reply. What a read hands on, past the
// echo:
//  - what came, as it came, when it is a frame with a valid CRC on its own, or when no frame
//    of the device is found in it (for the caller to refuse);
//  - else the frame of the device found among stray bytes: it begins within SER_STRAY_MAX bytes
//    of the start and ends within SER_STRAY_MAX bytes of the end, begins with the address and
//    the function of the request sent last (or that function with MB_EXCEPTION set, in a frame
//    of MB_EXCEPTION_LENGTH bytes), has at least MB_MEI_REPLY_MIN bytes and a valid CRC, and
//    is at most max_len bytes long. Of several, the one nearest the start, and the longest:
//    a stray 0x00 after a frame stays with it (the caller sees one byte more), where leaving it
//    out could cut a reply whose CRC ends in 0x00.
//
// Holes: a USB adapter hands received bytes on in packets, a partial one only when its latency
// timer runs out (16 ms by default), so a reply longer than a packet may pause before its last
// piece. A read ends after the silence serInit sets, but while what it holds past the echo is
// the start of the device's frame that more bytes could still make whole, after SER_HOLE_MS.
// A longer pause cuts the reply in two.
//
// Under serFast a read also ends once it holds a whole frame with a valid CRC (or one found
// among stray bytes), after the Modbus end-of-frame silence, instead of the longer silence
// serInit sets.
#pragma once

#include <cstdint>

#include "modbus/device.h"

#ifdef _WIN32
#include <windows.h>
#endif

// What a line was seen to do with the requests sent on it since the port was opened.
enum ser_echo_t {
    SER_ECHO_UNKNOWN, // not judged yet
    SER_ECHO_NONE,    // a reply came without a copy of the request ahead of it
    SER_ECHO_SEEN,    // the line hands the request back
};

// What the link knows of its line beyond the system's handle: the same on every system.
struct ser_link {
    uint32_t baud;     // as set up: how long a request is on the wire
    uint32_t gap_ms;   // silence after a byte that ends a read
    uint32_t total_ms; // longest a read waits in all
    bool fast;         // serFast
    int requests;      // requests sent since the port was opened,
    int resends;       // ... and of them the same as the one before, sent again
    // The request sent last, as long as its echo may still be coming.
    uint8_t request[MODBUS_FRAME_LENGTH_MAX];
    int length;
    int matched; // bytes of its copy already taken from earlier reads; -1: not looking for one
    bool early;  // input came in while it could still have been on the wire
    bool alone;  // its copy came back alone, and late, the last time it was sent
    ser_echo_t line;
    uint8_t rx[2 * MODBUS_FRAME_LENGTH_MAX]; // one read's input: an echo and a reply behind it
};

// The longest a read waits in all.
inline constexpr uint32_t SER_READ_TOTAL_MS = 1000;

// Stray bytes taken for nothing on each side of an echo or a reply: one as a driver turns on,
// one as it turns off; between an echo and its reply, the adapter's and the device's.
inline constexpr int SER_STRAY_MAX = 2;

// The longest pause inside a reply that a read waits over: an FTDI chip's default latency
// timer of 16 ms, and as much again for the USB frames, the driver and a loaded machine waking
// the read late. A pause of 50 ms stays a cut.
inline constexpr uint32_t SER_HOLE_MS = 32;

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
    bool open;              // a zeroed record is a closed port, never descriptor 0
    int serial_flags;       // the driver's flags as found, to give back at close
    bool serial_flags_kept; // ... when serFast changed them
#endif
    const char *path; // as given to serOpen; the caller keeps it while the port is open
    bool sent;        // the last call was serWrite: the purge after it keeps what came since
    ser_link link;
};

// Opens path for reading and writing, refused to anyone else while held (and to a second
// open by this process); a path that is no terminal or device is refused. 0 on success; -1
// with the system error left for osLastError.
int serOpen(ser_port *port, const char *path);

// The device's line (8 data bits, even parity sent, 1 stop bit), received parity not checked,
// no flow control, DTR and RTS off; a read ends timeout_ms after a byte, or after
// SER_READ_TOTAL_MS in all. What the
// driver did not take is named in one line on standard error; the port is used as it is.
// 0, or -1 with a message on standard error when the current settings cannot be read.
int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms);

// For runs that send the next request as soon as a reply is in: a read also ends at the Modbus
// end of frame once it holds a whole frame, and a USB adapter is asked to hand on what it
// receives at once rather than after its latency timer (where the driver allows; given back at
// serClose).
void serFast(ser_port *port);

// Returns once the bytes have left; the count written.
int serWrite(ser_port *port, const void *buf, int len);

// Up to max_len bytes under the time-outs of serInit; 0 when nothing came. Never more than
// came after the last request, less its echo; what came past max_len then is dropped, as the
// next request would drop it.
int serRead(ser_port *port, void *buf, int max_len);

// Drops everything received so far, except right after serWrite (see above).
void serPurge(ser_port *port);

// Closes the port if it is open; a closed port is left alone.
void serClose(ser_port *port);

// The platform-free part of the link, which both backends call.

// A new port: nothing known of its line; reads as serInit sets them.
void serLinkReset(ser_link *l);
// serInit has set the line up.
void serLinkSetUp(ser_link *l, uint32_t baud, uint32_t gap_ms);
// serWrite is sending this request: its copy may come back ahead of the reply.
void serEchoSent(ser_link *l, const void *request, int length);
// How long after the start of the write of length bytes serWrite looks for input that shows
// an echo, in microseconds; 0: once, when the write is done; -1: no need, the line echoes, or
// no way, the line's speed is not known.
int64_t serEchoWatchUs(const ser_link *l, int length);
// Where serEchoWatchUs gave a time: whether queued bytes, in elapsed_us after the start of the
// write of length bytes, can only be its echo: more than a device's reply could have brought
// by then (a drain may return late).
bool serEchoShows(const ser_link *l, int length, int64_t elapsed_us, int queued);
// Input came in while the request could still be on the wire.
void serEchoEarly(ser_link *l);
// Everything received has been dropped: no copy is looked for any more.
void serEchoForget(ser_link *l);
// How many bytes a read of max_len may take in: the echo still to come on top.
int serReadRoom(const ser_link *l, int max_len);
// After the got bytes a read holds in l->rx: the silence in microseconds after the last of
// them that ends the read, or -1 while they may be nothing but the echo (and stray bytes): the
// read then waits on, to its total time.
int64_t serReadSilenceUs(const ser_link *l, int got);
// At the end of a read of got bytes into l->rx: the echo taken out, and of the rest what the
// read hands on (above), at most max_len bytes, in buf; their count.
int serEchoCut(ser_link *l, int got, uint8_t *buf, int max_len);

// The line serInit asks for at baud.
ser_line serLineAsked(uint32_t baud);
// One line on standard error naming what the driver did not take, when it did not take all.
void serReportLine(const char *path, const ser_line &asked, const ser_line &got);

// The part of the serial link that is the same on every system: the local echo, and the report
// of settings the driver did not take.
#include "serial/ser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "modbus/modbus.h"

static_assert(sizeof(ser_echo::request) >= MODBUS_FRAME_LENGTH_MAX);

// A whole Modbus frame: more than address, function and CRC, and the CRC right.
static bool IsFrame(const uint8_t *b, int n)
{
    return n > 3 && crc_region(b, n - 2) == get16_le(b + n - 2);
}

void serEchoReset(ser_echo *e)
{
    e->length = 0;
    e->matched = -1;
    e->alone = false;
    e->line = SER_ECHO_UNKNOWN;
}

void serEchoSent(ser_echo *e, const void *request, int length)
{
    if (length <= 0 || length > static_cast<int>(sizeof e->request)) {
        e->matched = -1;
        return;
    }
    // The same request again is a resend: what its copy did last time still counts.
    e->alone = e->alone && length == e->length && memcmp(e->request, request, size_t(length)) == 0;
    memcpy(e->request, request, static_cast<size_t>(length));
    e->length = length;
    e->matched = 0;
}

void serEchoForget(ser_echo *e)
{
    e->matched = -1;
}

// How many of the got bytes go on as the copy of the request from where earlier reads left it.
static int Matching(const ser_echo *e, const uint8_t *buf, int got)
{
    const uint8_t *copy = e->request + e->matched;
    int n = std::min(got, e->length - e->matched);
    return static_cast<int>(std::mismatch(buf, buf + n, copy).first - buf);
}

bool serEchoHold(const ser_echo *e, const uint8_t *buf, int got)
{
    if (e->matched < 0 || e->line == SER_ECHO_NONE || got <= 0 || Matching(e, buf, got) != got)
        return false;
    // A line that echoes may pause inside its echo; elsewhere only a whole copy is in doubt.
    return e->line == SER_ECHO_SEEN || e->matched + got == e->length;
}

int serEchoCut(ser_echo *e, uint8_t *buf, int got)
{
    if (e->matched < 0 || got <= 0)
        return got;
    const int want = e->length - e->matched; // bytes of the copy still to come
    const int same = Matching(e, buf, got);
    const bool first = e->matched == 0;
    if (same < std::min(got, want)) {
        // Not a copy: the reply itself, or an echo broken on the way.
        if (first && e->line == SER_ECHO_UNKNOWN && IsFrame(buf, got))
            e->line = SER_ECHO_NONE;
        e->matched = -1;
        return got;
    }
    if (got < want) {
        // The read ended inside a copy; the rest of it may come in the next one.
        e->matched += got;
        return e->line == SER_ECHO_SEEN ? 0 : got;
    }
    e->matched = -1;
    const int rest = got - want;
    if (rest > 0 && (e->line == SER_ECHO_SEEN || IsFrame(buf + want, rest))) {
        e->line = SER_ECHO_SEEN;
        memmove(buf, buf + want, static_cast<size_t>(rest));
        return rest;
    }
    if (rest > 0)
        return got; // a reply that starts like its request: a range CRC may
    if (e->line == SER_ECHO_SEEN)
        return 0; // the echo, and no reply to it within the read's time
    // A whole copy and nothing after it for the read's full time: an echo whose reply was
    // lost, or a device that answers with its request byte for byte. Only the request sent
    // again tells: the same again means the latter, on a line that does not echo.
    if (!first || e->line == SER_ECHO_NONE)
        return got;
    if (!e->alone) {
        e->alone = true;
        return 0;
    }
    e->line = SER_ECHO_NONE;
    return got;
}

static std::string Shape(const ser_line &l)
{
    char text[40];
    snprintf(text, sizeof text, "%d%c%d", l.data_bits, l.parity, l.stop_bits);
    return text;
}

void serReportLine(const char *path, const ser_line &asked, const ser_line &got)
{
    std::string missed;
    auto item = [&](bool taken, const std::string &what) {
        if (!taken)
            missed += (missed.empty() ? "" : ", ") + what;
    };
    const char *parity = asked.parity == 'E' ? "even" : asked.parity == 'O' ? "odd" : "no";
    item(got.baud == asked.baud, std::to_string(asked.baud) + " baud");
    item(got.data_bits == asked.data_bits, std::to_string(asked.data_bits) + " data bits");
    item(got.parity == asked.parity, std::string(parity) + " parity");
    item(got.stop_bits == asked.stop_bits, asked.stop_bits == 1 ? "1 stop bit" : "2 stop bits");
    item(got.flow_control == asked.flow_control, "no flow control");
    item(got.lines_off == asked.lines_off, "DTR/RTS off");
    item(got.timeouts == asked.timeouts, "read time-outs");
    if (missed.empty())
        return;
    std::string runs = Shape(got);
    if (got.baud != asked.baud)
        runs += " at " + std::to_string(got.baud) + " baud";
    if (got.flow_control)
        runs += " with flow control";
    fprintf(stderr, "Port %s: %s not set, the line runs %s\n", path ? path : "?", missed.c_str(),
            runs.c_str());
}

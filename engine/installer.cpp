#include "engine/installer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "engine/ui.h"
#include "modbus/modbus.h"
#include "system/os.h"

installer_t installer;

void status(const char *fmt, ...)
{
    static char text[100];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    uiStatus(text);
}

void Terminate(const char *Error)
{
    unsigned long code = osLastError();
    static constexpr char tail[] = "\n\n The program will now abort\n\n\n";
    char msg[1000];
    size_t n = 0;
    auto fit = [&](int written) {
        if (written > 0)
            n = std::min(n + static_cast<size_t>(written), sizeof msg - 1);
    };

    fit(snprintf(msg, sizeof msg, "\n\nAn Error has occurred as follows:\n          %s\n", Error));
    if (code != 0) {
        fit(snprintf(msg + n, sizeof msg - n, "Error number %ld reported\n",
                     static_cast<long>(code)));
        // The system's text gets what is left once the closing lines have their room.
        if (sizeof msg - n > sizeof tail)
            fit(osErrorText(code, msg + n, static_cast<int>(sizeof msg - n - (sizeof tail - 1))));
    }
    snprintf(msg + n, sizeof msg - n, "%s", tail);

    uiMessageBox("Terminate Program", msg);
    uiBeep(200, 1000);
    exit(1);
}

int prog_init(T t)
{
    conPrint(" . Opening serial port %s at %ld baud\n", t->port, static_cast<long>(t->baud));
    if (serOpen(&t->h_port, t->port) != 0)
        Terminate("Unable to open serial port. In use already, or not present");
    serInit(&t->h_port, static_cast<uint32_t>(t->baud), SERIAL_READ_TIMEOUT);
    t->state = STATE_IDLE;
    return 0;
}

static void send(T t)
{
    serWrite(&t->h_port, t->buf, t->len);
    serPurge(&t->h_port);
    conPrint("frame length %4d bytes sent\n", t->len);
}

void tran(T t, state_t new_state)
{
    switch (new_state) {
    case STATE_PROG_INIT:
        t->image_block_length = std::min<uint32_t>(t->image_length, MODBUS_PROG_BLOCKSIZE_MAX);
        t->image_current_offset = 0;
        break;
    case STATE_PROG: {
        osTimeoutms(&t->response_timer, 0);
        unsigned address = t->image_base_address + t->image_current_offset;
        conPrint("programming address %#x, block size %#x, from image offset %#x\n", address,
                 t->image_block_length, t->image_current_offset);
        status("programming %#x", address);
        program_block(t, address, static_cast<int>(t->image_block_length),
                      t->image + t->image_current_offset);
        send(t);
        break;
    }
    case STATE_VERIFY:
        osTimeoutms(&t->response_timer, 0);
        conPrint("Verifying\n");
        status("Verifying...");
        crc_block(t, t->image_base_address, static_cast<int>(t->image_length));
        send(t);
        break;
    case STATE_TARGET_RESET:
        osTimeoutms(&t->response_timer, 0);
        conPrint("Resetting target\n");
        status("Resetting target...");
        reset(t);
        send(t);
        break;
    case STATE_COMPLETE:
        status("Programming Completed OK");
        break;
    case STATE_IDLE:
    case STATE_VERIFY_FAILED:
        break;
    }
    t->state = new_state;
}

// One step of a state that waits for a reply: resend once the response time is up, then read.
// 1 when a good reply is in the buffer.
static int reply_received(T t)
{
    if (osTimeoutms(&t->response_timer, MODBUS_RESPONSE_TIMEOUT))
        tran(t, t->state);
    t->len = serRead(&t->h_port, t->buf, t->max);
    if (!ok(t))
        return 0;
    conPrint("frame length %4d bytes received & OK\n", t->len);
    return 1;
}

static void next_block(T t)
{
    t->image_current_offset += t->image_block_length;
    if (t->image_current_offset < t->image_length) {
        uint32_t remainder = t->image_length - t->image_current_offset;
        if (remainder < t->image_block_length)
            t->image_block_length = remainder;
        tran(t, STATE_PROG);
    } else {
        tran(t, STATE_VERIFY);
    }
}

static void compare_crcs(T t)
{
    unsigned local = crc_region(t->image, static_cast<int>(t->image_length));
    unsigned remote = 0;
    const bool carried = remote_crc(t, &remote);
    if (carried)
        conPrint("Remote CRC %#x\n", remote);
    else
        conPrint("Remote CRC missing: reply of %d bytes\n", t->len);
    conPrint("Local  CRC %#x\n", local);
    if (carried && remote == local) {
        conPrint("CRCs match\n");
        status("Program Verified OK");
        tran(t, t->verify_only ? STATE_COMPLETE : STATE_TARGET_RESET);
    } else {
        conPrint("CRC FAIL\n");
        status("FAILED");
        tran(t, STATE_VERIFY_FAILED);
    }
}

void do_program(T t)
{
    switch (t->state) {
    case STATE_IDLE:
        tran(t, t->verify_only ? STATE_VERIFY : STATE_PROG_INIT);
        break;
    case STATE_PROG_INIT:
        tran(t, STATE_PROG);
        break;
    case STATE_PROG:
        if (reply_received(t))
            next_block(t);
        break;
    case STATE_VERIFY:
        if (reply_received(t))
            compare_crcs(t);
        break;
    case STATE_TARGET_RESET:
        if (reply_received(t))
            tran(t, STATE_COMPLETE);
        break;
    case STATE_VERIFY_FAILED:
    case STATE_COMPLETE:
        break;
    }
}

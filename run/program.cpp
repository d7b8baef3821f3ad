#include "run/program.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "console/console.h"
#include "engine/ui.h"
#include "modbus/modbus.h"
#include "run/about.h"
#include "run/window.h"
#include "system/os.h"
#include "system/system.h"

unsigned ImageCrc(const void *image, uint32_t length)
{
    return crc_region(image, static_cast<int>(length));
}

std::string CrcText(unsigned crc)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04x", crc & 0xFFFFu);
    return text;
}

void StartLog(unsigned image_crc)
{
    const std::tm t =
        sysUtc(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
    char date[40];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &t);
    conLogStart(sysLogPath(), std::string("== vek-update ") + ABOUT_VERSION + " started " + date +
                                  ", image CRC-16 " + CrcText(image_crc));
}

void PrepareRecord(T t)
{
    t->max = MODBUS_FRAME_LENGTH_MAX;
    t->buf = new uint8_t[static_cast<size_t>(t->max)];
    t->node = MODBUS_NODE_DEFAULT;
}

void TakeImage(T t, const void *image, uint32_t length)
{
    assert(image);
    t->image_length = length;
    assert(t->image_length);
    t->image = new uint8_t[length];
    memcpy(t->image, image, length);
    t->image_base_address = IMAGE_BASE_ADDRESS;
    conPrint("\nFlash Image Size %d bytes\n", static_cast<int>(t->image_length));
}

// Starts a run on port (its device path). A port still held by an earlier run is closed
// first. false, with a status text, when no port is given: no run starts.
static bool ProgramPressed(T t, const char *port)
{
    if (port == nullptr || *port == '\0') {
        status("No port selected");
        return false;
    }
    // Without this a run abandoned mid-way, or after FAILED, would hold its port until the
    // program ends, and pressing Program again on it would be fatal.
    serClose(&t->h_port);

    static std::string path; // the list entry may go away while the run goes on
    path = port;
    t->port = path.c_str();
    t->baud = static_cast<int32_t>(LINE_BAUD);
    prog_init(t);
    status("Contacting Device...");
    return true;
}

void RunCompleted(T t)
{
    uiBeep(2000, 100);
    status("Programming Completed");
    serClose(&t->h_port);
}

static bool Waiting(T t)
{
    return t->state == STATE_PROG || t->state == STATE_VERIFY || t->state == STATE_TARGET_RESET;
}

void WatchStart(run_watch *w, T t)
{
    w->state = t->state;
    w->offset = t->image_current_offset;
    w->sent_at = t->response_timer;
    w->quiet_since = osTickms();
    w->resends = 0;
}

static void WatchStep(run_watch *w, T t)
{
    // The engine moves to the next block or state only on a good reply (or, at the start, on
    // its own); a request sent again restarts the response timer and nothing else.
    if (t->state != w->state || t->image_current_offset != w->offset) {
        WatchStart(w, t);
        return;
    }
    if (t->response_timer != w->sent_at) {
        w->sent_at = t->response_timer;
        w->resends++;
    }
}

double AcknowledgedShare(T t)
{
    if (t->verify_only)
        return 0; // nothing is written
    switch (t->state) {
    case STATE_IDLE:
    case STATE_PROG_INIT:
        return 0;
    case STATE_PROG:
        return t->image_length == 0 ? 0 : double(t->image_current_offset) / t->image_length;
    case STATE_VERIFY:
    case STATE_VERIFY_FAILED:
    case STATE_TARGET_RESET:
    case STATE_COMPLETE:
        break;
    }
    return 1;
}

int SilentResends(const run_watch *w, T t)
{
    bool long_wait = static_cast<uint32_t>(osTickms() - w->quiet_since) > SILENCE_HINT_MS;
    return Waiting(t) && long_wait ? w->resends : 0;
}

uint32_t QuietMs(const run_watch *w)
{
    return osTickms() - w->quiet_since;
}

bool DeviceCrc(T t, unsigned *crc)
{
    switch (t->state) {
    case STATE_VERIFY_FAILED:
        // Nothing has been sent since: the buffer still holds the range-CRC reply.
        return remote_crc(t, crc) != 0;
    case STATE_TARGET_RESET:
    case STATE_COMPLETE:
        *crc = ImageCrc(t->image, t->image_length);
        return true;
    case STATE_IDLE:
    case STATE_PROG_INIT:
    case STATE_PROG:
    case STATE_VERIFY:
        break;
    }
    return false;
}

std::string CrcMismatch(T t)
{
    unsigned device = 0;
    if (!DeviceCrc(t, &device))
        return "The device's reply carried no CRC";
    return "The device's CRC " + CrcText(device) + " differs from the image's " +
           CrcText(ImageCrc(t->image, t->image_length));
}

bool RunStart(run_t *r, const char *port)
{
    if (!ProgramPressed(r->t, port))
        return false;
    if (r->fast)
        serFast(&r->t->h_port);
    WatchStart(&r->watch, r->t);
    return true;
}

run_end_t RunStep(run_t *r)
{
    if (r->give_up_ms > 0 && QuietMs(&r->watch) > r->give_up_ms)
        return RUN_NO_ANSWER;
    do_program(r->t);
    WatchStep(&r->watch, r->t);
    switch (r->t->state) {
    case STATE_COMPLETE:
        return RUN_COMPLETED;
    case STATE_VERIFY_FAILED:
        return RUN_VERIFY_FAILED;
    case STATE_IDLE:
    case STATE_PROG_INIT:
    case STATE_PROG:
    case STATE_VERIFY:
    case STATE_TARGET_RESET:
        break;
    }
    return RUN_GOES_ON;
}

void RunPace(const run_t *r)
{
    // The window's pace: the next step a period after this one ended.
    if (!r->fast)
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
}

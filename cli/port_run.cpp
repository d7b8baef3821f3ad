// One port's run, in a process of its own: the engine's run as the window steps it, its
// progress and summary for the command, and its line in the report.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/command.h"
#include "console/console.h"
#include "ports/ports.h"
#include "run/program.h"
#include "system/os.h"
#include "system/system.h"

namespace
{

struct port_run {
    std::string port; // as given
    std::string path; // as opened
    std::string unit;
    std::string report; // --report, or ""
    std::chrono::system_clock::time_point start;
    uint32_t started_ms;
    std::string status; // the status text last shown
    std::string progress;
    run_t run;
    bool over;
};

port_run *the_run; // the run of this process, for the fatal box

// Why the run did not program or verify the device, in words; "" when it did. A port that did
// not open has its cause from the open.
std::string Cause(const port_run *r, outcome_t result)
{
    char text[160];
    switch (result) {
    case VERIFY_FAILED:
    case DIFFERS:
        return CrcMismatch(r->run.t);
    case NO_ANSWER:
        snprintf(text, sizeof text,
                 "No good reply from the device for %.1f s (%d requests sent again)",
                 QuietMs(&r->run.watch) / 1000.0, r->run.watch.resends);
        return text;
    case INTERRUPTED:
        return "Interrupted (Ctrl-C, SIGTERM or the console closed) at \"" + r->status + "\"";
    case PROGRAMMED:
    case VERIFIED:
    case PORT_ERROR:
    case PROCESS_ENDED:
        break;
    }
    return "";
}

// The end of the run: its line in the report, made safe, then its summary for the command; the
// exit code.
int Finish(port_run *r, outcome_t result, const std::string &cause)
{
    r->over = true;
    T t = &installer;
    serClose(&t->h_port);
    unit_record record{
        .port = r->port,
        .path = r->path,
        .unit = r->unit,
        .start = r->start,
        .end = std::chrono::system_clock::now(),
        .outcome = result,
        .exit_code = OUTCOMES[result].code,
        .cause = cause,
        .device_reported = false,
        .device_crc = 0,
        .seconds = static_cast<uint32_t>(osTickms() - r->started_ms) / 1000.0,
        .bytes = static_cast<uint32_t>(std::lround(AcknowledgedShare(t) * t->image_length)),
        .requests = t->h_port.link.requests,
        .resends = t->h_port.link.resends,
    };
    record.device_reported = DeviceCrc(t, &record.device_crc);
    int code = record.exit_code;
    std::string error;
    if (!r->report.empty() && !WriteRecord(r->report, record, t->image, t->image_length, &error)) {
        conError("%s\n", error.c_str());
        code = EXIT_REPORT;
    }

    // Only now: a unit the operator sees done is a unit on record.
    char summary[300];
    snprintf(summary, sizeof summary, "%s, %u bytes in %.2f s, %d resends, device CRC %s",
             OUTCOMES[result].said, record.bytes, record.seconds, record.resends,
             record.device_reported ? CrcText(record.device_crc).c_str() : "none");
    std::string line = MARK + std::string("S") + PortLabel(r->port, r->unit) + ": " + summary;
    if (!cause.empty())
        line += " (" + cause + ")";
    printf("%s\n", line.c_str());
    fflush(stdout);
    return code;
}

// A progress line for the command when it changed: share acknowledged, resends, status.
void Progress(port_run *r)
{
    char text[200];
    snprintf(text, sizeof text, "%cP%.4f %d %s", MARK, AcknowledgedShare(&installer),
             installer.h_port.link.resends, r->status.c_str());
    if (r->progress != text) {
        r->progress = text;
        printf("%s\n", text);
        fflush(stdout);
    }
}

int End(port_run *r, outcome_t result)
{
    return Finish(r, result, Cause(r, result));
}

} // namespace

int RunOnePort(const options &o, const void *image, uint32_t length)
{
    sysCatchInterrupts();
    // The command reads this process's two streams through one pipe: standard error's lines
    // come tagged, in their place among the others.
    conErrorsTagged(std::string(1, MARK) + "E");
    static port_run r;
    r.port = o.ports.front();
    r.path = sysPortPath(r.port);
    r.unit = o.units.front();
    r.report = o.report;
    r.start = std::chrono::system_clock::now();
    r.started_ms = osTickms();
    the_run = &r;
    T t = &installer;
    PrepareRecord(t);
    TakeImage(t, image, length);
    t->verify_only = o.verify_only;
    r.run = {t, o.fast, static_cast<uint32_t>(o.give_up_s * 1000), {}};
    RunStart(&r.run, r.path.c_str()); // a port that cannot be opened ends here, in CliBox
    for (;;) {
        Progress(&r);
        if (sysInterrupts() > 0)
            return End(&r, INTERRUPTED);
        switch (RunStep(&r.run)) {
        case RUN_GOES_ON:
            break;
        case RUN_COMPLETED:
            if (o.verify_only)
                return End(&r, VERIFIED);
            RunCompleted(t);
            return End(&r, PROGRAMMED);
        case RUN_VERIFY_FAILED:
            Progress(&r);
            return End(&r, o.verify_only ? DIFFERS : VERIFY_FAILED);
        case RUN_NO_ANSWER:
            return End(&r, NO_ANSWER);
        }
        RunPace(&r.run);
    }
}

bool CliStatus(const char *text)
{
    if (the_run == nullptr)
        return false;
    the_run->status = text;
    return true;
}

bool CliBox(const char *caption, const char *text)
{
    if (the_run == nullptr)
        return false;
    // Taken first: the lines below may leave another error behind.
    const unsigned long error = osLastError();
    // The window's fatal box, here on standard error; the program ends right after it, with
    // the code of a port not opened, unless its record is not safe.
    conError("%s:%s", caption, text);
    if (!the_run->over &&
        Finish(the_run, PORT_ERROR, PortOpenCause(the_run->path, error)) == EXIT_REPORT)
        exit(EXIT_REPORT);
    return true;
}

bool CliBeep()
{
    return the_run != nullptr;
}

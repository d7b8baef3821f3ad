// One port's run, in a process of its own: the engine's run as the window steps it, its
// progress and summary for the command, and its line in the report.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/command.h"
#include "console/console.h"
#include "ports/ports.h"
#include "run/about.h"
#include "run/program.h"
#include "system/os.h"
#include "system/system.h"

namespace
{

using Clock = std::chrono::system_clock;

enum outcome_t { PROGRAMMED, PORT_ERROR, VERIFY_FAILED, NO_ANSWER, INTERRUPTED };

struct outcome_text {
    cli_exit code;
    const char *said;     // in the summary line
    const char *recorded; // in the report
};

const outcome_text OUTCOMES[] = {
    {EXIT_PROGRAMMED, "programmed", "programmed"},
    {EXIT_PORT, "port not opened", "port-error"},
    {EXIT_VERIFY_FAILED, "verification failed", "verification-failed"},
    {EXIT_NO_ANSWER, "no answer", "no-answer"},
    {EXIT_INTERRUPTED, "interrupted", "interrupted"},
};

struct port_run {
    std::string port;   // as given
    std::string path;   // as opened
    std::string report; // --report, or ""
    Clock::time_point start;
    uint32_t started_ms;
    std::string status; // the status text last shown
    std::string progress;
    run_t run;
    bool over;
};

port_run *the_run; // the run of this process, for the fatal box

std::string Utc(Clock::time_point t)
{
    const std::tm tm = sysUtc(Clock::to_time_t(t));
    char text[80];
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<int>(ms.count() % 1000));
    return text;
}

// The end of the run: its summary for the command, its report line; the exit code.
int Finish(port_run *r, outcome_t result)
{
    r->over = true;
    T t = &installer;
    serClose(&t->h_port);
    const outcome_text &o = OUTCOMES[result];
    const double seconds = static_cast<uint32_t>(osTickms() - r->started_ms) / 1000.0;
    const auto bytes = static_cast<uint32_t>(std::lround(AcknowledgedShare(t) * t->image_length));
    const unsigned image_crc = ImageCrc(t->image, t->image_length);
    unsigned device = 0;
    const bool reported = DeviceCrc(t, &device);
    const int requests = t->h_port.link.requests, resends = t->h_port.link.resends;

    char summary[300];
    snprintf(summary, sizeof summary, "%s: %s, %u bytes in %.2f s, %d resends, device CRC %s",
             r->port.c_str(), o.said, bytes, seconds, resends,
             reported ? CrcText(device).c_str() : "none");
    std::string line = MARK + std::string("S") + summary;
    if (result == VERIFY_FAILED)
        line += " (image " + CrcText(image_crc) + ")";
    printf("%s\n", line.c_str());
    fflush(stdout);

    if (!r->report.empty()) {
        nlohmann::ordered_json adapter = nlohmann::ordered_json::object();
        for (const auto &[name, value] : AdapterFacts(r->path))
            adapter[name] = value;
        nlohmann::ordered_json j;
        j["port"] = r->port;
        j["start"] = Utc(r->start);
        j["end"] = Utc(Clock::now());
        j["adapter"] = adapter;
        j["image"] = {{"name", std::string(ABOUT_IMAGE_NAME)},
                      {"size", t->image_length},
                      {"crc16", CrcText(image_crc)}};
        j["device_crc16"] = reported ? nlohmann::ordered_json(CrcText(device)) : nullptr;
        j["outcome"] = o.recorded;
        j["exit_code"] = static_cast<int>(o.code);
        j["seconds"] = std::round(seconds * 1000) / 1000;
        j["bytes"] = bytes;
        j["requests"] = requests;
        j["resends"] = resends;
        j["program"] = std::string("vek-update ") + ABOUT_VERSION;
        // A path is whatever bytes the system allows: what is no UTF-8 is replaced, as JSON
        // holds text only.
        const std::string text =
            j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        if (!sysAppend(r->report, text))
            conError("vek-update: cannot append to the report %s\n", r->report.c_str());
    }
    return o.code;
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

} // namespace

int RunOnePort(const options &o, const void *image, uint32_t length)
{
    sysCatchInterrupts();
    static port_run r;
    r.port = o.ports.front();
    r.path = sysPortPath(r.port);
    r.report = o.report;
    r.start = Clock::now();
    r.started_ms = osTickms();
    the_run = &r;
    T t = &installer;
    PrepareRecord(t);
    TakeImage(t, image, length);
    r.run = {t, o.fast, static_cast<uint32_t>(o.give_up_s * 1000), {}};
    RunStart(&r.run, r.path.c_str()); // a port that cannot be opened ends here, in CliBox
    for (;;) {
        Progress(&r);
        if (sysInterrupts() > 0)
            return Finish(&r, INTERRUPTED);
        switch (RunStep(&r.run)) {
        case RUN_GOES_ON:
            break;
        case RUN_COMPLETED:
            RunCompleted(t);
            return Finish(&r, PROGRAMMED);
        case RUN_VERIFY_FAILED:
            Progress(&r);
            return Finish(&r, VERIFY_FAILED);
        case RUN_NO_ANSWER:
            return Finish(&r, NO_ANSWER);
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
    // The window's fatal box, here on standard error; the program ends right after it.
    conError("%s:%s", caption, text);
    if (!the_run->over)
        Finish(the_run, PORT_ERROR);
    return true;
}

bool CliBeep()
{
    return the_run != nullptr;
}

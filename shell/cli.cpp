// The command line. A run of several ports is one process for each port, started here: the
// engine keeps one record and ends its process on a fatal error, so ports never share one.
// Each such process writes the console log of its run, as the window prints it, and the lines
// that only the command reads start with MARK: its progress and its summary. The command puts
// every port's lines out whole, each with its port when there are several, keeps a live
// display of each port's progress at the foot of a terminal, and says how it all ended in its
// exit code.
#include "shell/cli.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "engine/installer.h"
#include "serial/os.h"
#include "shell/about.h"
#include "shell/log.h"
#include "shell/ports.h"
#include "shell/program.h"
#include "shell/system.h"

namespace
{

using Clock = std::chrono::system_clock;

// Set in the environment of the process started for each port.
const char ONE_PORT[] = "VEK_UPDATE_ONE_PORT";
// Starts the lines a port's process writes for the command alone.
const char MARK = '\x1e';
// How long the ports have to end after an interrupt before they are asked again.
constexpr int STOP_GRACE_S = 5;

const char HELP[] = R"(Usage: vek-update [OPTION]...
Write the firmware image this program carries into target devices over serial lines
(Modbus RTU, slave 4, 115200 baud 8E1), check each device's CRC-16 and reset it.

Without options the program opens its window. With --port it programs the ports given
and ends: no window opens and no display is needed.

Options:
  --port PORT        program the device on PORT; give it again for more ports, all
                     programmed at the same time, each in a process of its own (one
                     failing does not stop the others). Linux: a device path, such as
                     /dev/ttyUSB0 or a /dev/serial/by-id/ link. Windows: COM3, com12 or
                     \\.\COM12
  --fast             send each request as soon as the reply to the one before is in,
                     instead of at the window's pace of one step every 100 ms; a reply
                     then ends at the Modbus end of frame, and a USB adapter is asked
                     for low latency
  --give-up SECONDS  end a run as "no answer" after SECONDS without a good reply
                     (default @GIVE_UP@; 0: never)
  --report FILE      append one line of JSON for each device and run to FILE: the
                     port and its adapter, start and end (UTC), the image, the CRC-16
                     the device reported, the outcome and exit code, the seconds, the
                     requests sent and how many were sent again
  --list             print the ports the window would offer, one a line, with what
                     the system tells of each; why a serial device is left out goes
                     to standard error
  --version          print the version and the image: its name, size and CRC-16
  --help             print this help

The console log of one port is what the window prints, then one summary line:
port, outcome, bytes, seconds, resends and the device's CRC. With several ports
each line starts with its port. On a terminal a live display at the foot shows
each port's progress; in a pipe or a file the output holds plain lines only.

The console log, the window's and that of runs from the command line, is also
kept in
  @LOG@
up to about 1 MiB; the older log is then kept once, as console.log.1.

Exit status:
  0  every device was programmed, verified and reset
  1  a port could not be opened or set up
  2  a usage error (or, for the window, no display)
  3  verification failed: a device's CRC-16 differs from the image's
  4  no answer: a device gave no good reply for the --give-up time
  5  interrupted (Ctrl-C, SIGTERM, or the console closed); every port is closed
     and each run's report line is written
With several ports the status is that of the first port, in the order given,
that was not programmed; 5 when the command was interrupted.
)";

struct options {
    std::vector<std::string> ports;
    bool fast = false;
    double give_up_s = GIVE_UP_DEFAULT_S;
    std::string report;
    bool list = false, version = false, help = false;
};

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

int Usage(const std::string &what)
{
    fprintf(stderr, "vek-update: %s (see --help)\n", what.c_str());
    return EXIT_USAGE;
}

bool Wrong(const std::string &what)
{
    Usage(what);
    return false;
}

// The options; false with a usage message on standard error when they are wrong.
bool Parse(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i], value;
        bool given = false;
        if (size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt.resize(eq);
            given = true;
        }
        const bool takes = opt == "--port" || opt == "--give-up" || opt == "--report";
        if (takes && !given) {
            if (i + 1 >= argc)
                return Wrong(opt + " needs a value");
            value = argv[++i];
        } else if (!takes && given) {
            return Wrong(opt + " takes no value");
        }
        if (opt == "--port") {
            if (value.empty())
                return Wrong("--port needs a port");
            o->ports.push_back(value);
        } else if (opt == "--give-up") {
            char *end = nullptr;
            o->give_up_s = strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(o->give_up_s >= 0 && o->give_up_s <= 1e6))
                return Wrong("--give-up needs seconds, 0 or more: " + value);
        } else if (opt == "--report") {
            if (value.empty())
                return Wrong("--report needs a file");
            o->report = value;
        } else if (opt == "--fast") {
            o->fast = true;
        } else if (opt == "--list") {
            o->list = true;
        } else if (opt == "--version") {
            o->version = true;
        } else if (opt == "--help" || opt == "-h") {
            o->help = true;
        } else {
            return Wrong("unknown option " + opt);
        }
    }
    for (size_t i = 0; i < o->ports.size(); i++) {
        for (size_t k = 0; k < i; k++) {
            if (sysPortPath(o->ports[k]) == sysPortPath(o->ports[i]))
                return Wrong("port given twice: " + o->ports[i]);
        }
    }
    if (!o->ports.empty() && (o->list || o->version))
        return Wrong("--port does not go with --list or --version");
    return true;
}

void Help()
{
    std::string text = HELP;
    text.replace(text.find("@LOG@"), 5, SYS_LOG_PLACE);
    char give_up[16];
    snprintf(give_up, sizeof give_up, "%g", GIVE_UP_DEFAULT_S);
    text.replace(text.find("@GIVE_UP@"), 9, give_up);
    fputs(text.c_str(), stdout);
}

// What a device, a driver or a port's name put into a line is no command for the terminal.
std::string Printable(std::string text)
{
    for (char &c : text) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            c = '?';
    }
    return text;
}

void Version(const void *image, uint32_t length)
{
    printf("vek-update %s\nFirmware image: %s, %u bytes, CRC-16 %s\n", ABOUT_VERSION,
           ABOUT_IMAGE_NAME, static_cast<unsigned>(length),
           CrcText(ImageCrc(image, length)).c_str());
}

// The ports the window would offer, and on standard error why a serial device is left out.
void List()
{
    std::vector<std::string> left_out;
    for (const port_info &p : ProbePorts("", &left_out)) {
        std::string description = p.description;
        std::replace(description.begin(), description.end(), '\n', ';');
        printf("%s%s%s\n", Printable(p.path).c_str(), description.empty() ? "" : "\t",
               Printable(description).c_str());
    }
    for (const std::string &line : left_out)
        fprintf(stderr, "%s\n", Printable(line).c_str());
}

// ---- one port, in a process of its own ----

struct port_run {
    std::string port;   // as given
    std::string path;   // as opened
    std::string report; // --report, or ""
    Clock::time_point start;
    uint32_t started_ms;
    std::string status; // the status text last shown
    std::string progress;
    run_watch watch;
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
            fprintf(stderr, "vek-update: cannot append to the report %s\n", r->report.c_str());
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
    ProgramPressed(t, r.path.c_str()); // a port that cannot be opened ends here, in CliBox
    if (o.fast)
        serFast(&t->h_port);
    WatchStart(&r.watch, t);
    const auto give_up_ms = static_cast<uint32_t>(o.give_up_s * 1000);
    for (;;) {
        Progress(&r);
        if (sysInterrupted())
            return Finish(&r, INTERRUPTED);
        if (t->state == STATE_VERIFY_FAILED)
            return Finish(&r, VERIFY_FAILED);
        if (give_up_ms > 0 && QuietMs(&r.watch) > give_up_ms)
            return Finish(&r, NO_ANSWER);
        if (!TimerTick(t)) {
            RunCompleted(t);
            return Finish(&r, PROGRAMMED);
        }
        WatchStep(&r.watch, t);
        // The window's pace: the next step a period after this one ended.
        if (!o.fast)
            std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
    }
}

// ---- the command: a process for each port ----

struct port_view {
    std::string port;
    sys_child child;
    double share;
    int resends;
    std::string status;
    bool summed_up; // its summary line came
    int code;
};

struct shared_lines {
    std::mutex mu;
    std::condition_variable changed;
    std::deque<std::pair<size_t, std::string>> lines; // port, line; "" with ended: the end
    std::vector<bool> ended;
};

void ReadPort(shared_lines *q, size_t i, const sys_child *child)
{
    std::string pending;
    char buf[4096];
    for (int n; (n = sysReadChild(child, buf, sizeof buf)) > 0;) {
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            // A Windows runtime ends its lines with CR LF.
            const size_t end = nl > 0 && pending[nl - 1] == '\r' ? nl - 1 : nl;
            std::lock_guard<std::mutex> lock(q->mu);
            q->lines.emplace_back(i, pending.substr(0, end));
        }
        q->changed.notify_one();
    }
    std::lock_guard<std::mutex> lock(q->mu);
    if (!pending.empty())
        q->lines.emplace_back(i, pending);
    q->ended[i] = true;
    q->changed.notify_one();
}

// The live display: a line for each port, as wide as the terminal allows.
std::string Display(const std::vector<port_view> &ports, int columns)
{
    std::string out;
    for (const port_view &p : ports) {
        const int filled = static_cast<int>(p.share * 20 + 1e-9);
        char line[400];
        snprintf(line, sizeof line, "%s [%s%s] %3d%%  %d resends  %s", p.port.c_str(),
                 std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(20 - filled), '.').c_str(),
                 static_cast<int>(p.share * 100 + 1e-9), p.resends, p.status.c_str());
        // A line a column short of the terminal, a character a byte: no wrap to miscount.
        std::string shown = Printable(line);
        for (char &c : shown)
            c = static_cast<unsigned char>(c) >= 0x80 ? '?' : c;
        if (static_cast<int>(shown.size()) >= columns)
            shown.resize(static_cast<size_t>(std::max(columns - 1, 0)));
        out += shown + "\n";
    }
    return out;
}

int RunPorts(const options &o, const void *image, uint32_t length)
{
    LogStart(ImageCrc(image, length));
    sysCatchInterrupts();
    std::vector<port_view> ports;
    shared_lines q;
    q.ended.assign(o.ports.size(), false);
    std::vector<std::thread> readers;
    char give_up[32];
    snprintf(give_up, sizeof give_up, "%g", o.give_up_s);
    for (const std::string &port : o.ports) {
        std::vector<std::string> args = {"--port", port, "--give-up", give_up};
        if (o.fast)
            args.emplace_back("--fast");
        if (!o.report.empty())
            args.insert(args.end(), {"--report", o.report});
        port_view p{port, {}, 0, 0, "", false, EXIT_PORT};
        if (!sysSpawn(args, std::string(ONE_PORT) + "=1", &p.child)) {
            fprintf(stderr, "vek-update: cannot start the run on %s\n", port.c_str());
            p.child.process = -1;
        }
        ports.push_back(p);
    }
    for (size_t i = 0; i < ports.size(); i++) {
        if (ports[i].child.process == -1)
            q.ended[i] = true;
        else
            readers.emplace_back(ReadPort, &q, i, &ports[i].child);
    }

    const bool terminal = sysTerminalColumns() > 0;
    const bool several = ports.size() > 1;
    size_t drawn = 0; // display lines at the foot of the terminal
    int asked = 0;    // times the ports were asked to end
    std::chrono::steady_clock::time_point asked_at;
    for (bool all_ended = false; !all_ended;) {
        std::deque<std::pair<size_t, std::string>> lines;
        {
            std::unique_lock<std::mutex> lock(q.mu);
            auto ended = [&] {
                return std::all_of(q.ended.begin(), q.ended.end(), [](bool e) { return e; });
            };
            // Woken by new lines and by the last port's end; else each 100 ms, for the
            // interrupts and the display.
            q.changed.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return !q.lines.empty() || ended(); });
            lines.swap(q.lines);
            all_ended = ended();
        }
        // Asked once to end, each port closes what it holds; asked again, a port whose
        // process is stuck (in a write to a dead adapter, say) ends there and then.
        const auto now = std::chrono::steady_clock::now();
        if (sysInterrupted() &&
            (asked == 0 || (asked == 1 && now - asked_at > std::chrono::seconds(STOP_GRACE_S)))) {
            for (const port_view &p : ports)
                sysStopChild(&p.child);
            asked++;
            asked_at = now;
        }
        // All that goes to the terminal at once, in one write: the display taken away, the
        // new lines, the display again.
        std::string out, logged;
        for (auto &[i, line] : lines) {
            port_view &p = ports[i];
            if (!line.empty() && line[0] == MARK) {
                if (line.compare(1, 1, "P") == 0) {
                    char *end = nullptr;
                    p.share = strtod(line.c_str() + 2, &end);
                    p.resends = static_cast<int>(strtol(end, &end, 10));
                    p.status = *end == ' ' ? end + 1 : end;
                    continue;
                }
                line = line.substr(2); // the summary names its port itself
                p.summed_up = true;
            } else if (several) {
                line.insert(0, p.port + (line.empty() ? ":" : ": "));
            }
            out += Printable(line) + "\n";
        }
        logged = out;
        if (terminal) {
            std::string redraw = drawn > 0 ? "\x1b[" + std::to_string(drawn) + "A\r\x1b[J" : "";
            // Its width again each time: the terminal may have been resized.
            const std::string display = all_ended ? "" : Display(ports, sysTerminalColumns());
            out.insert(0, redraw);
            out += display;
            drawn = static_cast<size_t>(std::count(display.begin(), display.end(), '\n'));
        }
        if (!out.empty()) {
            fwrite(out.data(), 1, out.size(), stdout);
            fflush(stdout);
        }
        if (!logged.empty())
            LogWrite(logged);
    }
    for (std::thread &r : readers)
        r.join();
    int code = EXIT_PROGRAMMED;
    for (port_view &p : ports) {
        const int ended = p.child.process != -1 ? sysWaitChild(&p.child) : -1;
        // A port's process that ended without its summary (killed, or crashed) did not say how
        // its run went: it did not program its device.
        p.code = p.summed_up && ended >= 0 ? ended
                 : sysInterrupted()        ? EXIT_INTERRUPTED
                                           : EXIT_PORT;
        if (!p.summed_up) {
            const std::string line = Printable(p.port) + ": ended without a summary (" +
                                     (ended < 0 ? "killed" : "exit code " + std::to_string(ended)) +
                                     ")\n";
            fputs(line.c_str(), stdout);
            LogWrite(line);
        }
        if (code == EXIT_PROGRAMMED)
            code = p.code;
    }
    fflush(stdout);
    return sysInterrupted() ? EXIT_INTERRUPTED : code;
}

} // namespace

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
    fprintf(stderr, "%s:%s", caption, text);
    if (!the_run->over)
        Finish(the_run, PORT_ERROR);
    return true;
}

bool CliBeep()
{
    return the_run != nullptr;
}

int CommandLine(int argc, char **argv, const void *image, uint32_t length)
{
    options o;
    if (!Parse(argc, argv, &o))
        return EXIT_USAGE;
    if (o.help) {
        Help();
        return 0;
    }
    if (o.version) {
        Version(image, length);
        return 0;
    }
    if (o.list) {
        List();
        return 0;
    }
    if (o.ports.empty())
        return Usage("nothing to do: give --port, --list, --version or --help");
    const char *one = getenv(ONE_PORT);
    if (one != nullptr && strcmp(one, "1") == 0 && o.ports.size() == 1)
        return RunOnePort(o, image, length);
    return RunPorts(o, image, length);
}

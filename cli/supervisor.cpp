// The command: one process for each port, started here. The engine keeps one record and ends
// its process on a fatal error, so ports never share one. Each such process writes the console
// log of its run, as the window prints it, and the lines that only the command reads start
// with MARK: its progress, its summary, and what it says on standard error. The command puts
// every port's lines out whole, each on its stream and with its port when there are several,
// keeps a live display of each port's progress at the foot of a terminal, writes the record of
// a port whose process ended without one, tallies the units, and says how it all ended in its
// exit code.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/command.h"
#include "console/console.h"
#include "run/program.h"
#include "system/os.h"
#include "system/system.h"

namespace
{

// How long the ports have to end after an interrupt before they are asked again.
constexpr int STOP_GRACE_S = 5;

struct port_view {
    std::string port, unit;
    std::chrono::system_clock::time_point start;
    uint32_t started_ms;
    sys_child child;
    double share;
    int resends;
    std::string status;
    bool progressed; // a progress line came
    bool summed_up;  // its summary line came: its record is written
    bool finished;   // its process has ended, and what it did not do itself is done
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
            // A Windows runtime ends its lines with CR LF, and a system's error text that ends
            // with its own CR LF then with CR CR LF.
            size_t end = nl;
            while (end > 0 && pending[end - 1] == '\r')
                end--;
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

// How a port's run ended, as the tally names it, from what its process said and its exit code.
std::string Said(const port_view &p, bool verify_only)
{
    if (!p.summed_up)
        return OUTCOMES[PROCESS_ENDED].said;
    switch (p.code) {
    case EXIT_PROGRAMMED:
        return OUTCOMES[verify_only ? VERIFIED : PROGRAMMED].said;
    case EXIT_VERIFY_FAILED:
        return OUTCOMES[verify_only ? DIFFERS : VERIFY_FAILED].said;
    case EXIT_REPORT:
        return "no report line";
    default:
        for (const outcome_text &o : OUTCOMES) {
            if (o.code == p.code)
                return o.said;
        }
    }
    return "exit code " + std::to_string(p.code);
}

// One line for the station: how many units were programmed, how many failed, and which.
std::string Tally(const std::vector<port_view> &ports, bool verify_only)
{
    std::string failed;
    int good = 0, bad = 0;
    for (const port_view &p : ports) {
        if (p.summed_up && p.code == EXIT_PROGRAMMED) {
            good++;
            continue;
        }
        failed +=
            (bad++ == 0 ? ": " : "; ") + PortLabel(p.port, p.unit) + " " + Said(p, verify_only);
    }
    return "Tally: " + std::to_string(good) + " " +
           OUTCOMES[verify_only ? VERIFIED : PROGRAMMED].said + ", " + std::to_string(bad) +
           " failed" + failed;
}

// The record of a port whose process ended without writing its own: what the command saw of
// it. false, with the line that says why in *error, when it cannot be written.
bool RecordEnded(const options &o, const port_view &p, const std::string &how, const void *image,
                 uint32_t length, std::string *error)
{
    char progress[300];
    if (p.progressed)
        snprintf(progress, sizeof progress,
                 "its last progress: %d %% acknowledged, %d resends, status \"%s\"",
                 static_cast<int>(p.share * 100 + 1e-9), p.resends, p.status.c_str());
    else
        snprintf(progress, sizeof progress, "it had told no progress");
    const unit_record record{
        .port = p.port,
        .path = sysPortPath(p.port),
        .unit = p.unit,
        .start = p.start,
        .end = std::chrono::system_clock::now(),
        .outcome = PROCESS_ENDED,
        .exit_code = p.code,
        .cause = "The port's process ended before its run did (" + how + "); " + progress,
        .device_reported = false,
        .device_crc = 0,
        .seconds = static_cast<uint32_t>(osTickms() - p.started_ms) / 1000.0,
        .bytes = static_cast<uint32_t>(std::lround(p.share * length)),
        .requests = -1,
        .resends = p.progressed ? p.resends : -1,
    };
    return WriteRecord(o.report, record, image, length, error);
}

} // namespace

int RunPorts(const options &o, const void *image, uint32_t length)
{
    StartLog(ImageCrc(image, length));
    sysCatchInterrupts();
    std::vector<port_view> ports;
    shared_lines q;
    q.ended.assign(o.ports.size(), false);
    std::vector<std::thread> readers;
    char give_up[32];
    snprintf(give_up, sizeof give_up, "%g", o.give_up_s);
    for (size_t i = 0; i < o.ports.size(); i++) {
        std::vector<std::string> args = {"--port", o.ports[i], "--give-up", give_up};
        if (!o.units[i].empty())
            args.insert(args.end(), {"--unit", o.units[i]});
        if (o.fast)
            args.emplace_back("--fast");
        if (o.verify_only)
            args.emplace_back("--verify-only");
        if (!o.report.empty())
            args.insert(args.end(), {"--report", o.report});
        port_view p{};
        p.port = o.ports[i];
        p.unit = o.units[i];
        p.start = std::chrono::system_clock::now();
        p.started_ms = osTickms();
        p.code = EXIT_PORT;
        if (!sysSpawn(args, std::string(ONE_PORT) + "=1", &p.child)) {
            conError("vek-update: cannot start the run on %s\n", Printable(p.port).c_str());
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
    std::string drawn; // the display at the foot of the terminal
    int asked = 0;     // times the ports were asked to end
    bool safe = true;  // every record written
    std::chrono::steady_clock::time_point asked_at;
    for (bool all_ended = false; !all_ended;) {
        std::deque<std::pair<size_t, std::string>> lines;
        std::vector<bool> ended_now;
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
            ended_now = q.ended;
            all_ended = ended();
        }
        // Asked once to end, each port closes what it holds; asked again, on a second
        // interrupt or once the ports have had their time, a port whose process is stuck (in
        // a write to a dead adapter, say) ends there and then.
        const auto now = std::chrono::steady_clock::now();
        const int interrupts = sysInterrupts();
        if ((asked == 0 && interrupts > 0) ||
            (asked == 1 &&
             (interrupts > 1 || now - asked_at > std::chrono::seconds(STOP_GRACE_S)))) {
            for (port_view &p : ports) {
                if (p.child.process != -1)
                    sysStopChild(&p.child);
            }
            asked++;
            asked_at = now;
        }
        // All that goes to the terminal at once: the display taken away, each new line on its
        // stream, the display again. The log gets every line, --quiet or not.
        std::vector<std::pair<std::FILE *, std::string>> shown;
        std::string logged;
        auto show = [&shown](std::FILE *stream, const std::string &text) {
            if (shown.empty() || shown.back().first != stream)
                shown.emplace_back(stream, "");
            shown.back().second += text;
        };
        for (auto &[i, line] : lines) {
            port_view &p = ports[i];
            std::FILE *stream = stdout;
            bool quiet = o.quiet, named = false;
            if (!line.empty() && line[0] == MARK) {
                const char kind = line.size() > 1 ? line[1] : ' ';
                if (kind == 'P') {
                    char *end = nullptr;
                    p.share = strtod(line.c_str() + 2, &end);
                    p.resends = static_cast<int>(strtol(end, &end, 10));
                    p.status = *end == ' ' ? end + 1 : end;
                    p.progressed = true;
                    continue;
                }
                line.erase(0, 2);
                if (kind == 'S') {
                    p.summed_up = true;
                    named = true; // the summary names its port and unit itself
                    quiet = false;
                } else if (kind == 'E') {
                    stream = stderr;
                    quiet = false;
                }
            }
            if (several && !named)
                line.insert(0, p.port + (line.empty() ? ":" : ": "));
            const std::string text = Printable(line) + "\n";
            logged += text;
            if (!quiet)
                show(stream, text);
        }
        // A port's process that ended without its summary (killed, or crashed) did not say how
        // its run went, nor write its record: it did not program its device. Its record is
        // written here, as soon as it has ended.
        for (size_t i = 0; i < ports.size(); i++) {
            port_view &p = ports[i];
            if (!ended_now[i] || p.finished)
                continue;
            p.finished = true;
            std::string how = "could not be started";
            const int ended = p.child.process != -1 ? sysWaitChild(&p.child, &how) : -1;
            p.code = p.summed_up && ended >= 0 ? ended
                     : sysInterrupts() > 0     ? EXIT_INTERRUPTED
                                               : EXIT_PORT;
            if (p.summed_up)
                continue;
            const std::string text = Printable(PortLabel(p.port, p.unit) + ": " +
                                               OUTCOMES[PROCESS_ENDED].said + " (" + how + ")") +
                                     "\n";
            logged += text;
            show(stdout, text);
            std::string error;
            if (!o.report.empty() && !RecordEnded(o, p, how, image, length, &error)) {
                safe = false;
                logged += error + "\n";
                show(stderr, error + "\n");
            }
        }
        // The display taken away and drawn again under the new lines, or where it changed (its
        // width is asked again each time: the terminal may have been resized).
        const std::string display =
            terminal && !all_ended ? Display(ports, sysTerminalColumns()) : "";
        if (terminal && (!shown.empty() || display != drawn)) {
            const auto rows = std::count(drawn.begin(), drawn.end(), '\n');
            if (rows > 0)
                shown.insert(shown.begin(), {stdout, "\x1b[" + std::to_string(rows) + "A\r\x1b[J"});
            show(stdout, display);
            drawn = display;
        }
        for (const auto &[stream, text] : shown) {
            fwrite(text.data(), 1, text.size(), stream);
            fflush(stream);
        }
        if (!logged.empty())
            conLogWrite(logged);
    }
    for (std::thread &r : readers)
        r.join();
    int code = EXIT_PROGRAMMED;
    for (const port_view &p : ports) {
        safe = safe && p.code != EXIT_REPORT;
        if (code == EXIT_PROGRAMMED)
            code = p.code;
    }
    if (several)
        conPrint("%s\n", Printable(Tally(ports, o.verify_only)).c_str());
    fflush(stdout);
    return !safe ? EXIT_REPORT : sysInterrupts() > 0 ? EXIT_INTERRUPTED : code;
}

// The command: one process for each port, started here. The engine keeps one record and ends
// its process on a fatal error, so ports never share one. Each such process writes the console
// log of its run, as the window prints it, and the lines that only the command reads start
// with MARK: its progress and its summary. The command puts every port's lines out whole, each
// with its port when there are several, keeps a live display of each port's progress at the
// foot of a terminal, and says how it all ended in its exit code.
#include <algorithm>
#include <chrono>
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
#include "system/system.h"

namespace
{

// How long the ports have to end after an interrupt before they are asked again.
constexpr int STOP_GRACE_S = 5;

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
    for (const std::string &port : o.ports) {
        std::vector<std::string> args = {"--port", port, "--give-up", give_up};
        if (o.fast)
            args.emplace_back("--fast");
        if (!o.report.empty())
            args.insert(args.end(), {"--report", o.report});
        port_view p{port, {}, 0, 0, "", false, EXIT_PORT};
        if (!sysSpawn(args, std::string(ONE_PORT) + "=1", &p.child)) {
            conError("vek-update: cannot start the run on %s\n", port.c_str());
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
            conLogWrite(logged);
    }
    for (std::thread &r : readers)
        r.join();
    int code = EXIT_PROGRAMMED;
    for (port_view &p : ports) {
        const int ended = p.child.process != -1 ? sysWaitChild(&p.child) : -1;
        // A port's process that ended without its summary (killed, or crashed) did not say how
        // its run went: it did not program its device.
        p.code = p.summed_up && ended >= 0 ? ended
                 : sysInterrupts() > 0     ? EXIT_INTERRUPTED
                                           : EXIT_PORT;
        if (!p.summed_up) {
            const std::string line = Printable(p.port) + ": ended without a summary (" +
                                     (ended < 0 ? "killed" : "exit code " + std::to_string(ended)) +
                                     ")\n";
            conPrint("%s", line.c_str());
        }
        if (code == EXIT_PROGRAMMED)
            code = p.code;
    }
    fflush(stdout);
    return sysInterrupts() > 0 ? EXIT_INTERRUPTED : code;
}

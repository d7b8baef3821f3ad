// Runs inside the emulated machine as its only program, on the kernel's own drivers: each port
// is a 16550A (8250) or an FTDI adapter (ftdi_sio) whose far end is a simulated target on the
// host. It says what it finds on the console in lines starting "@vek", and exits with the
// number of its checks that failed:
//   @vek port NAME PATH                the lines that follow are of this port
//   @vek check NAME ok|FAIL DETAIL     a check made here
//   @vek figure NAME VALUE             a measured figure, for the benchmark or a reader
//   @vek run KIND STATE MS TICKS LAST  a programming run: final state, Program to its end
//
//   vek-uart-guest PORT JOB [PORT JOB]...   PORT: ttySN, or an FTDI adapter's serial number
// Every run must complete. JOB is a step, or steps joined by "+", on the same port. checks: the
// port's settings, modem lines and exclusive open, where a reply split by a silence ends a read,
// the purge after a send, serWrite's time, then a run; bench:N: serWrite's time, then N runs;
// fast: a run as the command line's --fast makes it, timed, with the driver's latency timer and
// flags before serFast, under it and after the close; any other word: one run as the window
// makes it. serRead's time-outs and max_len and serWrite's count, alike on every driver, are left
// to the pseudo-terminal tests.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "run/about.h"
#include "run/program.h"
#include "run/window.h"
#include "tests/ui_record.h"

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int REPLY = 15; // a range-CRC reply
// The one record of a shell, kept between runs. Before them the checks build their requests in
// its buffer with the engine's own builders, and read the replies into it.
installer_t rec{};
int failed = 0; // checks that failed

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

[[gnu::format(printf, 3, 4)]] void check(const char *name, bool good, const char *detail, ...)
{
    failed += !good;
    va_list ap;
    va_start(ap, detail);
    printf("@vek check %s %s ", name, good ? "ok" : "FAIL");
    vprintf(detail, ap);
    printf("\n");
    va_end(ap);
}

// The median of the samples taken of a figure.
void figure(const std::string &name, std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const double median = samples.empty() ? -1 : samples[samples.size() / 2];
    printf("@vek figure %s %.3f\n", name.c_str(), median);
}

// A range-CRC request over length bytes, sent as the engine sends one.
void ask(ser_port *port, int length)
{
    crc_block(&rec, IMAGE_BASE_ADDRESS, length);
    serWrite(port, rec.buf, rec.len);
}

// Reads a reply into the buffer from byte `got` on, until it is whole or a read comes back
// empty: the size of each read, "7,8,".
std::string readReply(ser_port *port, int got)
{
    std::string reads;
    for (int n = 1; n > 0 && got < REPLY; got += std::max(n, 0)) {
        n = serRead(port, rec.buf + got, MODBUS_FRAME_LENGTH_MAX - got);
        reads += std::to_string(n) + ",";
    }
    rec.len = got;
    return reads;
}

// The buffer holds a whole range-CRC reply over length bytes, its CRC good.
bool sound(uint32_t length)
{
    return rec.len == REPLY && ok(&rec) && rec.buf[2] == MEI_TYPE_PROG_VERIFY &&
           bitRd32BE(rec.buf + 7) == length;
}

// Waits until the driver holds at least n received bytes; false after 5 s. Checked each
// millisecond: poll() only tells that something is there, not how much.
bool holds(ser_port *port, int n)
{
    int queued = 0;
    for (auto t0 = Clock::now();
         ioctl(port->fd, FIONREAD, &queued) == 0 && queued < n && msSince(t0) < 5000;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return queued >= n;
}

void checks(ser_port *port, const char *path)
{
    termios t{}; // all zero, CS5 among them, where it cannot be read
    tcgetattr(port->fd, &t);
    check("settings",
          (t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR | CLOCAL | CREAD)) ==
                  (CS8 | PARENB | CLOCAL | CREAD) &&
              !(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP)) &&
              !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
              cfgetispeed(&t) == B115200 && cfgetospeed(&t) == B115200,
          "cflag=%#o iflag=%#o lflag=%#o oflag=%#o", t.c_cflag, t.c_iflag, t.c_lflag, t.c_oflag);

    // The kernel raises DTR and RTS on open; serInit is what takes them down.
    int lines = -1; // all of them up, unless read back
    ioctl(port->fd, TIOCMGET, &lines);
    check("modem-lines", !(lines & (TIOCM_DTR | TIOCM_RTS)), "lines=%#x", lines);

    int excl = 0;
    ioctl(port->fd, TIOCGEXCL, &excl);
    ser_port second{};
    const int rc = serOpen(&second, path);
    check("second-open", rc != 0 && errno == EBUSY && excl == 1, "rc=%d errno=%d tiocexcl=%d", rc,
          errno, excl);
    serClose(&second);

    // The target sends the first 7 bytes, then 100 ms of silence, then the last 8. A read must
    // end at that silence; a stall of the emulator may add ends elsewhere, or (longer than the
    // silence) join the two pieces, but not in every try.
    std::string reads;
    bool whole = true;
    for (int k = 0; k < 3; k++) {
        ask(port, 16);
        reads += readReply(port, 0) + " ";
        whole = whole && sound(16);
    }
    check("split", whole && reads.find("7,8, ") != std::string::npos, "reads=%s", reads.c_str());

    // A reply that has come in whole by the time the purge after its request runs (as a quick
    // target's does on a UART, whose drain returns milliseconds after the last bit) survives
    // it; the reply to an earlier request, left unread, does not: the length field tells them
    // apart.
    ask(port, 16);
    const bool stale = holds(port, REPLY);
    ask(port, 32);
    const bool came = holds(port, REPLY);
    serPurge(port);
    reads = readReply(port, 0);
    check("purge-after-send", stale && came && sound(32), "stale=%d came=%d reads=%s", stale, came,
          reads.c_str());
}

// How long serWrite takes for a full write-block frame, and where the time goes: the write
// call (into the driver's buffer) and the drain (until the UART has sent it). The frame is for
// another node: heard by the target, never answered.
void writeTime(ser_port *port)
{
    static const uint8_t block[MODBUS_PROG_BLOCKSIZE_MAX] = {};
    rec.node = MODBUS_NODE_DEFAULT + 1;
    program_block(&rec, IMAGE_BASE_ADDRESS, MODBUS_PROG_BLOCKSIZE_MAX, block);
    rec.node = MODBUS_NODE_DEFAULT;
    std::vector<double> whole, call, drain;
    for (int k = 0; k < 5; k++) {
        auto t0 = Clock::now();
        serWrite(port, rec.buf, rec.len);
        whole.push_back(msSince(t0));
        // Line silence between the frames, so the target hears each on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
        t0 = Clock::now();
        if (write(port->fd, rec.buf, static_cast<size_t>(rec.len)) < 0)
            break;
        call.push_back(msSince(t0));
        tcdrain(port->fd);
        drain.push_back(msSince(t0) - call.back());
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
    }
    figure("frame_bytes", {static_cast<double>(rec.len)});
    figure("serwrite_ms", whole);
    figure("serwrite_min_ms", {*std::min_element(whole.begin(), whole.end())});
    figure("serwrite_max_ms", {*std::max_element(whole.begin(), whole.end())});
    figure("write_call_ms", call);
    figure("drain_ms", drain);
}

// What the driver says of how soon it hands on what it receives: an FTDI adapter's latency
// timer in ms (-1 where there is none) and the TIOCGSERIAL flags (-1 where they cannot be read).
// Read on fd, or on a descriptor of its own when the port is closed.
struct latency {
    long timer = -1;
    long flags = -1;
};

latency driverLatency(const std::string &path, int fd)
{
    latency l;
    const std::string name = path.substr(path.rfind('/') + 1);
    std::ifstream("/sys/bus/usb-serial/devices/" + name + "/latency_timer") >> l.timer;
    const int own = fd < 0 ? open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : fd;
    serial_struct ss{};
    if (own >= 0 && ioctl(own, TIOCGSERIAL, &ss) == 0)
        l.flags = ss.flags;
    if (own >= 0 && own != fd)
        close(own);
    return l;
}

// A run of the one record, Program to its end, timed; it must complete. Stepped as the window
// steps it (one step a tick, each falling due 100 ms after the previous step ended), or as the
// command line's --fast (serFast on the port Program opened, then one step straight after
// another).
void run(const std::string &path, const std::string &kind, bool fast = false)
{
    const auto t0 = Clock::now();
    std::vector<double> waits, steps; // where the time goes: the tick's wait, and the step
    run_t r{&rec, fast, 0, {}};
    // The driver's latency before serFast, and under it on the port the run opened.
    const latency before = fast ? driverLatency(path, -1) : latency{};
    bool more = RunStart(&r, path.c_str());
    const latency during = fast ? driverLatency(path, rec.h_port.fd) : latency{};
    while (more && msSince(t0) < 300000) {
        auto t1 = Clock::now();
        RunPace(&r);
        waits.push_back(msSince(t1));
        t1 = Clock::now();
        more = RunStep(&r) != RUN_COMPLETED;
        steps.push_back(msSince(t1));
    }
    const double ms = msSince(t0);
    figure(kind + "_ms", {ms});
    figure(kind + "_resends", {static_cast<double>(rec.h_port.link.resends)});
    figure(kind + "_wait_median_ms", waits);
    figure(kind + "_step_median_ms", steps);
    more ? serClose(&rec.h_port) : RunCompleted(&rec);
    const std::string last = shown.statuses.empty() ? "" : shown.statuses.back();
    printf("@vek run %s %d %.1f %zu %s\n", kind.c_str(), static_cast<int>(rec.state), ms,
           steps.size(), last.c_str());
    check("run", rec.state == STATE_COMPLETE && last == "Programming Completed", "%s",
          kind.c_str());
    if (!fast)
        return;
    // serFast asks for low latency, and serClose gives the driver its flags back.
    const latency closed = driverLatency(path, -1);
    for (auto [at, l] : {std::pair{"before", before}, {"fast", during}, {"closed", closed}}) {
        figure(std::string("latency_timer_") + at + "_ms", {static_cast<double>(l.timer)});
        figure(std::string("serial_flags_") + at, {static_cast<double>(l.flags)});
    }
    check("low-latency",
          before.flags >= 0 && (during.flags & ASYNC_LOW_LATENCY) && closed.flags == before.flags,
          "flags=%#lx,%#lx,%#lx latency_timer=%ld,%ld,%ld", before.flags, during.flags,
          closed.flags, before.timer, during.timer, closed.timer);
}

// An adapter is the ttyUSB device ftdi_sio made for its serial number, waited for (up to 120 s
// from the first look): the driver binds it seconds after power-on. One not there is left to
// fail its open.
std::string findPort(const std::string &name)
{
    static const auto t0 = Clock::now();
    for (int n = 0; name.rfind("ttyS", 0) != 0 && msSince(t0) < 120000; n = (n + 1) % 16) {
        const std::string tty = "ttyUSB" + std::to_string(n);
        std::ifstream serial("/sys/class/tty/" + tty + "/device/../../serial");
        std::string found;
        if (serial >> found && found == name && access(("/dev/" + tty).c_str(), F_OK) == 0)
            return "/dev/" + tty;
        std::this_thread::sleep_for(std::chrono::milliseconds(n == 15 ? 20 : 0));
    }
    return "/dev/" + name;
}

// One step of a port's job.
void step(const std::string &path, const std::string &what)
{
    const bool bench = what.rfind("bench:", 0) == 0;
    if (what == "checks" || bench) {
        ser_port port{};
        const bool opened = serOpen(&port, path.c_str()) == 0 &&
                            serInit(&port, LINE_BAUD, SERIAL_READ_TIMEOUT) == 0;
        check("open", opened, "errno=%d", opened ? 0 : errno);
        if (opened && !bench)
            checks(&port, path.c_str());
        if (opened)
            writeTime(&port);
        serClose(&port);
    }
    const long runs = bench ? std::stol(what.substr(6)) : 1;
    const std::string kind = what == "checks" ? "clean" : what;
    for (long k = 1; k <= runs; k++)
        run(path, bench ? "bench" + std::to_string(k) : kind, what == "fast");
}

void job(const char *name, const std::string &steps)
{
    const std::string path = findPort(name);
    printf("@vek port %s %s\n", name, path.c_str());
    std::istringstream list(steps);
    for (std::string what; std::getline(list, what, '+');)
        step(path, what);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        puts("usage: vek-uart-guest PORT JOB [PORT JOB]...\n"
             "Runs in the emulated machine of tests/uart as its only program (see its source).");
        return argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) ? 0 : 2;
    }
    PrepareRecord(&rec);
    TakeImage(&rec, vek_image, vek_image_length);
    for (int k = 1; k + 1 < argc; k += 2)
        job(argv[k], argv[k + 1]);
    return std::min(failed, 100);
}

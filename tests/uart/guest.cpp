// Runs inside the emulated machine as its only program, on the kernel's own drivers: each port
// is a 16550A (8250) or an FTDI adapter (ftdi_sio) whose far end is a simulated target on the
// host. Every finding goes to the console as one line starting "@vek", which the host judges:
//   @vek port NAME PATH DRIVER         the lines that follow are of this port
//   @vek check NAME ok|FAIL DETAIL     a check made here
//   @vek figure NAME VALUE             a measured figure, judged or recorded by the host
//   @vek run KIND STATE MS TICKS LAST  a programming run: final state, Program to its end
//   @vek end                           everything was said
//
//   vek-uart-guest PORT JOB [PORT JOB]...   PORT: a path, or usb:SERIAL, an adapter's serial
// JOB checks: settings, modem lines, read timing, the purge after a send, write time, a run;
// echo: how the echo of a 523-byte frame comes in, a run; bench:N: write time, N runs; any
// other word: one run of that name.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/installer.h"
#include "engine/ui.h"
#include "modbus/modbus.h"
#include "shell/image.h"
#include "shell/program.h"

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int RANGE_CRC_REPLY = 15;
constexpr int SPLIT_TRIES = 3; // the host's simulator splits the replies to requests 1 to 3
constexpr int WRITE_TRIES = 5;
constexpr int OTHER_NODE = MODBUS_NODE_DEFAULT + 1; // heard by the target, never answered

int failures = 0;
std::string last_status;
bool boxed = false;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void check(const char *name, bool good, const std::string &detail)
{
    printf("@vek check %s %s %s\n", name, good ? "ok" : "FAIL", detail.c_str());
    fflush(stdout);
    failures += good ? 0 : 1;
}

void figure(const char *name, double value)
{
    printf("@vek figure %s %.3f\n", name, value);
    fflush(stdout);
}

[[gnu::format(printf, 1, 2)]] std::string fmt(const char *f, ...)
{
    char text[300];
    va_list ap;
    va_start(ap, f);
    vsnprintf(text, sizeof text, f, ap);
    va_end(ap);
    return text;
}

// A record for frames built here with the engine's own builders.
struct frames {
    std::vector<uint8_t> buf = std::vector<uint8_t>(MODBUS_FRAME_LENGTH_MAX);
    installer_t rec{};
    frames()
    {
        rec.buf = buf.data();
        rec.max = MODBUS_FRAME_LENGTH_MAX;
        rec.node = MODBUS_NODE_DEFAULT;
    }
};

void settings(ser_port *port, const char *path)
{
    termios t{};
    const bool got = tcgetattr(port->fd, &t) == 0;
    const tcflag_t c = t.c_cflag, i = t.c_iflag;
    check("settings",
          got && (c & CSIZE) == CS8 && (c & PARENB) && !(c & PARODD) && !(c & CSTOPB) &&
              !(c & CRTSCTS) && !(c & CMSPAR) && (c & CLOCAL) && (c & CREAD) &&
              !(i & (IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP)) &&
              !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
              cfgetispeed(&t) == B115200 && cfgetospeed(&t) == B115200,
          fmt("cflag=%#o iflag=%#o lflag=%#o oflag=%#o cs8=%d parenb=%d parodd=%d cstopb=%d "
              "crtscts=%d ixon=%d ixoff=%d inpck=%d baud115200=%d",
              c, i, t.c_lflag, t.c_oflag, (c & CSIZE) == CS8, !!(c & PARENB), !!(c & PARODD),
              !!(c & CSTOPB), !!(c & CRTSCTS), !!(i & IXON), !!(i & IXOFF), !!(i & INPCK),
              cfgetospeed(&t) == B115200));

    int lines = 0;
    const bool mget = ioctl(port->fd, TIOCMGET, &lines) == 0;
    check("modem-lines", mget && !(lines & (TIOCM_DTR | TIOCM_RTS)),
          fmt("tiocmget=%d lines=%#x dtr=%d rts=%d", mget, lines, !!(lines & TIOCM_DTR),
              !!(lines & TIOCM_RTS)));

    int excl = 0;
    ioctl(port->fd, TIOCGEXCL, &excl);
    ser_port second{};
    const int rc = serOpen(&second, path);
    const int err = errno;
    check("second-open", rc != 0 && err == EBUSY && excl == 1,
          fmt("rc=%d errno=%s tiocexcl=%d", rc, rc ? strerror(err) : "-", excl));
    serClose(&second);
}

// The reads one reply takes: sizes in order, until it is whole or a read comes back empty.
std::vector<int> readReply(ser_port *port, uint8_t *buf, int first_max, int *got)
{
    std::vector<int> sizes;
    *got = 0;
    while (*got < RANGE_CRC_REPLY) {
        const int max = sizes.empty() ? first_max : MODBUS_FRAME_LENGTH_MAX - *got;
        const int n = serRead(port, buf + *got, max);
        sizes.push_back(n);
        if (n <= 0)
            break;
        *got += n;
    }
    return sizes;
}

bool replyGood(frames *f, int got)
{
    f->rec.len = got;
    return got == RANGE_CRC_REPLY && ok(&f->rec) && f->buf[2] == MEI_TYPE_PROG_VERIFY;
}

std::string join(const std::vector<int> &v)
{
    std::string s;
    for (int n : v)
        s += (s.empty() ? "" : ",") + std::to_string(n);
    return s;
}

void readTiming(ser_port *port)
{
    frames f;
    auto t0 = Clock::now();
    const int silent = serRead(port, f.buf.data(), MODBUS_FRAME_LENGTH_MAX);
    const double silent_ms = msSince(t0);
    figure("silence_ms", silent_ms);
    // Never early, and not forever: how late it is on a loaded emulated machine is the figure's.
    check("silence", silent == 0 && silent_ms >= 1000 && silent_ms < 5000,
          fmt("bytes=%d ms=%.1f", silent, silent_ms));

    // The target sends the first 7 bytes, then 50 ms of silence, then the last 8. A read must
    // end at that silence; a stall of the emulator may add ends elsewhere, or (longer than the
    // silence) join the two pieces, but not in every try.
    int split_seen = 0;
    bool split_sound = true;
    std::string pattern;
    for (int k = 0; k < SPLIT_TRIES; k++) {
        crc_block(&f.rec, 0x81000, 16);
        serWrite(port, f.buf.data(), f.rec.len);
        serPurge(port);
        int got = 0;
        const std::vector<int> sizes = readReply(port, f.buf.data(), MODBUS_FRAME_LENGTH_MAX, &got);
        int end = 0;
        bool at_silence = sizes == std::vector<int>{RANGE_CRC_REPLY};
        for (int n : sizes) {
            end += n;
            at_silence = at_silence || end == 7;
        }
        split_seen += sizes == std::vector<int>{7, 8} ? 1 : 0;
        split_sound = split_sound && at_silence && replyGood(&f, got);
        pattern += (k ? " " : "") + join(sizes);
    }
    check("split", split_sound && split_seen > 0,
          fmt("reads=%s two-reads=%d/%d", pattern.c_str(), split_seen, SPLIT_TRIES));

    crc_block(&f.rec, 0x81000, 16);
    serWrite(port, f.buf.data(), f.rec.len);
    serPurge(port);
    t0 = Clock::now();
    const int first = serRead(port, f.buf.data(), 4);
    const double first_ms = msSince(t0);
    int rest = 0;
    const std::vector<int> more = readReply(port, f.buf.data() + 4, MODBUS_FRAME_LENGTH_MAX, &rest);
    check("max-len", first == 4 && first_ms < 1000 && replyGood(&f, 4 + rest),
          fmt("first=%d ms=%.1f then=%s", first, first_ms, join(more).c_str()));
}

// Waits until the driver holds at least n received bytes; false after 5 s. Checked each
// millisecond: poll() only tells that something is there, not how much.
bool holds(ser_port *port, int n)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int queued = 0;
    while (ioctl(port->fd, FIONREAD, &queued) == 0 && queued < n && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return queued >= n;
}

// A reply that has come in whole by the time the purge after its request runs (as a quick
// target's does on a UART, whose drain returns milliseconds after the last bit) survives it;
// the reply to an earlier request, left unread, does not.
void purgeAfterSend(ser_port *port)
{
    frames f;
    crc_block(&f.rec, 0x81000, 16);
    serWrite(port, f.buf.data(), f.rec.len);
    const bool stale = holds(port, RANGE_CRC_REPLY);
    crc_block(&f.rec, 0x81000, 32);
    serWrite(port, f.buf.data(), f.rec.len);
    int before = 0;
    ioctl(port->fd, FIONREAD, &before);
    // Stale bytes left by the send would be counted here too: the length field tells them apart.
    const bool reply = holds(port, RANGE_CRC_REPLY);
    serPurge(port);
    int got = 0;
    const std::vector<int> sizes = readReply(port, f.buf.data(), MODBUS_FRAME_LENGTH_MAX, &got);
    check("purge-after-send",
          stale && reply && replyGood(&f, got) && bitRd32BE(f.buf.data() + 7) == 32,
          fmt("stale=%d left-after-send=%d reply=%d reads=%s length-field=%u", stale, before, reply,
              join(sizes).c_str(), got >= 11 ? bitRd32BE(f.buf.data() + 7) : 0));
}

// A full write-block frame for another node: heard by the target, never answered.
void otherNodeBlock(frames *f)
{
    f->rec.node = OTHER_NODE;
    std::vector<uint8_t> block(MODBUS_PROG_BLOCKSIZE_MAX);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<uint8_t>(i * 13);
    program_block(&f->rec, 0x81000, MODBUS_PROG_BLOCKSIZE_MAX, block.data());
}

// How the echo of a 523-byte frame comes in: the pieces read() returns as the driver hands the
// bytes on, each timed from the end of the drain.
void echoArrival(ser_port *port)
{
    frames f;
    otherNodeBlock(&f);
    const int expect = f.rec.len;
    const bool sent = write(port->fd, f.buf.data(), static_cast<size_t>(expect)) == expect;
    tcdrain(port->fd);
    const auto t0 = Clock::now();
    std::string pieces;
    int got = 0;
    pollfd pfd{port->fd, POLLIN, 0};
    while (got < expect && poll(&pfd, 1, 2000) > 0) {
        const ssize_t n = read(port->fd, f.buf.data(), f.buf.size());
        if (n <= 0)
            break;
        got += static_cast<int>(n);
        pieces += fmt(" %d@%.1f", static_cast<int>(n), msSince(t0));
    }
    check("arrival", sent && got == expect, fmt("bytes=%d/%d bytes@ms:", got, expect) + pieces);
}

// How long serWrite takes for a full write-block frame, and where the time goes: the write
// call (into the driver's buffer) and the drain (until the UART has sent it).
void writeTime(ser_port *port)
{
    frames f;
    otherNodeBlock(&f);
    std::vector<double> whole, call, drain;
    int written = 0;
    for (int k = 0; k < WRITE_TRIES; k++) {
        auto t0 = Clock::now();
        written = serWrite(port, f.buf.data(), f.rec.len);
        whole.push_back(msSince(t0));
        // Line silence between the frames, so the target hears each on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
        t0 = Clock::now();
        const ssize_t n = write(port->fd, f.buf.data(), static_cast<size_t>(f.rec.len));
        call.push_back(msSince(t0));
        tcdrain(port->fd);
        drain.push_back(msSince(t0) - call.back());
        written = n == f.rec.len ? written : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    figure("frame_bytes", f.rec.len);
    figure("serwrite_ms", median(whole));
    figure("serwrite_min_ms", *std::min_element(whole.begin(), whole.end()));
    figure("serwrite_max_ms", *std::max_element(whole.begin(), whole.end()));
    figure("write_call_ms", median(call));
    figure("drain_ms", median(drain));
    check("write", written == f.rec.len, fmt("frames=%d bytes=%d", 2 * WRITE_TRIES, written));
}

// A run as the window makes it: Program, then one step a tick, each tick falling due 100 ms
// after the previous step ended.
void run(const char *port, const char *kind)
{
    static installer_t rec{}; // the one record of a shell, kept between runs
    T t = &rec;
    if (!rec.buf) {
        PrepareRecord(t);
        TakeImage(t, vek_image, vek_image_length);
    }
    last_status.clear();
    const auto t0 = Clock::now();
    const auto deadline = t0 + std::chrono::minutes(5);
    int ticks = 0;
    std::vector<double> waits, steps; // where the time goes: the tick's wait, and the step
    bool more = ProgramPressed(t, port);
    while (more && Clock::now() < deadline) {
        auto t1 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(WINDOWS_TIMER_PERIOD));
        waits.push_back(msSince(t1));
        ticks++;
        t1 = Clock::now();
        more = TimerTick(t);
        steps.push_back(msSince(t1));
    }
    const double ms = msSince(t0);
    std::sort(waits.begin(), waits.end());
    std::sort(steps.begin(), steps.end());
    if (!steps.empty()) {
        figure((std::string(kind) + "_wait_median_ms").c_str(), waits[waits.size() / 2]);
        figure((std::string(kind) + "_step_median_ms").c_str(), steps[steps.size() / 2]);
        figure((std::string(kind) + "_step_max_ms").c_str(), steps.back());
    }
    if (!more)
        RunCompleted(t);
    else
        serClose(&t->h_port);
    printf("@vek run %s %d %.1f %d %s\n", kind, static_cast<int>(rec.state), ms, ticks,
           last_status.c_str());
    fflush(stdout);
    failures += (rec.state == STATE_COMPLETE && !boxed) ? 0 : 1;
}

// The first line of a file that starts with prefix; empty if none.
std::string lineOf(const std::string &path, const std::string &prefix)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            return line;
    return "";
}

// usb:SERIAL is the ttyUSB device ftdi_sio made for the adapter with that serial number, waited
// for: the driver binds it seconds after power-on. Any other name is a path.
std::string findPort(const std::string &name)
{
    static const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (int n = 0; name.rfind("usb:", 0) == 0 && Clock::now() < deadline; n = (n + 1) % 16) {
        const std::string tty = "ttyUSB" + std::to_string(n);
        if (lineOf("/sys/class/tty/" + tty + "/device/../../serial", "") == name.substr(4) &&
            access(("/dev/" + tty).c_str(), F_OK) == 0)
            return "/dev/" + tty;
        std::this_thread::sleep_for(std::chrono::milliseconds(n == 15 ? 20 : 0));
    }
    return name; // not there: its open fails and says so
}

// The port's line in /proc/tty/driver/: its driver, and for a UART its type.
std::string driverLine(const std::string &path)
{
    const std::string tty = path.substr(path.rfind('/') + 1);
    const bool usb = tty.rfind("ttyUSB", 0) == 0;
    return lineOf(usb ? "/proc/tty/driver/usbserial" : "/proc/tty/driver/serial",
                  tty.substr(usb ? 6 : 4) + ":");
}

void job(const char *name, const char *path, const std::string &what)
{
    printf("@vek port %s %s %s\n", name, path, driverLine(path).c_str());
    const bool bench = what.rfind("bench:", 0) == 0;
    if (what == "checks" || what == "echo" || bench) {
        ser_port port{};
        const int opened = serOpen(&port, path);
        const int err = errno;
        // The kernel raises DTR and RTS on open; serInit is what takes them down.
        int lines = 0;
        if (opened == 0 && ioctl(port.fd, TIOCMGET, &lines) == 0)
            figure("open_dtr_rts", lines & (TIOCM_DTR | TIOCM_RTS));
        const int init = opened == 0 ? serInit(&port, 115200, SERIAL_READ_TIMEOUT) : -1;
        check("open", opened == 0 && init == 0,
              fmt("serOpen=%d serInit=%d %s", opened, init, opened ? strerror(err) : ""));
        if (opened == 0 && what == "checks") {
            settings(&port, path);
            readTiming(&port);
            purgeAfterSend(&port);
        }
        if (opened == 0 && what == "echo")
            echoArrival(&port);
        else if (opened == 0)
            writeTime(&port);
        serClose(&port);
    }
    if (what == "checks")
        run(path, "clean");
    else if (bench)
        for (long k = 1, n = strtol(what.c_str() + 6, nullptr, 10); k <= n; k++)
            run(path, ("bench" + std::to_string(k)).c_str());
    else
        run(path, what.c_str());
}

} // namespace

void uiStatus(const char *text)
{
    last_status = text;
}

void uiMessageBox(const char *caption, const char *text)
{
    boxed = true;
    printf("@vek check message-box FAIL %s: %s\n", caption, text);
    fflush(stdout);
}

void uiBeep(unsigned, unsigned) {}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3 || argc % 2 == 0) {
        fprintf(stderr, "usage: vek-uart-guest PORT JOB [PORT JOB]...\n");
        return 2;
    }
    std::vector<std::string> paths;
    for (int k = 1; k < argc; k += 2)
        paths.push_back(findPort(argv[k]));
    figure("ports_found_s", strtod(lineOf("/proc/uptime", "").c_str(), nullptr));
    for (int k = 1; k < argc; k += 2)
        job(argv[k], paths[static_cast<size_t>(k / 2)].c_str(), argv[k + 1]);
    printf("@vek end failures=%d\n", failures);
    fflush(stdout);
    return failures ? 1 : 0;
}

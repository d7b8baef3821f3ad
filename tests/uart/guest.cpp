// Runs inside the emulated machine as its only program, on the kernel's own drivers: each port
// is a 16550A (8250) or an FTDI adapter (ftdi_sio) whose far end is a simulated target on the
// host. Every finding goes to the console as one line starting "@vek", which the host judges:
//   @vek port NAME PATH DRIVER         the lines that follow are of this port
//   @vek check NAME ok|FAIL DETAIL     a check made here
//   @vek figure NAME VALUE             a measured figure, recorded by the host
//   @vek run KIND STATE MS TICKS LAST  a programming run: final state, Program to its end
//
//   vek-uart-guest PORT JOB [PORT JOB]...   PORT: ttySN, or an FTDI adapter's serial number
// JOB checks: the port's settings, modem lines, read timing, the purge after a send, the write
// time, then a clean run; bench:N: the write time, then N runs; any other word: one run.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "shell/image.h"
#include "shell/program.h"
#include "tests/ui_record.h"

namespace
{

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
constexpr int REPLY = 15; // a range-CRC reply
// The one record of a shell, kept between runs. Before them the checks build their requests in
// its buffer with the engine's own builders, and read the replies into it.
installer_t rec{};

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

[[gnu::format(printf, 3, 4)]] void check(const char *name, bool good, const char *detail, ...)
{
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
    printf("@vek figure %s %.3f\n", name.c_str(),
           samples.empty() ? -1 : samples[samples.size() / 2]);
}

// A range-CRC request over length bytes, sent as the engine sends one.
void ask(ser_port *port, int length)
{
    crc_block(&rec, IMAGE_BASE_ADDRESS, length);
    serWrite(port, rec.buf, rec.len);
}

struct reply {
    std::string reads; // the size of each read, "7,8,"
    bool sound;        // whole: a range-CRC reply over the length asked for, its CRC good
    bool at_silence;   // a read ended after byte 7, where the target splits a reply, or took all
};

// One reply read into the buffer from byte `got` on, until it is whole or a read comes back
// empty.
reply readReply(ser_port *port, int got, uint32_t length)
{
    reply r{"", false, false};
    for (int n = 1; n > 0 && got < REPLY; got += std::max(n, 0)) {
        n = serRead(port, rec.buf + got, MODBUS_FRAME_LENGTH_MAX - got);
        r.reads += std::to_string(n) + ",";
        r.at_silence = r.at_silence || got + n == 7 || n == REPLY;
    }
    rec.len = got;
    r.sound = got == REPLY && ok(&rec) && rec.buf[2] == MEI_TYPE_PROG_VERIFY &&
              bitRd32BE(rec.buf + 7) == length;
    return r;
}

// Waits until the driver holds at least n received bytes; false after 5 s. Checked each
// millisecond: poll() only tells that something is there, not how much.
bool holds(ser_port *port, int n)
{
    int queued = 0;
    for (auto t0 = Clock::now();
         ioctl(port->fd, FIONREAD, &queued) == 0 && queued < n && msSince(t0) < 5000;)
        std::this_thread::sleep_for(Millis(1));
    return queued >= n;
}

void checks(ser_port *port, const char *path, int lines_at_open)
{
    termios t{};
    const bool got = tcgetattr(port->fd, &t) == 0;
    const tcflag_t c = t.c_cflag;
    check("settings",
          got &&
              (c & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR | CLOCAL | CREAD)) ==
                  (CS8 | PARENB | CLOCAL | CREAD) &&
              !(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP)) &&
              !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
              cfgetispeed(&t) == B115200 && cfgetospeed(&t) == B115200,
          "cflag=%#o iflag=%#o lflag=%#o oflag=%#o speeds=%#o,%#o", c, t.c_iflag, t.c_lflag,
          t.c_oflag, cfgetispeed(&t), cfgetospeed(&t));

    // The kernel raises DTR and RTS on open; serInit is what takes them down.
    int lines = 0;
    const bool mget = ioctl(port->fd, TIOCMGET, &lines) == 0;
    check("modem-lines", mget && !(lines & (TIOCM_DTR | TIOCM_RTS)),
          "tiocmget=%d at-open=%#x now=%#x", mget, lines_at_open, lines);

    int excl = 0;
    ioctl(port->fd, TIOCGEXCL, &excl);
    ser_port second{};
    const int rc = serOpen(&second, path);
    check("second-open", rc != 0 && errno == EBUSY && excl == 1, "rc=%d errno=%s tiocexcl=%d", rc,
          rc ? strerror(errno) : "-", excl);
    serClose(&second);

    auto t0 = Clock::now();
    const int silent = serRead(port, rec.buf, MODBUS_FRAME_LENGTH_MAX);
    double ms = msSince(t0);
    // Never early, and not forever: how late it is on a loaded emulated machine is the detail's.
    check("silence", silent == 0 && ms >= 1000 && ms < 5000, "bytes=%d ms=%.1f", silent, ms);

    // The target sends the first 7 bytes, then 50 ms of silence, then the last 8. A read must
    // end at that silence; a stall of the emulator may add ends elsewhere, or (longer than the
    // silence) join the two pieces, but not in every try.
    std::string pattern;
    bool sound = true, split = false;
    for (int k = 0; k < 3; k++) {
        ask(port, 16);
        serPurge(port);
        const reply r = readReply(port, 0, 16);
        sound = sound && r.sound && r.at_silence;
        split = split || r.reads == "7,8,";
        pattern += r.reads + " ";
    }
    check("split", sound && split, "reads=%s", pattern.c_str());

    ask(port, 16);
    serPurge(port);
    t0 = Clock::now();
    const int first = serRead(port, rec.buf, 4);
    ms = msSince(t0);
    const reply rest = readReply(port, std::max(first, 0), 16);
    check("max-len", first == 4 && ms < 1000 && rest.sound, "first=%d ms=%.1f then=%s", first, ms,
          rest.reads.c_str());

    // A reply that has come in whole by the time the purge after its request runs (as a quick
    // target's does on a UART, whose drain returns milliseconds after the last bit) survives
    // it; the reply to an earlier request, left unread, does not: the length field tells them
    // apart.
    ask(port, 16);
    const bool stale = holds(port, REPLY);
    ask(port, 32);
    const bool came = holds(port, REPLY);
    serPurge(port);
    const reply r = readReply(port, 0, 32);
    check("purge-after-send", stale && came && r.sound, "stale=%d came=%d reads=%s length=%u",
          stale, came, r.reads.c_str(), rec.len >= 11 ? bitRd32BE(rec.buf + 7) : 0);
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
    const auto len = static_cast<size_t>(rec.len);
    std::vector<double> whole, call, drain;
    int written = 0;
    for (int k = 0; k < 5; k++) {
        auto t0 = Clock::now();
        written += serWrite(port, rec.buf, rec.len) == rec.len;
        whole.push_back(msSince(t0));
        // Line silence between the frames, so the target hears each on its own.
        std::this_thread::sleep_for(Millis(WINDOWS_TIMER_PERIOD));
        t0 = Clock::now();
        written += write(port->fd, rec.buf, len) == static_cast<ssize_t>(len);
        call.push_back(msSince(t0));
        tcdrain(port->fd);
        drain.push_back(msSince(t0) - call.back());
        std::this_thread::sleep_for(Millis(WINDOWS_TIMER_PERIOD));
    }
    std::sort(whole.begin(), whole.end());
    figure("frame_bytes", {static_cast<double>(len)});
    figure("serwrite_ms", whole);
    figure("serwrite_min_ms", {whole.front()});
    figure("serwrite_max_ms", {whole.back()});
    figure("write_call_ms", call);
    figure("drain_ms", drain);
    check("write", written == 10, "frames=%d/10 bytes=%zu", written, len);
}

// A run as the window makes it: Program, then one step a tick, each tick falling due 100 ms
// after the previous step ended.
void run(const std::string &path, const std::string &kind)
{
    const auto t0 = Clock::now();
    std::vector<double> waits, steps; // where the time goes: the tick's wait, and the step
    bool more = ProgramPressed(&rec, path.c_str());
    while (more && msSince(t0) < 300000) {
        auto t1 = Clock::now();
        std::this_thread::sleep_for(Millis(WINDOWS_TIMER_PERIOD));
        waits.push_back(msSince(t1));
        t1 = Clock::now();
        more = TimerTick(&rec);
        steps.push_back(msSince(t1));
    }
    const double ms = msSince(t0);
    figure(kind + "_wait_median_ms", waits);
    figure(kind + "_step_median_ms", steps);
    more ? serClose(&rec.h_port) : RunCompleted(&rec);
    printf("@vek run %s %d %.1f %zu %s\n", kind.c_str(), static_cast<int>(rec.state), ms,
           steps.size(), shown.statuses.empty() ? "" : shown.statuses.back().c_str());
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

// An adapter is the ttyUSB device ftdi_sio made for its serial number, waited for (up to 120 s
// from the first look): the driver binds it seconds after power-on. One not there is left to
// fail its open.
std::string findPort(const std::string &name)
{
    static const auto t0 = Clock::now();
    for (int n = 0; name.rfind("ttyS", 0) != 0 && msSince(t0) < 120000; n = (n + 1) % 16) {
        const std::string tty = "ttyUSB" + std::to_string(n);
        if (lineOf("/sys/class/tty/" + tty + "/device/../../serial", "") == name &&
            access(("/dev/" + tty).c_str(), F_OK) == 0)
            return "/dev/" + tty;
        std::this_thread::sleep_for(Millis(n == 15 ? 20 : 0));
    }
    return "/dev/" + name;
}

void job(const char *name, const std::string &what)
{
    const std::string path = findPort(name);
    // The port's line in /proc/tty/driver/: its driver, and for a UART its type.
    const bool usb = path.rfind("/dev/ttyUSB", 0) == 0;
    printf("@vek port %s %s %s\n", name, path.c_str(),
           lineOf(usb ? "/proc/tty/driver/usbserial" : "/proc/tty/driver/serial",
                  path.substr(usb ? 11 : 9) + ":")
               .c_str());
    const bool bench = what.rfind("bench:", 0) == 0;
    if (what == "checks" || bench) {
        ser_port port{};
        const int opened = serOpen(&port, path.c_str());
        const int err = errno;
        int lines = 0;
        ioctl(port.fd, TIOCMGET, &lines);
        const int init = opened == 0 ? serInit(&port, RUN_BAUD, SERIAL_READ_TIMEOUT) : -1;
        check("open", opened == 0 && init == 0, "serOpen=%d serInit=%d %s", opened, init,
              opened ? strerror(err) : "");
        if (opened == 0 && !bench)
            checks(&port, path.c_str(), lines);
        if (opened == 0)
            writeTime(&port);
        serClose(&port);
    }
    const long runs = bench ? std::stol(what.substr(6)) : 1;
    for (long k = 1; k <= runs; k++)
        run(path, bench ? "bench" + std::to_string(k) : what == "checks" ? "clean" : what);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    PrepareRecord(&rec);
    TakeImage(&rec, vek_image, vek_image_length);
    for (int k = 1; k + 1 < argc; k += 2)
        job(argv[k], argv[k + 1]);
}

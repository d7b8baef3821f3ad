// Serial link on POSIX termios.
#include "serial/ser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include "console/console.h"

using Clock = std::chrono::steady_clock;

static const std::pair<uint32_t, speed_t> SPEEDS[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600}};

int serOpen(ser_port *port, const char *path)
{
    port->open = false;
    port->fd = -1;
    port->path = path;
    port->sent = false;
    port->serial_flags_kept = false;
    serLinkReset(&port->link);
    // Without O_NONBLOCK the open can wait for carrier; without O_NOCTTY the port could become
    // our controlling terminal.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // A path that is no terminal (a file named by mistake) would take the frames as data.
    // TIOCEXCL does not stop a process with CAP_SYS_ADMIN; the lock stops even root.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = err;
        return -1;
    }
    // Reads wait in poll() first; writes should block until the driver takes the bytes.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    port->fd = fd;
    port->open = true;
    return 0;
}

static uint32_t Baud(speed_t speed)
{
    auto s = std::find_if(std::begin(SPEEDS), std::end(SPEEDS),
                          [speed](const auto &e) { return e.second == speed; });
    return s == std::end(SPEEDS) ? 0 : s->first;
}

// Some adapters accept even parity and run without it; only the settings read back tell.
static void ReportLine(const ser_port *port, uint32_t baud)
{
    termios t;
    if (tcgetattr(port->fd, &t) != 0)
        return;
    const tcflag_t c = t.c_cflag;
    ser_line got{};
    got.baud = cfgetospeed(&t) == cfgetispeed(&t) ? Baud(cfgetospeed(&t)) : 0;
    got.data_bits = (c & CSIZE) == CS8 ? 8 : (c & CSIZE) == CS7 ? 7 : (c & CSIZE) == CS6 ? 6 : 5;
    got.parity = !(c & PARENB) ? 'N' : (c & PARODD) ? 'O' : 'E';
    got.stop_bits = (c & CSTOPB) ? 2 : 1;
    got.flow_control = (c & CRTSCTS) || (t.c_iflag & (IXON | IXOFF));
    int lines = 0;
    // Where the modem lines cannot be read (a pty has none) they count as off.
    got.lines_off = ioctl(port->fd, TIOCMGET, &lines) != 0 || !(lines & (TIOCM_DTR | TIOCM_RTS));
    got.timeouts = true;
    serReportLine(port->path, serLineAsked(baud), got);
}

int serInit(ser_port *port, uint32_t baud, uint32_t timeout_ms)
{
    termios t;
    if (!port->open || tcgetattr(port->fd, &t) != 0) {
        conError("Could not get Port State\n");
        return -1;
    }
    // INPCK, IGNPAR, PARMRK and ISTRIP cleared: a byte with a parity error arrives unchanged.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    static_assert(LINE_DATA_BITS == 8 && LINE_PARITY == 'E' && LINE_STOP_BITS == 1,
                  "the device's line, as termios writes it here");
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    auto s = std::find_if(std::begin(SPEEDS), std::end(SPEEDS),
                          [baud](const auto &e) { return e.first == baud; });
    if (s == std::end(SPEEDS))
        conError("Baud rate %u not supported, speed left unchanged\n", baud);
    else {
        cfsetispeed(&t, s->second);
        cfsetospeed(&t, s->second);
    }
    // A pty drops PARENB, and glibc then reports a re-applied PARENB as EINVAL; asking without
    // it lets raw mode take effect there, while a real UART has already accepted parity.
    if (tcsetattr(port->fd, TCSANOW, &t) != 0) {
        t.c_cflag &= ~PARENB;
        tcsetattr(port->fd, TCSANOW, &t);
    }
    // A pty has no modem lines (ENOTTY); that is no reason to fail.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port->fd, TIOCMBIC, &lines);
    serLinkSetUp(&port->link, baud, timeout_ms);
    ReportLine(port, baud);
    return 0;
}

void serFast(ser_port *port)
{
    port->link.fast = true;
    // A USB adapter's driver may hold received bytes back until its latency timer runs out
    // (16 ms on an FTDI chip), on every reply; low latency asks it to hand them on at once.
    // Drivers without the request (a pseudo-terminal) refuse it, which changes nothing.
    serial_struct ss{};
    if (!port->open || port->serial_flags_kept || ioctl(port->fd, TIOCGSERIAL, &ss) != 0)
        return;
    port->serial_flags = ss.flags;
    ss.flags |= ASYNC_LOW_LATENCY;
    port->serial_flags_kept =
        ss.flags != port->serial_flags && ioctl(port->fd, TIOCSSERIAL, &ss) == 0;
}

// Whether what came in while a request of len bytes went out, from start, can only be its
// echo: waits until input comes or a reply could, and judges what is there then.
static bool EchoCame(const ser_port *port, Clock::time_point start, int64_t watch_us, int len)
{
    const Clock::time_point deadline = start + std::chrono::microseconds(watch_us);
    for (;;) {
        auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
        timespec ts{static_cast<time_t>(left / std::chrono::seconds(1)),
                    static_cast<long>((left % std::chrono::seconds(1)).count())};
        pollfd pfd{port->fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &ts, nullptr) >= 0 || errno != EINTR)
            break;
    }
    int queued = 0;
    ioctl(port->fd, FIONREAD, &queued);
    // The time after the count: a later time lets a reply have brought more, never less.
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return serEchoShows(&port->link, len, elapsed.count(), queued);
}

int serWrite(ser_port *port, const void *buf, int len)
{
    if (!port->open || len <= 0) {
        port->sent = false;
        return 0;
    }
    const Clock::time_point start = Clock::now();
    // Purged before the write, which takes a whole request at once: the reply cannot be in yet.
    tcflush(port->fd, TCIFLUSH);
    port->sent = true;
    serEchoSent(&port->link, buf, len);
    const char *p = static_cast<const char *>(buf);
    int done = 0;
    while (done < len) {
        ssize_t n = write(port->fd, p + done, static_cast<size_t>(len - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{port->fd, POLLOUT, 0};
            if (poll(&pfd, 1, -1) >= 0 || errno == EINTR)
                continue;
        }
        break;
    }
    int err = errno;
    while (tcdrain(port->fd) != 0 && errno == EINTR) {
    }
    // A UART's drain waits for the last stop bit, and its echo is in by then; a pseudo-terminal
    // or a USB adapter returns sooner, and the echo comes while the bytes are on the wire.
    const int64_t watch = serEchoWatchUs(&port->link, len);
    if (watch >= 0 && EchoCame(port, start, watch, len))
        serEchoEarly(&port->link);
    errno = err;
    return done;
}

int serRead(ser_port *port, void *buf, int max_len)
{
    port->sent = false;
    if (!port->open || max_len <= 0)
        return 0;
    ser_link *l = &port->link;
    const int room = serReadRoom(l, max_len);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(l->total_ms);
    Clock::time_point until = end;
    int got = 0;
    while (got < room) {
        auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            break;
        timespec ts{static_cast<time_t>(left / std::chrono::seconds(1)),
                    static_cast<long>((left % std::chrono::seconds(1)).count())};
        pollfd pfd{port->fd, POLLIN, 0};
        int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0)
            break;
        if (!(pfd.revents & POLLIN))
            break; // hang-up or error without data: the other side is gone
        ssize_t n = read(port->fd, l->rx + got, static_cast<size_t>(room - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        got += static_cast<int>(n);
        const int64_t silence = serReadSilenceUs(l, got);
        until =
            silence < 0 ? end : std::min(end, Clock::now() + std::chrono::microseconds(silence));
    }
    return serEchoCut(l, got, static_cast<uint8_t *>(buf), max_len);
}

void serPurge(ser_port *port)
{
    // Input only: after the drain in serWrite a UART has no output left, while on a pty an
    // output flush loses frames still in transit (565 of 2000 lost, none with input only).
    // Right after a send, serWrite has purged already: what came since may be the reply.
    if (port->open && !std::exchange(port->sent, false)) {
        tcflush(port->fd, TCIFLUSH);
        serEchoForget(&port->link);
    }
}

void serClose(ser_port *port)
{
    if (!port->open)
        return;
    if (port->serial_flags_kept) {
        serial_struct ss{};
        if (ioctl(port->fd, TIOCGSERIAL, &ss) == 0) {
            ss.flags = port->serial_flags;
            ioctl(port->fd, TIOCSSERIAL, &ss);
        }
        port->serial_flags_kept = false;
    }
    // On a pty the exclusive flag outlives the descriptor while the master stays open.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    port->fd = -1;
    port->open = false;
    port->sent = false;
}

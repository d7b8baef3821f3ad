// vek-target-sim: the simulated target device on a pseudo-terminal, for tests and the demo.
#include "tools/target_sim.h"

#include "ports/ports.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char HELP[] = R"(usage: vek-target-sim [options]

Simulated target device: a Modbus RTU slave (address 4) that accepts the firmware
programming requests on a pseudo-terminal. On start it prints one line
"port: /dev/pts/N" on standard output; it runs until SIGINT or SIGTERM (or, with
--exit-after-reset, until a reset is acknowledged), then writes its outputs and a
one-line summary of counts on standard output.

Line:
  --link PATH        make a symlink PATH to the pseudo-terminal's slave (parent
                     directories are created; an old symlink there is replaced);
                     removed at exit; printed as "link: PATH" after the port line.
                     A link to a pseudo-terminal that is still there belongs to a
                     simulator that is running: refused, with a line naming it
  --publish NAME     the same in the ports folder vek-update lists ports from:
                     $XDG_RUNTIME_DIR/vek-ports/NAME, or /tmp/vek-ports-UID/NAME
  --tty PATH         serve an existing tty instead of creating a pseudo-terminal
                     (set raw, 115200 baud, 8E1 where the driver allows parity)
  --node N           slave address (default 4)
  --gap-us US, --gap-ms MS
                     line silence that ends a received frame (default 2000 us)
  --pace             behave as a line at 115200 baud 8E1, 11 bits a byte (95.49 us):
                     a request of N bytes counts as ended N byte times after its
                     first byte arrived, the reply starts one silence gap after
                     that, and reply bytes go out no faster than one a byte time;
                     an echo (below) comes back byte by byte as the request arrives

Memory: 1 MiB from 0x81000, erased (0xFF) at start.

Requests and replies (CRC: CRC-16/MODBUS of all bytes before it, low byte first;
other fields big-endian):
  write block   04 2B EF addr(4) len(2) data(len) CRC      len 1..512
      reply     04 2B EF addr(4) len(2) CRC                11 bytes, after storing
  range CRC     04 2B F0 addr(4) len(4) CRC
      reply     04 2B F0 addr(4) len(4) crc(2) CRC         15 bytes; crc(2) is the
                CRC-16/MODBUS of the memory range, high byte first (bytes 11, 12)
  reset         04 2B F1 CRC
      reply     04 2B F1 CRC                               5 bytes
  exception     04 (function|0x80) code CRC                5 bytes
      code 1: another function or MEI type; 2: range outside the memory (nothing
      is written); 3: a length field that does not fit the frame, or a write
      block of 0 or more than 512 bytes; 6: injected by --exception
  Frames with a bad CRC, too short, or for another slave address get no reply.
  --full-ack         acknowledge a write block with the whole request, byte for
                     byte, instead of its first 9 bytes and a CRC

The line as buses and adapters are (each combines with --echo, --pace and the
faults below):
  --stray BYTE       a byte of BYTE (0 to 255, e.g. 0x00 or 0xFF) ahead of and
                     after each reply and each echo, as an RS-485 bus without bias
                     resistors reads when a driver turns on and off
  --usb MS           hand every byte on as the tool's USB adapter does: in packets
                     of 62 bytes, each as soon as it is full, a partial one only
                     when a latency timer of MS ms runs out (16 on an FTDI chip by
                     default); the timer runs on its own and starts again with each
                     packet, so a reply longer than a packet pauses up to MS ms
                     before its last piece

Faults. LIST is 1-based request numbers, e.g. 3 or 1,4,10-12; P is a share from
0 to 1 drawn at random. Requests are numbered in arrival order counting every
good frame to this slave (resends included); --wrong-crc and --short-crc count
range CRC requests only. When several faults fall on one request, the first in
this order wins: drop, exception, short-crc, wrong-crc, corrupt, split, delay.
  --drop LIST, --drop-rate P            send no reply
  --exception LIST, --exception-rate P  reply exception code 6 (busy) and do not
                                        carry the request out
  --short-crc LIST, --short-crc-rate P  range CRC reply cut to 11 bytes (its first
                                        9 bytes and a valid CRC)
  --wrong-crc LIST, --wrong-crc-rate P  range CRC reply with bytes 11, 12 inverted
                                        and a valid frame CRC
  --corrupt LIST, --corrupt-rate P      reply with its last CRC byte inverted
  --split LIST, --split-rate P          reply in two pieces, the second after
  --split-gap MS                        MS of silence (default 50)
  --delay LIST, --delay-rate P          reply MS later than usual
  --delay-ms MS                         (default 1500)
  --noise LIST, --noise-rate P          1 to 8 random bytes MS after the reply
  --noise-ms MS                         (default 20); independent of the above
  Dropped, corrupted, split and delayed replies still carry the request out.
  While a reply waits, later requests are received and answered as usual.
  --late SECONDS     a device that starts answering late (decimal, e.g. 3 or 2.5;
                     default 0, off): until SECONDS after the first byte of the
                     first good request to this slave, requests (that one too) are
                     logged "asleep", neither carried out nor answered; they are
                     numbered and drawn for as any, and the echo still comes
  --rng N            random start value of the draws (default 1): the same value
                     and options give the same faults on the same requests

Echo, as on a 2-wire line whose adapter hands back every byte the tool sends:
every frame heard (bad frames and other slaves' included) goes back as it was
received, as soon as it has ended and ahead of any reply. An echo is no reply:
the faults above act on the reply alone, a delay counts from the end of the
echo, and a dropped reply leaves the echo alone. LIST counts requests as above;
frames that are no request to this slave are echoed by the rates alone. When
both fall on one frame, --echo-short wins over --echo-corrupt.
With --pace the echo comes back while the request is still on the wire: its
byte i (from 0) no sooner than i+1 byte times after the frame's first byte was
read, the bytes of later reads of the same frame following on, and the reply
one silence gap (or --echo-gap) after the echo's last byte. Whether and how a
frame is echoed is then settled when its first bytes arrive: LIST counts the
number the frame will get if it is a good request to this slave (a frame that
turns out bad takes the number of the next request; one whose first byte is
another address counts as no request), and the middle byte and the two thirds
are of the bytes of that first read (a request written at once on a
pseudo-terminal comes in one read).
  --echo [LIST], --echo-rate P          echo; without LIST (the next argument
                                        does not start with a digit) every frame
  --echo-corrupt LIST, --echo-corrupt-rate P
                                        echo with its middle byte inverted
  --echo-short LIST, --echo-short-rate P
                                        echo of only the first two thirds of the
                                        frame (at least one byte fewer)
  --echo-gap MS      silence from the end of an echo to the reply (default -1:
                     one silence gap, as --gap-us; 0: echo and reply in one burst,
                     or with --pace the reply right behind the echo's last byte)

Output:
  --memory-out FILE  at exit, the memory from 0x81000 up to the highest byte
                     written (empty when nothing was written)
  --log FILE         one line per received frame, as it arrives: time since start,
                     request number, kind, address, length, action (answered,
                     dropped, corrupted, split, delayed, exception, wrong-crc,
                     short, refused, ignored, asleep), frame size
  --exit-after-reset exit 0 once a reset acknowledgement has been sent whole and
                     the line has been quiet for 300 ms
  --quiet            no per-frame lines on standard error
  --help             this text
)";

sim *g_sim = nullptr;

extern "C" void onSignal(int)
{
    const int saved = errno;
    if (g_sim)
        simRequestStop(g_sim);
    errno = saved;
}

bool parseLong(const char *text, long lo, long hi, long *out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno || end == text || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// "3", "2.5": seconds, to whole milliseconds
bool parseSeconds(const char *text, int *ms)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end || !(v >= 0 && v <= 3600))
        return false;
    *ms = int(std::lround(v * 1000));
    return true;
}

bool parseRate(const char *text, double *out)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end || !(v >= 0 && v <= 1))
        return false;
    *out = v;
    return true;
}

// "3", "1,4,10-12"
bool parseList(const char *text, std::vector<int> *out)
{
    std::string s = text;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        std::string item =
            s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t dash = item.find('-');
        long a = 0, b = 0;
        if (dash == std::string::npos) {
            if (!parseLong(item.c_str(), 1, 1'000'000, &a))
                return false;
            b = a;
        } else if (!parseLong(item.substr(0, dash).c_str(), 1, 1'000'000, &a) ||
                   !parseLong(item.substr(dash + 1).c_str(), a, 1'000'000, &b)) {
            return false;
        }
        for (long i = a; i <= b; i++)
            out->push_back(int(i));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return true;
}

int usage(const std::string &msg)
{
    std::fprintf(stderr, "vek-target-sim: %s (see --help)\n", msg.c_str());
    return 2;
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    sim_config cfg;
    cfg.verbose = true;
    std::string memory_out;
    struct named_fault {
        const char *name;
        sim_fault *fault;
    };
    const named_fault faults[] = {
        {"drop", &cfg.drop},
        {"corrupt", &cfg.corrupt},
        {"split", &cfg.split},
        {"delay", &cfg.delay},
        {"exception", &cfg.exception},
        {"wrong-crc", &cfg.wrong_crc},
        {"short-crc", &cfg.short_crc},
        {"noise", &cfg.noise},
        {"echo", &cfg.echo},
        {"echo-corrupt", &cfg.echo_corrupt},
        {"echo-short", &cfg.echo_short},
    };

    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i], val;
        bool has_val = false;
        if (size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            val = opt.substr(eq + 1);
            opt.resize(eq);
            has_val = true;
        }
        auto value = [&](std::string *out) {
            if (!has_val) {
                if (i + 1 >= argc)
                    return false;
                val = argv[++i];
                has_val = true;
            }
            *out = val;
            return true;
        };
        auto number = [&](long lo, long hi, long *out) {
            std::string v;
            return value(&v) && parseLong(v.c_str(), lo, hi, out);
        };
        long n = 0;
        std::string v;
        bool ok = true, known = true;

        if (opt == "--help" || opt == "-h") {
            std::fputs(HELP, stdout);
            return 0;
        } else if (opt == "--link") {
            ok = value(&cfg.link);
        } else if (opt == "--publish") {
            ok = value(&v) && !v.empty() && v.find('/') == std::string::npos;
            cfg.link = PortsFolder() + "/" + v;
        } else if (opt == "--tty") {
            ok = value(&cfg.tty);
        } else if (opt == "--node") {
            ok = number(0, 255, &n);
            cfg.node = int(n);
        } else if (opt == "--gap-us") {
            ok = number(1, 10'000'000, &n);
            cfg.gap_us = int(n);
        } else if (opt == "--gap-ms") {
            ok = number(1, 10'000, &n);
            cfg.gap_us = int(n) * 1000;
        } else if (opt == "--pace") {
            cfg.pace = true;
        } else if (opt == "--rng") {
            ok = number(0, 0xFFFFFFFFL, &n);
            cfg.rng = uint32_t(n);
        } else if (opt == "--split-gap") {
            ok = number(0, 600'000, &n);
            cfg.split_gap_ms = int(n);
        } else if (opt == "--delay-ms") {
            ok = number(0, 600'000, &n);
            cfg.delay_ms = int(n);
        } else if (opt == "--noise-ms") {
            ok = number(0, 600'000, &n);
            cfg.noise_ms = int(n);
        } else if (opt == "--echo" && !has_val &&
                   (i + 1 >= argc || !std::isdigit(uint8_t(argv[i + 1][0])))) {
            cfg.echo.rate = 1; // every frame; with a LIST it is one of the faults below
        } else if (opt == "--echo-gap") {
            ok = number(-1, 600'000, &n);
            cfg.echo_gap_ms = int(n);
        } else if (opt == "--late") {
            ok = value(&v) && parseSeconds(v.c_str(), &cfg.late_ms);
        } else if (opt == "--full-ack") {
            cfg.full_ack = true;
        } else if (opt == "--stray") {
            ok = number(0, 255, &n);
            cfg.stray = int(n);
        } else if (opt == "--usb") {
            ok = number(1, 255, &n);
            cfg.usb_ms = int(n);
        } else if (opt == "--memory-out") {
            ok = value(&memory_out);
        } else if (opt == "--log") {
            ok = value(&cfg.log_path);
        } else if (opt == "--exit-after-reset") {
            cfg.exit_after_reset = true;
        } else if (opt == "--quiet") {
            cfg.verbose = false;
        } else {
            known = false;
            for (const named_fault &f : faults) {
                const std::string name = std::string("--") + f.name;
                if (opt == name) {
                    known = true;
                    ok = value(&v) && parseList(v.c_str(), &f.fault->on);
                } else if (opt == name + "-rate") {
                    known = true;
                    ok = value(&v) && parseRate(v.c_str(), &f.fault->rate);
                }
            }
        }
        if (!known)
            return usage("unknown option " + opt);
        if (!ok)
            return usage("bad or missing value for " + opt);
        if (has_val && (opt == "--pace" || opt == "--exit-after-reset" || opt == "--quiet" ||
                        opt == "--full-ack"))
            return usage(opt + " takes no value");
    }

    static sim s; // outlives the signal handlers that refer to it
    std::string error;
    if (!simStart(&s, cfg, &error)) {
        std::fprintf(stderr, "vek-target-sim: %s\n", error.c_str());
        return 1;
    }
    g_sim = &s;
    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("port: %s\n", s.port.c_str());
    if (!cfg.link.empty())
        std::printf("link: %s\n", cfg.link.c_str());
    std::fflush(stdout);

    simWait(&s);
    simStop(&s);

    int rc = 0;
    if (!memory_out.empty() && !writeFile(memory_out, simWritten(&s))) {
        std::fprintf(stderr, "vek-target-sim: %s: %s\n", memory_out.c_str(), std::strerror(errno));
        rc = 1;
    }
    const sim_counts c = simCounts(&s);
    std::printf("summary: frames %d requests %d writes %d range-crcs %d resets %d reset-acks %d "
                "answered %d dropped %d corrupted %d split %d delayed %d exception %d "
                "wrong-crc %d short %d refused %d ignored %d noise %d written-end 0x%X echoes %d "
                "asleep %d\n",
                c.frames, c.requests, c.writes, c.range_crcs, c.resets, c.reset_acks, c.answered,
                c.dropped, c.corrupted, c.split, c.delayed, c.exceptions, c.wrong_crc,
                c.short_replies, c.refused, c.ignored, c.noise, simWrittenEnd(&s), c.echoes,
                c.asleep);
    std::fflush(stdout);
    return rc;
}

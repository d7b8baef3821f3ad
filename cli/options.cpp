// The options and what they ask for: help, the version, the list of ports, or a run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/command.h"
#include "console/console.h"
#include "ports/ports.h"
#include "run/about.h"
#include "run/program.h"
#include "system/system.h"

namespace
{

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
  --unit ID          the unit on the PORT given just before: its serial number or
                     label, as a scanner reads it (printable ASCII, up to @UNIT_MAX@
                     characters); kept in its report line and named in its summary
  --fast             send each request as soon as the reply to the one before is in,
                     instead of at the window's pace of one step every 100 ms; a reply
                     then ends at the Modbus end of frame, and a USB adapter is asked
                     for low latency
  --verify-only      only ask each device for the CRC-16 of the image's range and
                     compare it with the image's: nothing is written and no device is
                     reset. Resends and --give-up work as in a programming run
  --give-up SECONDS  end a run as "no answer" after SECONDS without a good reply
                     (default @GIVE_UP@; 0: never)
  --report FILE      append one line of JSON for each device and run to FILE: the
                     port, the unit and the adapter, start and end (UTC), the image,
                     the CRC-16 the device reported, the outcome and its cause, the
                     exit code, the seconds, the requests sent and how many were sent
                     again. A port's summary comes once its line is on the disk
  --quiet            print only each port's summary line, the tally and errors
  --list             print the ports the window would offer, one a line, with what
                     the system tells of each; why a serial device is left out goes
                     to standard error
  --version          print the version and the image: its name, size and CRC-16
  --help             print this help

The console log of one port is what the window prints, then one summary line:
port and unit, outcome, bytes, seconds, resends, the device's CRC and, when the
unit was not programmed, why. With several ports each line starts with its port,
and a tally ends the output: how many units were programmed, how many failed,
and which. Standard error gets the ports' errors and warnings, each line with its
port. On a terminal a live display at the foot shows each port's progress; in a
pipe or a file the output holds plain lines only.

The console log, the window's and that of runs from the command line, is also
kept, up to about 1 MiB (the older log is then kept once, as console.log.1), in
@LOG@.

Exit status:
  0  every device was programmed, verified and reset (--verify-only: every device
     holds the image)
  1  a port could not be opened or set up
  2  a usage error (or, for the window, no display)
  3  verification failed: a device's CRC-16 differs from the image's (--verify-only:
     a device does not hold the image)
  4  no answer: a device gave no good reply for the --give-up time
  5  interrupted (Ctrl-C, SIGTERM, or the console closed); every port is closed
     and each run's report line is written
  6  a report line could not be written, or not made safe on the disk: that
     unit has no record (a line on standard error names the cause)
With several ports the status is that of the first port, in the order given,
that was not programmed; 5 when the command was interrupted; 6 when any unit's
report line is not safe, whatever else happened.
)";

int Usage(const std::string &what)
{
    conError("vek-update: %s (see --help)\n", what.c_str());
    return EXIT_USAGE;
}

bool Wrong(const std::string &what)
{
    Usage(what);
    return false;
}

// What is wrong with a unit id, or "". It goes into the report, the summary line and the
// command line of the port's process: text a scanner types, not what a terminal or a reader of
// the report would take for something else.
std::string BadUnit(const std::string &unit)
{
    if (unit.empty())
        return "--unit needs the unit's id";
    if (unit.size() > UNIT_MAX)
        return "a unit id of more than " + std::to_string(UNIT_MAX) +
               " characters: " + Printable(unit.substr(0, UNIT_MAX)) + "...";
    for (char c : unit) {
        if (c < 0x20 || c > 0x7e) // a control character, or a byte that is no ASCII
            return "--unit takes printable ASCII only: " + Printable(unit);
    }
    return "";
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
        const bool takes =
            opt == "--port" || opt == "--unit" || opt == "--give-up" || opt == "--report";
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
            o->units.emplace_back();
        } else if (opt == "--unit") {
            if (o->ports.empty())
                return Wrong("--unit goes after the --port of its unit");
            if (!o->units.back().empty())
                return Wrong("two units for the port " + o->ports.back());
            if (const std::string why = BadUnit(value); !why.empty())
                return Wrong(why);
            o->units.back() = value;
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
        } else if (opt == "--verify-only") {
            o->verify_only = true;
        } else if (opt == "--quiet") {
            o->quiet = true;
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
    text.replace(text.find("@UNIT_MAX@"), 10, std::to_string(UNIT_MAX));
    conPrint("%s", text.c_str());
}

void Version(const void *image, uint32_t length)
{
    conPrint("vek-update %s\nFirmware image: %s, %u bytes, CRC-16 %s\n", ABOUT_VERSION,
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
        conPrint("%s%s%s\n", Printable(p.path).c_str(), description.empty() ? "" : "\t",
                 Printable(description).c_str());
    }
    for (const std::string &line : left_out)
        conError("%s\n", Printable(line).c_str());
}

} // namespace

std::string Printable(std::string text)
{
    for (char &c : text) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            c = '?';
    }
    return text;
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

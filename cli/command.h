// What the command line's parts share: the options as given, how a port's process talks to the
// command, how a run's end is named, and the report's lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"

// The default --give-up, in seconds: a device powered or reset after the command started
// still gets time to answer, and a position without a unit does not hold a fixture long.
inline constexpr double GIVE_UP_DEFAULT_S = 20;

struct options {
    std::vector<std::string> ports;
    std::vector<std::string> units; // the --unit of each port, "" for none
    bool fast = false;
    bool verify_only = false;
    bool quiet = false;
    double give_up_s = GIVE_UP_DEFAULT_S;
    std::string report;
    bool list = false, version = false, help = false;
};

// The longest unit id --unit takes.
inline constexpr size_t UNIT_MAX = 64;

// Set in the environment of the process started for each port.
inline constexpr char ONE_PORT[] = "VEK_UPDATE_ONE_PORT";
// Starts the lines a port's process writes for the command alone: MARK 'P' and its progress
// ("SHARE RESENDS STATUS"), MARK 'S' and its summary line, MARK 'E' and a line for standard
// error.
inline constexpr char MARK = '\x1e';

// How a port's run ended.
enum outcome_t {
    PROGRAMMED,
    PORT_ERROR,
    VERIFY_FAILED,
    NO_ANSWER,
    INTERRUPTED,
    VERIFIED,      // --verify-only: the device holds the image
    DIFFERS,       // --verify-only: it does not
    PROCESS_ENDED, // the port's process ended before its run did (killed, crashed)
};

struct outcome_text {
    cli_exit code;
    const char *said;     // in the summary line and the tally
    const char *recorded; // in the report
};

inline constexpr outcome_text OUTCOMES[] = {
    {EXIT_PROGRAMMED, "programmed", "programmed"},
    {EXIT_PORT, "port not opened", "port-error"},
    {EXIT_VERIFY_FAILED, "verification failed", "verification-failed"},
    {EXIT_NO_ANSWER, "no answer", "no-answer"},
    {EXIT_INTERRUPTED, "interrupted", "interrupted"},
    {EXIT_PROGRAMMED, "verified", "verified"},
    {EXIT_VERIFY_FAILED, "differs from the image", "differs"},
    {EXIT_PORT, "ended without a summary", "process-ended"},
};

// A port as the summary line and the tally name it: its name as given, and its unit.
std::string PortLabel(const std::string &port, const std::string &unit);

// What a port's line in the report says of its run; a negative count is not known.
struct unit_record {
    std::string port, path, unit; // path: as opened, for the adapter's facts
    std::chrono::system_clock::time_point start, end;
    outcome_t outcome;
    int exit_code;
    std::string cause; // "" for a device programmed or verified
    bool device_reported;
    unsigned device_crc;
    double seconds;
    uint32_t bytes;
    int requests, resends;
};

// Appends r's line to the report file; it is on stable storage once this returns true. false,
// with the line for standard error that names the system's cause in *error, when it cannot be
// written whole or made safe.
bool WriteRecord(const std::string &report, const unit_record &r, const void *image,
                 uint32_t length, std::string *error);

// What a device, a driver or a port's name put into a line is no command for the terminal.
std::string Printable(std::string text);

// The run of o's one port in this process, the image it carries; the exit code.
int RunOnePort(const options &o, const void *image, uint32_t length);

// The command: a process for each of o's ports, each running RunOnePort; the exit code.
int RunPorts(const options &o, const void *image, uint32_t length);

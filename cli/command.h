// What the command line's parts share: the options as given, how a port's process talks to the
// command, and the two ways a command runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"

struct options {
    std::vector<std::string> ports;
    bool fast = false;
    double give_up_s = GIVE_UP_DEFAULT_S;
    std::string report;
    bool list = false, version = false, help = false;
};

// Set in the environment of the process started for each port.
inline constexpr char ONE_PORT[] = "VEK_UPDATE_ONE_PORT";
// Starts the lines a port's process writes for the command alone: MARK 'P' and its progress
// ("SHARE RESENDS STATUS"), MARK 'S' and its summary line.
inline constexpr char MARK = '\x1e';

// What a device, a driver or a port's name put into a line is no command for the terminal.
std::string Printable(std::string text);

// The run of o's one port in this process, the image it carries; the exit code.
int RunOnePort(const options &o, const void *image, uint32_t length);

// The command: a process for each of o's ports, each running RunOnePort; the exit code.
int RunPorts(const options &o, const void *image, uint32_t length);

// The serial ports the operator can choose from, what each one is, and why a serial device
// that is there was left out.
#pragma once

#include <string>
#include <vector>

// The per-user folder where a simulated target publishes its port as a symlink:
// $XDG_RUNTIME_DIR/vek-ports, or /tmp/vek-ports-UID without a runtime folder.
std::string PortsFolder();

struct port_info {
    std::string path;        // the device path: what the list entry shows and a run opens
    std::string description; // what sysfs tells about the adapter, lines apart; may be empty
};

// The serial ports present and free now, sorted by the bytes of their paths, each once.
// The entries of PortsFolder() are listed by the symlink's own path. held, when not empty, is
// the port a run of this program holds: it is listed as long as it is there, and never opened.
// left_out, when given, gets one line for each serial device present but not listed, saying
// why (no permission, held by another program, not a serial port).
//
// Test aids: with VEK_PORTS_FOLDER_ONLY=1 only the ports folder is looked at, so that tests
// and the demo can never offer a real port; VEK_SYSTEM_ROOT=DIR looks for the machine's serial
// devices in DIR/dev and describes them from DIR/sys and DIR/dev/serial/by-id instead.
std::vector<port_info> ProbePorts(const std::string &held, std::vector<std::string> *left_out);

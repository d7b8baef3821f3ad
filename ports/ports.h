// The serial ports the operator can choose from, what each one is, and why a port that is
// there was left out. ports_posix.cpp (with why_posix.cpp) and ports_win32.cpp implement it for
// their systems.
#pragma once

#include <string>
#include <utility>
#include <vector>

// POSIX only: the per-user folder where a simulated target publishes its port as a symlink:
// $XDG_RUNTIME_DIR/vek-ports, or /tmp/vek-ports-UID without a runtime folder.
std::string PortsFolder();

struct port_info {
    std::string path; // the device path: what the list entry shows and a run opens
    // What the system tells about the port, may be empty. POSIX: what sysfs tells about the
    // adapter, lines apart; Windows: the friendly name, a USB adapter's ids and serial number
    // and the NT device name (such as \Device\Serial0), lines apart.
    std::string description;
};

// The serial ports present and free now, each once. held, when not empty, is the port a run of
// this program holds: it is listed as long as it is there, and never opened. left_out, when
// given, gets one line for each port present but not listed, saying why.
//
// POSIX: /dev/ttyS*, ttyUSB*, ttyACM*, ttyAMA*, ttyXRUSB*, rfcomm* and the entries of
// PortsFolder(), those by the symlink's own path, sorted by the bytes of their paths. Left out,
// with the reason: no permission, held by another program, not a serial port.
// Test aids: with VEK_PORTS_FOLDER_ONLY=1 only the ports folder is looked at, so that tests
// and the demo can never offer a real port; VEK_SYSTEM_ROOT=DIR looks for the machine's serial
// devices in DIR/dev and describes them from DIR/sys and DIR/dev/serial/by-id instead.
//
// Windows: the COM ports the system names, in HARDWARE\DEVICEMAP\SERIALCOMM or as DOS devices,
// COM1 and up, below COM_MAX, as \\.\comN in ascending number. Each is probed; a port that does
// not open is not listed. The probes run at the same time and get one short wait together
// (PROBE_WAIT_MS): a port whose open has not returned by then (a Bluetooth serial port can hold
// it for half a minute while it looks for its device) is left out, with its line.
std::vector<port_info> ProbePorts(const std::string &held, std::vector<std::string> *left_out);

// Why a run could not open the port at path, error being the system's code for the failed open:
// the system's words, and on POSIX, as the list's lines say it, who holds the port or what would
// let the user in.
std::string PortOpenCause(const std::string &path, unsigned long error);

// What the system knows of the adapter behind a port (path may be a link to it), as named
// facts for a record of the run. POSIX: for a USB adapter vendor_id, product_id, serial,
// manufacturer, product and by_id, and the driver; pseudo_terminal for a pseudo-terminal.
// Windows: device, the NT device name, friendly_name, instance_id, and a USB adapter's
// vendor_id, product_id and serial. Empty when nothing is known.
std::vector<std::pair<std::string, std::string>> AdapterFacts(const std::string &path);

// The serial ports the operator can choose from.
#pragma once

#include <string>
#include <vector>

// The per-user folder where a simulated target publishes its port as a symlink:
// $XDG_RUNTIME_DIR/vek-ports, or /tmp/vek-ports-UID without a runtime folder.
std::string PortsFolder();

// Device paths of the serial ports present and free now, sorted by byte order, each once.
// The entries of PortsFolder() are listed by the symlink's own path. With the environment
// variable VEK_PORTS_FOLDER_ONLY set to 1 only that folder is looked at, so that tests and
// the demo can never offer a real port.
std::vector<std::string> ListPorts();

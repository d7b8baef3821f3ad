#include "shell/ports.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

std::string PortsFolder()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/vek-ports";
    return "/tmp/vek-ports-" + std::to_string(getuid());
}

// A terminal that opens, and that no other program holds locked. The lock test matters for
// root, whom the exclusive-open flag of a held port does not stop.
static bool PortIsFree(const char *path)
{
    // O_NONBLOCK: do not wait for carrier; O_NOCTTY: do not become our controlling terminal.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios settings;
    bool usable = tcgetattr(fd, &settings) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd); // also drops the lock
    return usable;
}

static void AddDevices(std::vector<std::string> *ports)
{
    static const char *const patterns[] = {"/dev/ttyS*",   "/dev/ttyUSB*",   "/dev/ttyACM*",
                                           "/dev/ttyAMA*", "/dev/ttyXRUSB*", "/dev/rfcomm*"};
    for (const char *pattern : patterns) {
        glob_t found{};
        if (glob(pattern, 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; i++)
                ports->push_back(found.gl_pathv[i]);
        }
        globfree(&found);
    }
}

static void AddFolder(std::vector<std::string> *ports)
{
    std::string folder = PortsFolder();
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ports->push_back(folder + "/" + entry->d_name);
    }
    closedir(dir);
}

std::vector<std::string> ListPorts()
{
    std::vector<std::string> candidates;
    const char *folder_only = getenv("VEK_PORTS_FOLDER_ONLY");
    if (folder_only == nullptr || strcmp(folder_only, "1") != 0)
        AddDevices(&candidates);
    AddFolder(&candidates);

    std::vector<std::string> ports;
    for (const std::string &path : candidates) {
        if (PortIsFree(path.c_str()))
            ports.push_back(path);
    }
    // std::string compares as unsigned bytes, as strcmp does.
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

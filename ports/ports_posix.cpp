#include "ports/ports.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <map>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "ports/why.h"
#include "system/os.h"

std::string PortsFolder()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/vek-ports";
    return "/tmp/vek-ports-" + std::to_string(getuid());
}

std::string LinkTarget(const std::string &path)
{
    std::array<char, 4096> buf{};
    ssize_t n = readlink(path.c_str(), buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

std::string RealPath(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    std::string result = real != nullptr ? real : "";
    free(real);
    return result;
}

// Only regular files are read, and only their start: under a test's system root a FIFO or a
// device in their place must not hang or flood the probe.
std::string ReadLine(const std::string &path)
{
    std::string line;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return line;
    struct stat st {
    };
    std::array<char, 256> buf{};
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, buf.data(), buf.size()) : 0;
    close(fd);
    if (n > 0)
        line.assign(buf.data(), static_cast<size_t>(n));
    if (const size_t nl = line.find('\n'); nl != std::string::npos)
        line.resize(nl);
    if (line.size() > 64)
        line.resize(64);
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

namespace
{

// One path that may be a serial port.
struct candidate {
    std::string path;
    std::string tty;    // its name under /sys/class/tty, when it has one
    std::string target; // where a symlink of the ports folder leads
};

enum probe_t { PORT_FREE, PORT_GONE, PORT_REFUSED };

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The machine's devices and sysfs, or the tree a test built in their place.
std::string SystemRoot()
{
    const char *root = getenv("VEK_SYSTEM_ROOT");
    return root != nullptr ? root : "";
}

void AddDevices(const std::string &root, std::vector<candidate> *out)
{
    static constexpr std::array patterns{"ttyS*",   "ttyUSB*",   "ttyACM*",
                                         "ttyAMA*", "ttyXRUSB*", "rfcomm*"};
    for (const char *pattern : patterns) {
        glob_t found{};
        if (glob((root + "/dev/" + pattern).c_str(), 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; i++)
                out->push_back({found.gl_pathv[i], BaseName(found.gl_pathv[i]), ""});
        }
        globfree(&found);
    }
}

// A path as a candidate: a link to a real port is described as that port; pseudo-terminals
// are not in sysfs.
candidate Candidate(const std::string &path, const std::string &root)
{
    candidate c{path, "", RealPath(path)};
    const std::string dev = RealPath(root + "/dev");
    if (c.target.rfind("/dev/pts/", 0) != 0 && !dev.empty() && c.target.rfind(dev + "/", 0) == 0)
        c.tty = BaseName(c.target);
    return c;
}

void AddFolder(std::vector<candidate> *out)
{
    std::string folder = PortsFolder();
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        out->push_back(Candidate(folder + "/" + entry->d_name, ""));
    }
    closedir(dir);
}

// Opens the port as a run would, without waiting for carrier and without making it our
// controlling terminal, and lets go at once.
probe_t Probe(const std::string &path, const struct stat &st, std::string *why)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PORT_GONE;
        *why = WhyNotOpened(errno, path, st);
        return PORT_REFUSED;
    }
    termios settings{};
    int exclusive = 0;
    bool terminal = tcgetattr(fd, &settings) == 0;
    // Root is not stopped by another program's exclusive use, only told of it; nobody gets
    // past another holder's lock.
    bool held = terminal && ((ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) ||
                             flock(fd, LOCK_EX | LOCK_NB) != 0);
    close(fd); // also drops the lock
    if (terminal && !held)
        return PORT_FREE;
    *why = terminal ? WhyHeld(path, st) : WHY_NOT_SERIAL;
    return PORT_REFUSED;
}

// What the system tells of the port: for a USB adapter its maker, product, IDs, serial number
// and the by-id name udev gave it; for another port its driver's name.
std::vector<std::pair<std::string, std::string>> Facts(const candidate &c, const std::string &root)
{
    if (c.target.rfind("/dev/pts/", 0) == 0)
        return {{"pseudo_terminal", c.target}};
    if (c.tty.empty())
        return {};
    std::string sys = RealPath(root + "/sys");
    std::string at = RealPath(root + "/sys/class/tty/" + c.tty + "/device");
    std::string driver, usb;
    // Up from the port's device towards the bus it hangs on; the generic serial-base layer of
    // newer kernels names no driver worth showing.
    while (!sys.empty() && at.size() > sys.size() && at.rfind(sys + "/", 0) == 0) {
        if (driver.empty() && BaseName(LinkTarget(at + "/subsystem")) != "serial-base")
            driver = BaseName(LinkTarget(at + "/driver"));
        if (access((at + "/idVendor").c_str(), F_OK) == 0) {
            usb = at;
            break;
        }
        at.resize(at.rfind('/'));
    }
    std::vector<std::pair<std::string, std::string>> facts;
    auto add = [&](const char *name, const std::string &value) {
        if (!value.empty())
            facts.emplace_back(name, value);
    };
    add("driver", driver);
    if (usb.empty())
        return facts;
    add("vendor_id", ReadLine(usb + "/idVendor"));
    add("product_id", ReadLine(usb + "/idProduct"));
    add("serial", ReadLine(usb + "/serial"));
    add("manufacturer", ReadLine(usb + "/manufacturer"));
    add("product", ReadLine(usb + "/product"));
    std::string by_id = root + "/dev/serial/by-id";
    if (DIR *dir = opendir(by_id.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.' &&
                BaseName(LinkTarget(by_id + "/" + entry->d_name)) == c.tty) {
                add("by_id", entry->d_name);
                break;
            }
        }
        closedir(dir);
    }
    return facts;
}

// The facts as the open list shows them, lines apart.
std::string Describe(const candidate &c, const std::string &root)
{
    std::map<std::string, std::string> f;
    for (const auto &[name, value] : Facts(c, root))
        f[name] = value;
    if (f.count("pseudo_terminal"))
        return "pseudo-terminal " + f["pseudo_terminal"];
    if (!f.count("vendor_id"))
        return f.count("driver") ? "driver " + f["driver"] : "";
    const std::string &maker = f["manufacturer"], &product = f["product"];
    std::string text = maker + (maker.empty() || product.empty() ? "" : " ") + product;
    if (text.empty())
        text = "USB serial adapter";
    text += " (" + f["vendor_id"] + ":" + f["product_id"] + ")";
    if (f.count("serial"))
        text += ", serial " + f["serial"];
    if (f.count("by_id"))
        text += "\nby-id " + f["by_id"];
    return text;
}

} // namespace

std::vector<std::pair<std::string, std::string>> AdapterFacts(const std::string &path)
{
    const std::string root = SystemRoot();
    return Facts(Candidate(path, root), root);
}

std::string PortOpenCause(const std::string &path, unsigned long error)
{
    const int e = static_cast<int>(error);
    std::string cause = osErrorWords(error);
    struct stat st {
    };
    if ((e == EBUSY || e == EACCES || e == EPERM) && stat(path.c_str(), &st) == 0)
        cause += ": " + WhyNotOpened(e, path, st);
    return cause;
}

std::vector<port_info> ProbePorts(const std::string &held, std::vector<std::string> *left_out)
{
    std::string root = SystemRoot();
    std::vector<candidate> candidates;
    const char *folder_only = getenv("VEK_PORTS_FOLDER_ONLY");
    if (folder_only == nullptr || strcmp(folder_only, "1") != 0)
        AddDevices(root, &candidates);
    AddFolder(&candidates);
    // std::string compares as unsigned bytes, as strcmp does.
    std::sort(candidates.begin(), candidates.end(),
              [](const candidate &a, const candidate &b) { return a.path < b.path; });
    candidates.erase(
        std::unique(candidates.begin(), candidates.end(),
                    [](const candidate &a, const candidate &b) { return a.path == b.path; }),
        candidates.end());

    // The run's port may be listed under a second name too (a link in the ports folder and the
    // device itself): that name is the same device and is not opened either.
    struct stat held_st {
    };
    bool holding = !held.empty() && stat(held.c_str(), &held_st) == 0 && S_ISCHR(held_st.st_mode);

    std::vector<port_info> ports;
    for (const candidate &c : candidates) {
        // Gone (a dangling link), or no device at all: nothing to tell the operator.
        struct stat st {
        };
        if (stat(c.path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        std::string why;
        bool ours = c.path == held || (holding && st.st_rdev == held_st.st_rdev);
        probe_t probed = ours ? PORT_FREE : Probe(c.path, st, &why);
        if (probed == PORT_FREE)
            ports.push_back({c.path, Describe(c, root)});
        else if (probed == PORT_REFUSED && left_out != nullptr)
            left_out->push_back("Port " + c.path + " not listed: " + why);
    }
    return ports;
}

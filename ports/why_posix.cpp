// Why a serial device that is there is not listed: no permission (and what would let the user
// in), held by another program (named where /proc tells), or no serial port at all.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "ports/why.h"

const char WHY_NOT_SERIAL[] = "not a serial port: the driver refuses the terminal settings";

namespace
{

// The user and group databases are read with the calls that fill a buffer of the caller's:
// the window's toolkit runs threads of its own, and the static records of the plain calls are
// shared by all of them. A record larger than the buffer (a group with many members) gets a
// buffer twice as large, up to 1 MiB.
template <typename lookup> bool Lookup(lookup call)
{
    std::vector<char> buf(16384);
    int e = 0;
    while ((e = call(buf)) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return e == 0;
}

struct account {
    std::string name; // its number where the database has no such user
    bool known = false;
    gid_t group = 0; // the primary group, where known
};

account Account(uid_t uid)
{
    account a{std::to_string(uid)};
    passwd pw{};
    passwd *found = nullptr;
    Lookup([&](std::vector<char> &buf) {
        return getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    });
    if (found != nullptr)
        a = {found->pw_name, true, found->pw_gid};
    return a;
}

// The group's name, and whether user is listed among its members.
std::string GroupName(gid_t gid, const std::string &user, bool *member)
{
    group gr{};
    group *found = nullptr;
    Lookup([&](std::vector<char> &buf) {
        return getgrgid_r(gid, &gr, buf.data(), buf.size(), &found);
    });
    if (found == nullptr)
        return std::to_string(gid);
    for (char **m = found->gr_mem; m != nullptr && *m != nullptr; m++)
        *member = *member || user == *m;
    return found->gr_name;
}

std::string NoPermission(const struct stat &st)
{
    std::array<char, 8> mode{};
    snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const account me = Account(getuid());
    const std::string &user = me.name;
    bool member = me.known && me.group == st.st_gid;
    const std::string group_name = GroupName(st.st_gid, user, &member);
    std::string why = "no permission (owner " + Account(st.st_uid).name + ", group " + group_name +
                      ", mode " + mode.data() + ")";
    // A group without read and write access, or root's, is no way in for anyone else.
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || st.st_gid == 0)
        return why + ": only its owner may open it";
    // Already in the group and still refused: the mode bits are not what keeps us out.
    std::array<gid_t, 256> groups{};
    int n = getgroups(static_cast<int>(groups.size()), groups.data());
    if (getegid() == st.st_gid || std::find(groups.begin(), groups.begin() + std::max(n, 0),
                                            st.st_gid) != groups.begin() + std::max(n, 0))
        return why + ": refused although this program is in group " + group_name +
               " (an access list or a security policy keeps it out)";
    if (member)
        return why + ": you are in group " + group_name +
               " but this login is older than that: log out and in again";
    return why + ": add yourself to the group with \"sudo usermod -aG " + group_name + " " + user +
           "\", then log out and in again (the group counts from the next login)";
}

std::string ProcessName(const std::string &pid)
{
    std::string comm = ReadLine("/proc/" + pid + "/comm");
    return (comm.empty() ? std::string("a program") : comm) + " (pid " + pid + ")";
}

bool Digits(const char *text)
{
    return *text != '\0' && strspn(text, "0123456789") == strlen(text);
}

// "MAJOR:MINOR:INODE" of /proc/locks, the device numbers in hex, names this device node.
bool SameNode(const std::string &field, const struct stat &st)
{
    const char *p = field.c_str();
    char *end = nullptr;
    unsigned long major_no = strtoul(p, &end, 16);
    if (*end != ':')
        return false;
    unsigned long minor_no = strtoul(end + 1, &end, 16);
    if (*end != ':')
        return false;
    unsigned long long inode = strtoull(end + 1, &end, 10);
    return *end == '\0' && major_no == major(st.st_dev) && minor_no == minor(st.st_dev) &&
           inode == st.st_ino;
}

} // namespace

// Who holds the device, as far as /proc tells: first the holder of a lock on it, then every
// other process that has it open (only our own processes' descriptors are readable, unless we
// are root). Descriptors are matched by the name /proc gives them, never by stat(): that would
// ask each open file's file system, and a hung network mount would freeze the window.
std::string WhyHeld(const std::string &path, const struct stat &st)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, node;
        fields >> number >> kind >> mode >> access >> pid >> node;
        if (kind != "->" && SameNode(node, st)) // "->" marks a waiter, not the holder
            return "held by " + ProcessName(pid);
    }
    std::string device = RealPath(path);
    std::string holders;
    std::string self = std::to_string(getpid());
    DIR *proc = device.empty() ? nullptr : opendir("/proc");
    if (proc != nullptr) {
        while (const dirent *p = readdir(proc)) {
            if (!Digits(p->d_name) || self == p->d_name)
                continue;
            std::string fds = std::string("/proc/") + p->d_name + "/fd";
            DIR *dir = opendir(fds.c_str());
            if (dir == nullptr)
                continue;
            while (const dirent *fd = readdir(dir)) {
                if (Digits(fd->d_name) && LinkTarget(fds + "/" + fd->d_name) == device) {
                    holders += (holders.empty() ? "" : ", ") + ProcessName(p->d_name);
                    break;
                }
            }
            closedir(dir);
        }
        closedir(proc);
    }
    return holders.empty() ? "in use by another program" : "held by " + holders;
}

std::string WhyNotOpened(int error, const std::string &path, const struct stat &st)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return NoPermission(st);
    case EBUSY: // another program set exclusive use
        return WhyHeld(path, st);
    case EIO: // a serial driver with no hardware behind the port
    case ENXIO:
    case ENODEV:
        return WHY_NOT_SERIAL;
    default:
        return std::string("cannot be opened: ") + strerror(error);
    }
}

// The programs' system services on POSIX.
#include "system/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "system/os.h"

std::tm sysUtc(std::time_t t)
{
    std::tm out{};
    gmtime_r(&t, &out);
    return out;
}

// This program's own executable, to start it again for each port.
static std::string OwnExecutable()
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

std::string sysPortPath(const std::string &name)
{
    return name;
}

const char SYS_LOG_PLACE[] =
    "$XDG_STATE_HOME/vek-update/console.log, or without XDG_STATE_HOME in\n"
    "~/.local/state/vek-update/console.log";

std::string sysLogPath()
{
    // A relative XDG_STATE_HOME is no valid one, and is ignored.
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    std::string folder;
    if (state != nullptr && state[0] == '/')
        folder = state;
    else if (home != nullptr && home[0] == '/')
        folder = std::string(home) + "/.local/state";
    else
        return "";
    folder += "/vek-update";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return folder + "/console.log";
}

// The folder at path's parent on the disk, names and all: 0 or the errno value.
static int SyncFolder(const std::string &path)
{
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = fd < 0 || fsync(fd) != 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    return error;
}

bool sysAppend(const std::string &path, const std::string &text, std::string *why)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = osErrorWords(static_cast<unsigned long>(errno));
        return false;
    }
    // A file this call may have made is found after a power cut only once its folder is on the
    // disk too.
    struct stat st {
    };
    const bool fresh = fstat(fd, &st) != 0 || st.st_size == 0;
    ssize_t n;
    while ((n = write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
    }
    // A short write sets no errno: the disk had room for part of the line only.
    int error = n < 0 ? errno : n != static_cast<ssize_t>(text.size()) ? ENOSPC : 0;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && fresh)
        error = SyncFolder(path);
    if (error != 0)
        *why = osErrorWords(static_cast<unsigned long>(error));
    return error == 0;
}

namespace
{

volatile std::sig_atomic_t interrupts = 0;

extern "C" void OnInterrupt(int)
{
    interrupts = interrupts + 1;
}

} // namespace

int sysTerminalColumns()
{
    const char *term = getenv("TERM");
    winsize size{};
    if (!isatty(STDOUT_FILENO) || term == nullptr || strcmp(term, "dumb") == 0)
        return 0;
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void sysCatchInterrupts()
{
    struct sigaction sa {
    };
    sa.sa_handler = OnInterrupt;
    // Once: a second Ctrl-C or SIGTERM ends the program at once, stuck or not.
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    // Output to a pipe whose reader has gone fails; it does not end the program.
    signal(SIGPIPE, SIG_IGN);
}

int sysInterrupts()
{
    return static_cast<int>(interrupts);
}

bool sysSpawn(const std::vector<std::string> &args, const std::string &env, sys_child *child)
{
    const std::string self = OwnExecutable();
    std::vector<char *> argv{const_cast<char *>(self.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string name = env.substr(0, env.find('=') + 1);
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; e++) {
        if (strncmp(*e, name.c_str(), name.size()) != 0)
            envp.push_back(*e);
    }
    envp.push_back(const_cast<char *>(env.c_str()));
    envp.push_back(nullptr);

    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, p[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(p[1]);
    if (rc != 0) {
        close(p[0]);
        return false;
    }
    *child = {pid, p[0], 0, false};
    return true;
}

int sysReadChild(const sys_child *child, char *buf, int size)
{
    for (;;) {
        ssize_t n = read(static_cast<int>(child->output), buf, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? static_cast<int>(n) : 0;
    }
}

void sysStopChild(sys_child *child)
{
    // The child's own handler takes the first; the second ends it, its handler taken back.
    if (child->process > 0)
        kill(static_cast<pid_t>(child->process), SIGTERM);
    child->asked++;
}

int sysWaitChild(sys_child *child, std::string *how)
{
    int status = 0;
    while (waitpid(static_cast<pid_t>(child->process), &status, 0) < 0 && errno == EINTR) {
    }
    // Its pid is free for the system to give again: nothing may be sent to it any more.
    child->process = -1;
    close(static_cast<int>(child->output));
    if (WIFSIGNALED(status)) {
        const char *name = sigabbrev_np(WTERMSIG(status));
        *how = "killed by " + (name != nullptr ? "SIG" + std::string(name)
                                               : "signal " + std::to_string(WTERMSIG(status)));
        return -1;
    }
    *how = "exit code " + std::to_string(WEXITSTATUS(status));
    return WEXITSTATUS(status);
}

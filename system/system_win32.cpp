// The programs' system services on Windows.
#include "system/system.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <windows.h>

#include "system/os.h"

std::tm sysUtc(std::time_t t)
{
    std::tm out{};
    gmtime_s(&out, &t);
    return out;
}

// This program's own executable, to start it again for each port.
static std::string OwnExecutable()
{
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

std::string sysPortPath(const std::string &name)
{
    // COM10 and above open only through the device namespace; COM1 to COM9 do either way.
    bool com = name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0;
    for (size_t i = 3; com && i < name.size(); i++)
        com = isdigit(static_cast<unsigned char>(name[i])) != 0;
    return com ? "\\\\.\\" + name : name;
}

const char SYS_LOG_PLACE[] = "%LOCALAPPDATA%\\vek-update\\console.log";

std::string sysLogPath()
{
    const char *local = getenv("LOCALAPPDATA");
    if (local == nullptr || *local == '\0')
        return "";
    const std::string folder = std::string(local) + "\\vek-update";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return folder + "\\console.log";
}

bool sysAppend(const std::string &path, const std::string &text, std::string *why)
{
    // Opened for appending only: each WriteFile lands whole at the end, whoever else appends.
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        *why = osErrorWords(GetLastError());
        return false;
    }
    DWORD written = 0, error = 0;
    if (!WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        error = GetLastError();
    else if (written != text.size())
        error = ERROR_DISK_FULL; // no error set: the disk had room for part of the line only
    // The file system's own journal keeps a new file's name; its data needs the flush.
    else if (!FlushFileBuffers(f))
        error = GetLastError();
    CloseHandle(f);
    if (error != 0)
        *why = osErrorWords(error);
    return error == 0;
}

namespace
{

// What a port's program ended by the second ask exits with: the code of a process that Ctrl-C
// ended.
constexpr UINT EXIT_CODE_STOPPED = 0xC000013A;

volatile LONG interrupts = 0;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    InterlockedIncrement(&interrupts);
    // After a close, log-off or shut-down Windows ends the program as soon as this returns:
    // it waits here while the program closes its ports and writes its records, and ends.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

// An argument as the C runtime of the program started splits its command line again.
std::string Quoted(const std::string &arg)
{
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

} // namespace

int sysTerminalColumns()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleMode(out, &mode) ||
        !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
        !GetConsoleScreenBufferInfo(out, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void sysCatchInterrupts()
{
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int sysInterrupts()
{
    return static_cast<int>(InterlockedCompareExchange(&interrupts, 0, 0));
}

bool sysSpawn(const std::vector<std::string> &args, const std::string &env, sys_child *child)
{
    const std::string self = OwnExecutable();
    std::string command = Quoted(self);
    for (const std::string &a : args)
        command += " " + Quoted(a);
    // The child's environment: this process's, the variable given in place of any of that name
    // (names compare without regard to case). This process's own stays as it is.
    const std::string name = env.substr(0, env.find('=') + 1);
    std::string block;
    if (char *mine = GetEnvironmentStringsA()) {
        for (const char *e = mine; *e != '\0'; e += strlen(e) + 1) {
            if (_strnicmp(e, name.c_str(), name.size()) != 0)
                block.append(e).push_back('\0');
        }
        FreeEnvironmentStringsA(mine);
    }
    block.append(env).push_back('\0');
    block.push_back('\0');

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    // Started without a console, a console program would get a window of its own for each.
    const DWORD flags = GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0;
    const BOOL started = CreateProcessA(self.c_str(), command.data(), nullptr, nullptr, TRUE, flags,
                                        block.data(), nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return false;
    }
    CloseHandle(pi.hThread);
    *child = {reinterpret_cast<intptr_t>(pi.hProcess), reinterpret_cast<intptr_t>(read_end), 0,
              false};
    return true;
}

int sysReadChild(const sys_child *child, char *buf, int size)
{
    DWORD n = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(child->output), buf, static_cast<DWORD>(size), &n,
                  nullptr))
        return 0;
    return static_cast<int>(n);
}

void sysStopChild(sys_child *child)
{
    // The ports' programs share this one's console and have its Ctrl-C or close themselves;
    // asked again, one that has not ended is stuck, and is ended here.
    if (child->process != -1 && child->asked++ > 0 &&
        TerminateProcess(reinterpret_cast<HANDLE>(child->process), EXIT_CODE_STOPPED))
        child->killed = true;
}

int sysWaitChild(sys_child *child, std::string *how)
{
    HANDLE process = reinterpret_cast<HANDLE>(child->process);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    CloseHandle(reinterpret_cast<HANDLE>(child->output));
    child->process = -1; // the handle's value is free for the system to give again
    if (child->killed && code == EXIT_CODE_STOPPED) {
        *how = "killed";
        return -1;
    }
    // A crash ends a process with the code of its exception, such as 0xC0000005.
    char text[32];
    snprintf(text, sizeof text, code >= 0xC0000000 ? "exit code %#lx" : "exit code %lu",
             static_cast<unsigned long>(code));
    *how = text;
    return static_cast<int>(code);
}

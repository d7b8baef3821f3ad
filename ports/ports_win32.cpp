#include "ports/ports.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <windows.h>

#include "ports/port_open.h"
#include "run/window.h"
#include "system/system.h"

namespace
{

// How long the list waits for the probes' answers, all of them together, once all have started.
constexpr int PROBE_WAIT_MS = 200;

// The ports found, by number, each with the NT device name the system gives it where it tells.
using found_t = std::map<int, std::string>;

// The number of a port named COMn (in any case), or 0 for any other name and for the numbers
// the program does not take: COM0, a leading zero, and COM_MAX and above.
int PortNumber(const char *name, size_t length)
{
    if (length < 4 || _strnicmp(name, "COM", 3) != 0 || name[3] == '0')
        return 0;
    int n = 0;
    for (size_t i = 3; i < length; i++) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
        if (n >= COM_MAX)
            return 0;
    }
    return n;
}

// The ports the serial drivers name in the registry: each value's name is the NT device, its
// data the COM name.
void AddSerialComm(found_t *found)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    std::array<char, 16384> device{}; // the longest value name the registry allows
    std::array<char, 64> port{};
    for (DWORD i = 0;; i++) {
        DWORD device_len = device.size(), port_len = port.size() - 1, type = 0;
        LONG result = RegEnumValueA(key, i, device.data(), &device_len, nullptr, &type,
                                    reinterpret_cast<BYTE *>(port.data()), &port_len);
        if (result == ERROR_MORE_DATA) // data too long for a COM name
            continue;
        if (result != ERROR_SUCCESS)
            break;
        int n = type == REG_SZ ? PortNumber(port.data(), strnlen(port.data(), port_len)) : 0;
        if (n != 0)
            (*found)[n] = device.data();
    }
    RegCloseKey(key);
}

// The COM names among the DOS device names, for drivers that make the name but leave the
// registry key alone; each described by the device it stands for unless the key did.
void AddDosDevices(found_t *found)
{
    std::vector<char> names(1 << 16);
    DWORD got = 0;
    while ((got = QueryDosDeviceA(nullptr, names.data(), names.size())) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24))
        names.resize(names.size() * 2);
    const char *end = names.data() + got;
    for (const char *name = names.data(); name < end && *name != '\0';) {
        size_t length = strnlen(name, end - name);
        if (int n = PortNumber(name, length); n != 0) {
            std::string &description = (*found)[n];
            std::array<char, 1024> device{};
            if (description.empty() && QueryDosDeviceA(name, device.data(), device.size()) != 0)
                description = device.data();
        }
        name += length + 1;
    }
}

enum answer_t { PENDING, OPENS, REFUSED, NO_THREAD };

// The answers of one listing's probes. Each probe's thread shares it: a probe whose open
// returns only after the list was made still has it to write to.
struct round_t {
    std::mutex lock;
    std::condition_variable answered;
    std::vector<answer_t> answers;
    size_t pending = 0;
};

} // namespace

std::vector<port_info> ProbePorts(const std::string &held, std::vector<std::string> *left_out)
{
    found_t found;
    AddSerialComm(&found);
    AddDosDevices(&found);
    std::vector<port_info> candidates;
    for (const auto &[n, description] : found) {
        std::array<char, 16> path{};
        snprintf(path.data(), path.size(), "\\\\.\\com%d", n);
        candidates.push_back({path.data(), description});
    }

    // Each port on a thread of its own: pressing Program opens the port on the window's one
    // thread, so a port whose open stalls here would freeze the dialog there too; it is left
    // out, and its probe left to return whenever its driver lets it.
    auto round = std::make_shared<round_t>();
    std::unique_lock hold(round->lock);
    round->answers.assign(candidates.size(), PENDING);
    for (size_t i = 0; i < candidates.size(); i++) {
        if (_stricmp(candidates[i].path.c_str(), held.c_str()) == 0) {
            round->answers[i] = OPENS;
            continue;
        }
        try {
            std::thread([round, i, path = candidates[i].path] {
                answer_t answer = PortOpens(path.c_str()) ? OPENS : REFUSED;
                std::lock_guard done(round->lock);
                round->answers[i] = answer;
                round->pending--;
                round->answered.notify_one();
            }).detach();
            round->pending++;
        } catch (const std::system_error &) {
            round->answers[i] = NO_THREAD;
        }
    }
    // The wait counts from the last probe's start: under Wine starting 255 of them took about
    // 200 ms, and a wait counted from the first left out free ports whose probe had not begun.
    round->answered.wait_for(hold, std::chrono::milliseconds(PROBE_WAIT_MS),
                             [&] { return round->pending == 0; });

    std::vector<port_info> ports;
    for (size_t i = 0; i < candidates.size(); i++) {
        const answer_t answer = round->answers[i];
        if (answer == OPENS)
            ports.push_back(candidates[i]);
        else if (left_out != nullptr && answer != REFUSED)
            left_out->push_back("Port " + candidates[i].path + " not listed: " +
                                (answer == PENDING ? "its open did not return within " +
                                                         std::to_string(PROBE_WAIT_MS) + " ms"
                                                   : "no thread could be started to probe it"));
    }
    return ports;
}

std::string PortOpenCause(const std::string &, unsigned long error)
{
    return sysErrorWords(error);
}

std::vector<std::pair<std::string, std::string>> AdapterFacts(const std::string &path)
{
    const char *name = path.c_str();
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    found_t found;
    AddSerialComm(&found);
    AddDosDevices(&found);
    auto at = found.find(PortNumber(name, strlen(name)));
    if (at == found.end() || at->second.empty())
        return {};
    return {{"device", at->second}};
}

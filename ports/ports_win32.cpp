#include "ports/ports.h"

#include <algorithm>
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
// initguid.h first: devguid.h then defines the ports class's GUID here.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include "ports/instance_id.h"
#include "ports/port_open.h"
#include "run/window.h"
#include "system/os.h"

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

// What the ports device class tells of a COM port: how Device Manager names it, its device
// instance id, and what that id (or, for one interface of a composite device, its parent's)
// tells of a USB adapter.
struct class_port {
    std::string friendly_name;
    std::string instance_id;
    usb_ids usb;
};

// A text property of the device, "" when it has none.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property)
{
    std::array<char, 1024> text{};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                           reinterpret_cast<BYTE *>(text.data()), text.size() - 1,
                                           nullptr) ||
        type != REG_SZ)
        return "";
    return text.data();
}

// The COM ports of the ports device class that are present, by number, as the system
// describes them. Empty where the system keeps no such class (Wine names its ports without it).
std::map<int, class_port> PortsClass()
{
    std::map<int, class_port> ports;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
        // The port's name is in the device's own key; a printer port has an LPT name there.
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        std::array<char, 64> name{};
        DWORD size = name.size() - 1, type = 0;
        const bool named =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name.data()),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        const int n = named ? PortNumber(name.data(), strnlen(name.data(), size)) : 0;
        if (n == 0)
            continue;
        class_port &port = ports[n];
        port.friendly_name = Property(set, &device, SPDRP_FRIENDLYNAME);
        std::array<char, MAX_DEVICE_ID_LEN + 1> id{};
        if (SetupDiGetDeviceInstanceIdA(set, &device, id.data(), id.size(), nullptr))
            port.instance_id = id.data();
        port.usb = ParseInstanceId(port.instance_id);
        DEVINST parent = 0;
        if (port.usb.composite && CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS &&
            CM_Get_Device_IDA(parent, id.data(), id.size() - 1, 0) == CR_SUCCESS)
            port.usb.serial = ParseInstanceId(id.data()).serial;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

// The facts of one port: what the ports class tells, then the NT device name.
std::vector<std::pair<std::string, std::string>> Facts(const class_port &c,
                                                       const std::string &device)
{
    std::vector<std::pair<std::string, std::string>> facts;
    auto add = [&](const char *name, const std::string &value) {
        if (!value.empty())
            facts.emplace_back(name, value);
    };
    add("friendly_name", c.friendly_name);
    add("vendor_id", c.usb.vendor_id);
    add("product_id", c.usb.product_id);
    add("serial", c.usb.serial);
    add("instance_id", c.instance_id);
    add("device", device);
    return facts;
}

// The facts as --list shows them, lines apart: "USB Serial Port (COM3)", "USB 0403:6001,
// serial A12345B", "\Device\VCP0".
std::string Describe(const class_port &c, const std::string &device)
{
    std::string text = c.friendly_name;
    auto line = [&text](const std::string &more) {
        if (!more.empty())
            text += (text.empty() ? "" : "\n") + more;
    };
    if (c.usb.usb)
        line("USB " + c.usb.vendor_id + ":" + c.usb.product_id +
             (c.usb.serial.empty() ? "" : ", serial " + c.usb.serial));
    line(device);
    return text;
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
    std::vector<int> numbers;
    for (const auto &[n, description] : found) {
        std::array<char, 16> path{};
        snprintf(path.data(), path.size(), "\\\\.\\com%d", n);
        candidates.push_back({path.data(), description});
        numbers.push_back(n);
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

    std::map<int, class_port> described;
    if (std::count(round->answers.begin(), round->answers.end(), OPENS) > 0)
        described = PortsClass();
    std::vector<port_info> ports;
    for (size_t i = 0; i < candidates.size(); i++) {
        const answer_t answer = round->answers[i];
        if (answer == OPENS) {
            const auto c = described.find(numbers[i]);
            ports.push_back(
                {candidates[i].path, Describe(c != described.end() ? c->second : class_port{},
                                              candidates[i].description)});
        } else if (left_out != nullptr && answer != REFUSED)
            left_out->push_back("Port " + candidates[i].path + " not listed: " +
                                (answer == PENDING ? "its open did not return within " +
                                                         std::to_string(PROBE_WAIT_MS) + " ms"
                                                   : "no thread could be started to probe it"));
    }
    return ports;
}

std::string PortOpenCause(const std::string &, unsigned long error)
{
    return osErrorWords(error);
}

std::vector<std::pair<std::string, std::string>> AdapterFacts(const std::string &path)
{
    const char *name = path.c_str();
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    const int n = PortNumber(name, strlen(name));
    if (n == 0)
        return {};
    found_t found;
    AddSerialComm(&found);
    AddDosDevices(&found);
    return Facts(PortsClass()[n], found[n]);
}

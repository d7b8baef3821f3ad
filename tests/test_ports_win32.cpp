// The Win32 port list under Wine, in a prefix where `cases.py ports` has Wine's port driver
// name COM3, COM7, COM10 and COM12 (in SERIALCOMM and as DOS devices, \Device\Serial(N-1)),
// and names COM998 and COM999 in SERIALCOMM alone, as a driver that names its own ports does.
// The open of each port is this file's own: COM7's stalls for a minute, as a Bluetooth serial
// port's can, COM12's fails, the others' succeed.
#include "ports/ports.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include <windows.h>
// initguid.h first: devguid.h then defines the ports class's GUID here.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include "ports/port_open.h"

using Names = std::vector<std::string>;

namespace
{

const char STALLS[] = "\\\\.\\com7";
const char FAILS[] = "\\\\.\\com12";
const char SERIAL_COMM[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::mutex opened_lock;
std::multiset<std::string> opened; // every port the list opened

struct listing {
    Names paths, descriptions, left_out;
    std::multiset<std::string> opened;
    std::chrono::duration<double> took;
};

listing List(const std::string &held)
{
    listing l;
    {
        std::lock_guard hold(opened_lock);
        opened.clear();
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (const port_info &port : ProbePorts(held, &l.left_out)) {
        l.paths.push_back(port.path);
        l.descriptions.push_back(port.description);
    }
    l.took = std::chrono::steady_clock::now() - t0;
    std::lock_guard hold(opened_lock);
    l.opened = opened;
    return l;
}

bool SetSerialComm(const char *device, const char *port)
{
    HKEY key = nullptr;
    bool done = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIAL_COMM, 0, KEY_SET_VALUE, &key) == 0 &&
                (port != nullptr
                     ? RegSetValueExA(key, device, 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                                      static_cast<DWORD>(strlen(port) + 1))
                     : RegDeleteValueA(key, device)) == 0;
    RegCloseKey(key);
    return done;
}

} // namespace

bool PortOpens(const char *path)
{
    {
        std::lock_guard hold(opened_lock);
        opened.insert(path);
    }
    if (strcmp(path, STALLS) == 0)
        Sleep(60000); // far longer than the test runs
    return strcmp(path, FAILS) != 0;
}

// The ports named and free, in number order, each opened once; the stalled one neither holds
// the list back nor is listed, and the console is told; COM999 is never opened.
TEST(PortsWin32, TheNamedPortsThatOpenWithoutWaitingForAStalledOne)
{
    listing l = List("");
    // The window shows within a second: the list's own bound is 200 ms, the rest is room
    // for a loaded machine.
    EXPECT_LT(l.took, std::chrono::seconds(1)) << "the list waited for the stalled open";
    EXPECT_EQ(l.paths, (Names{"\\\\.\\com3", "\\\\.\\com10", "\\\\.\\com998"}));
    EXPECT_EQ(l.descriptions,
              (Names{"\\Device\\Serial2", "\\Device\\Serial9", "\\Device\\Serial997"}));
    EXPECT_EQ(l.left_out,
              Names{"Port \\\\.\\com7 not listed: its open did not return within 200 ms"});
    EXPECT_EQ(l.opened, (std::multiset<std::string>{"\\\\.\\com3", "\\\\.\\com7", "\\\\.\\com10",
                                                    "\\\\.\\com12", "\\\\.\\com998"}));
}

// The port a run holds is listed without being opened, even one whose open would fail now.
TEST(PortsWin32, TheHeldPortIsListedUnopened)
{
    listing l = List("\\\\.\\COM12");
    EXPECT_EQ(l.paths, (Names{"\\\\.\\com3", "\\\\.\\com10", "\\\\.\\com12", "\\\\.\\com998"}));
    EXPECT_EQ(l.opened.count(FAILS), 0U);
}

// A port whose driver leaves SERIALCOMM alone is found by its DOS device name, and described by
// it; what is no COM name the program takes is neither listed nor opened.
TEST(PortsWin32, DosDeviceNamesAndNamesNotTaken)
{
    const Names odd{"COM0", "COM1000", "COM05", "COM5x", "COM"};
    ASSERT_TRUE(SetSerialComm("\\Device\\Serial9", nullptr));
    for (size_t i = 0; i < odd.size(); i++)
        ASSERT_TRUE(SetSerialComm(("\\Device\\Odd" + std::to_string(i)).c_str(), odd[i].c_str()));
    listing l = List("");
    EXPECT_EQ(l.paths, (Names{"\\\\.\\com3", "\\\\.\\com10", "\\\\.\\com998"}));
    EXPECT_EQ(l.descriptions.at(1), "\\Device\\Serial9");
    EXPECT_EQ(l.opened.size(), 5U);
    SetSerialComm("\\Device\\Serial9", "COM10");
    for (size_t i = 0; i < odd.size(); i++)
        SetSerialComm(("\\Device\\Odd" + std::to_string(i)).c_str(), nullptr);
}

// A USB adapter's port as the ports device class describes it, registered here as its driver
// would (Wine names its own ports without the class): --list's description and a record's
// facts carry its friendly name, its ids and its serial number, the NT device name last.
TEST(PortsWin32, AUsbAdaptersPortAsTheDeviceClassDescribesIt)
{
    const char id[] = "FTDIBUS\\VID_0403+PID_6001+FT1A2B3CA\\0000";
    const char name[] = "USB Serial Port (COM10)";
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(
        SetupDiCreateDeviceInfoA(set, id, &GUID_DEVCLASS_PORTS, nullptr, nullptr, 0, &device));
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr));
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(
        set, &device, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE *>(name), sizeof name));
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    ASSERT_EQ(
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>("COM10"), 6), 0);
    RegCloseKey(key);
    listing l = List("");
    const auto facts = AdapterFacts("\\\\.\\COM10");
    SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(l.descriptions.at(1),
              "USB Serial Port (COM10)\nUSB 0403:6001, serial FT1A2B3C\n\\Device\\Serial9");
    EXPECT_EQ(facts,
              (std::vector<std::pair<std::string, std::string>>{{"friendly_name", name},
                                                                {"vendor_id", "0403"},
                                                                {"product_id", "6001"},
                                                                {"serial", "FT1A2B3C"},
                                                                {"instance_id", id},
                                                                {"device", "\\Device\\Serial9"}}));
}

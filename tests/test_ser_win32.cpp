// The Win32 serial link under Wine, against simulated targets on pseudo-terminals that the
// driver (tests/wine/cases.py serial) maps as COM ports:
//   VEK_TEST_PORT_PLAIN   a target that answers at once
//   VEK_TEST_PORT_SPLIT   a target that sends every reply in two pieces, 200 ms apart
//   VEK_TEST_PORT_ECHO    a line that echoes every request, the reply 200 ms after the echo
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "serial/os.h"
#include "serial/ser.h"
#include "tests/rig.h"

namespace
{

using Clock = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

std::string Env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// An open, set-up port and a record whose buffer builds the requests.
struct Win32Serial : testing::Test {
    ser_port port{};
    rig r;
    installer_t &rec = r.rec;
    T t = &rec;

    // Opens the port and sends it the range-CRC request for 16 bytes of erased memory; the
    // reply has 15 bytes. No purge after it: on a pty the output purge can still catch the
    // request in the kernel.
    void OpenAndAskForRangeCrc(const char *env)
    {
        const std::string path = Env(env);
        ASSERT_NE(path, "") << env << " is not set: run through tests/wine/cases.py serial";
        ASSERT_EQ(serOpen(&port, path.c_str()), 0) << path << ": error " << osLastError();
        ASSERT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), 0);
        rigSetUp(&r, {}, nullptr);
        crc_block(t, 0x81000, 16);
        ASSERT_EQ(serWrite(&port, rec.buf, rec.len), rec.len);
    }
    void TearDown() override { serClose(&port); }

    bytes Read(double *ms)
    {
        bytes got(MODBUS_FRAME_LENGTH_MAX);
        const auto t0 = Clock::now();
        got.resize(static_cast<size_t>(serRead(&port, got.data(), static_cast<int>(got.size()))));
        *ms = MsSince(t0);
        return got;
    }
    void ExpectRangeCrcReply(const bytes &reply)
    {
        ASSERT_EQ(reply.size(), 15u);
        std::copy(reply.begin(), reply.end(), r.buf.begin());
        rec.len = 15;
        EXPECT_TRUE(ok(t));
        const bytes erased(16, 0xFF);
        EXPECT_EQ(bitRd16BE(r.buf.data() + 11), crc_region(erased.data(), 16));
    }
};

TEST_F(Win32Serial, AWholeReplyIsOneReadThenSilenceGivesZeroAfterAboutOneSecond)
{
    OpenAndAskForRangeCrc("VEK_TEST_PORT_PLAIN");
    double ms = 0;
    ExpectRangeCrcReply(Read(&ms));
    EXPECT_LT(ms, 900) << "the read waited for its total time-out";
    EXPECT_EQ(Read(&ms).size(), 0u);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
}

TEST_F(Win32Serial, BytesAfterAGapOfMoreThan10msComeInTheNextRead)
{
    OpenAndAskForRangeCrc("VEK_TEST_PORT_SPLIT");
    double first_ms = 0, second_ms = 0;
    bytes first = Read(&first_ms);
    const bytes second = Read(&second_ms);
    ASSERT_GT(first.size(), 0u);
    EXPECT_LT(first.size(), 15u);
    // The second piece comes 200 ms after the first: the next read waits for it, not for 1 s.
    EXPECT_GT(second_ms, 100);
    EXPECT_LT(second_ms, 900);
    first.insert(first.end(), second.begin(), second.end());
    ExpectRangeCrcReply(first);
}

// On a line that echoes, the echo is read past, within the read's time, for the reply behind it.
TEST_F(Win32Serial, AnEchoAheadOfALateReplyIsReadPast)
{
    OpenAndAskForRangeCrc("VEK_TEST_PORT_ECHO");
    double ms = 0;
    ExpectRangeCrcReply(Read(&ms));
    EXPECT_GT(ms, 150);
    EXPECT_LT(ms, 900);
}

// The purge that follows a send keeps what came since (the reply); any later one drops it.
TEST_F(Win32Serial, PurgeAfterASendKeepsTheReplyALaterOneDropsIt)
{
    OpenAndAskForRangeCrc("VEK_TEST_PORT_PLAIN");
    COMSTAT stat{};
    DWORD errors = 0;
    const auto t0 = Clock::now();
    while (ClearCommError(port.handle, &errors, &stat) && stat.cbInQue < 15 && MsSince(t0) < 10000)
        Sleep(10);
    ASSERT_EQ(stat.cbInQue, 15u);
    serPurge(&port);
    ASSERT_TRUE(ClearCommError(port.handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 15u);
    serPurge(&port);
    double ms = 0;
    EXPECT_EQ(Read(&ms).size(), 0u);
}

// Every line setting and time-out serInit makes, as the driver reports it back. A pseudo-terminal
// under Wine holds no parity and no modem lines (DTR and RTS read back as on, and the XOFF
// setting as off): the port must then name what did not take in its one line on standard error.
TEST_F(Win32Serial, TheDriverReportsTheSettingsBackOrTheToolSaysWhichItDidNotTake)
{
    const std::string path = Env("VEK_TEST_PORT_PLAIN");
    ASSERT_EQ(serOpen(&port, path.c_str()), 0) << path << ": error " << osLastError();
    testing::internal::CaptureStderr();
    ASSERT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    DCB d{};
    d.DCBlength = sizeof d;
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommState(port.handle, &d) && GetCommTimeouts(port.handle, &t));
    const bool pty = d.Parity == NOPARITY;
    EXPECT_EQ(
        std::vector<DWORD>({d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.fBinary, d.fParity,
                            d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDtrControl, d.fDsrSensitivity,
                            d.fTXContinueOnXoff, d.fOutX, d.fInX, d.fErrorChar, d.fNull,
                            d.fRtsControl, d.fAbortOnError}),
        std::vector<DWORD>({115200, 8, pty ? DWORD{NOPARITY} : EVENPARITY, ONESTOPBIT, 1, 0, 0, 0,
                            pty ? DWORD{DTR_CONTROL_ENABLE} : DTR_CONTROL_DISABLE, 0, pty ? 0u : 1u,
                            0, 0, 0, 0, pty ? DWORD{RTS_CONTROL_ENABLE} : RTS_CONTROL_DISABLE, 0}));
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                  t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({10, 0, 1000, 0, 0}));
    EXPECT_EQ(said, pty ? "Port " + path + ": even parity, DTR/RTS off not set, the line runs 8N1\n"
                        : "");
}

TEST(Win32Port, AFileThatIsNoPortIsReported)
{
    char dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "vek", 0, path), 0u);
    ser_port port{};
    ASSERT_EQ(serOpen(&port, path), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    serClose(&port);
    DeleteFileA(path);
}

} // namespace

// The Win32 serial link under Wine, against simulated targets on pseudo-terminals that the
// driver (tests/wine/cases.py serial) maps as COM ports:
//   VEK_TEST_PORT_PLAIN   a target that answers at once
//   VEK_TEST_PORT_ECHO    a line that echoes every request, the reply 200 ms after the echo
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "serial/ser.h"
#include "system/os.h"
#include "tests/rig.h"

namespace
{

// A port opened and set up (what serInit said on standard error in said), and a record whose
// buffer builds the requests.
struct Win32Serial : testing::Test {
    ser_port port{};
    std::string path, said;
    rig r;
    installer_t &rec = r.rec;

    void Open(const char *env)
    {
        path = getenv(env) ? getenv(env) : "";
        ASSERT_EQ(serOpen(&port, path.c_str()), 0)
            << env << " (set by cases.py serial) " << path << ": error " << osLastError();
        testing::internal::CaptureStderr();
        const int init = serInit(&port, 115200, SERIAL_READ_TIMEOUT);
        said = testing::internal::GetCapturedStderr();
        ASSERT_EQ(init, 0);
        rigSetUp(&r, {}, nullptr);
    }
    void TearDown() override { serClose(&port); }

    // The range-CRC request for 16 bytes of erased memory, whose reply has 15 bytes.
    void AskForRangeCrc()
    {
        crc_block(&rec, 0x81000, 16);
        ASSERT_EQ(serWrite(&port, rec.buf, rec.len), rec.len);
    }
    // The bytes that have come in, once there are at least least of them or after 10 s.
    DWORD Queued(DWORD least = 0)
    {
        COMSTAT stat{};
        DWORD errors = 0;
        for (int i = 0;
             ClearCommError(port.handle, &errors, &stat) && stat.cbInQue < least && i < 1000; i++)
            Sleep(10);
        return stat.cbInQue;
    }
    // A read into the record's buffer: its length.
    int Read()
    {
        rec.len = serRead(&port, rec.buf, static_cast<int>(rec.max));
        return rec.len;
    }
};

// On a line that echoes, the echo is read past, within the read's time, for the reply behind it,
// request after request: none is lost to a purge of what is still going out (on a
// pseudo-terminal such a purge drops one request in a few).
TEST_F(Win32Serial, AnEchoAheadOfALateReplyIsReadPast)
{
    Open("VEK_TEST_PORT_ECHO");
    for (int i = 0; i < 20; i++) {
        AskForRangeCrc();
        serPurge(&port);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(Read(), 15) << "request " << i;
        EXPECT_TRUE(ok(&rec));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900))
            << "the read waited for its total time-out";
    }
}

// A send drops what came before it; the purge that follows it keeps what came since (the
// reply), and any other purge drops it.
TEST_F(Win32Serial, ASendDropsWhatCameBeforeThePurgeAfterItKeepsTheReply)
{
    Open("VEK_TEST_PORT_PLAIN");
    AskForRangeCrc();
    ASSERT_EQ(Queued(15), 15u);
    serPurge(&port);
    EXPECT_EQ(Queued(), 15u);
    serPurge(&port);
    EXPECT_EQ(Queued(), 0u);
    // A reply left unread, then a send: the read after it has the new reply alone.
    AskForRangeCrc();
    ASSERT_EQ(Queued(15), 15u);
    AskForRangeCrc();
    ASSERT_EQ(Read(), 15);
    EXPECT_TRUE(ok(&rec));
    EXPECT_EQ(Read(), 0) << "a reply from before the send was still there";
}

// Every line setting and time-out serInit makes, as the driver reports it back. A pseudo-terminal
// under Wine holds no parity and no modem lines (DTR and RTS read back as on, and the XOFF
// setting as off): the port must then name what did not take in its one line on standard error.
TEST_F(Win32Serial, TheDriverReportsTheSettingsBackOrTheToolSaysWhichItDidNotTake)
{
    Open("VEK_TEST_PORT_PLAIN");
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

// The settings of a device that is no serial port cannot be read.
TEST_F(Win32Serial, ADeviceThatIsNoPortIsReported)
{
    ASSERT_EQ(serOpen(&port, "NUL"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
}

// A length of nothing, or less, and a port that is closed move nothing, and cost no wait: a
// negative length taken as the system's unsigned count would write or read past the buffers.
TEST_F(Win32Serial, NothingMovesOnANegativeLengthOrAClosedPort)
{
    Open("VEK_TEST_PORT_PLAIN");
    AskForRangeCrc();
    ASSERT_EQ(Queued(15), 15u);
    char buf[16];
    EXPECT_EQ(serWrite(&port, buf, -1), 0);
    EXPECT_EQ(serRead(&port, buf, -1), 0);
    EXPECT_EQ(serRead(&port, buf, 0), 0);
    serClose(&port);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serWrite(&port, buf, 1), 0);
    EXPECT_EQ(serRead(&port, buf, sizeof buf), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

} // namespace

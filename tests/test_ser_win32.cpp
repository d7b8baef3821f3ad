// The Win32 serial link under Wine, against simulated targets on pseudo-terminals that the
// driver script (tests/wine/ser_win32.sh) maps as COM ports:
//   VEK_TEST_PORT_PLAIN   a target that answers at once
//   VEK_TEST_PORT_SPLIT   a target that sends every reply in two pieces, 200 ms apart
//   VEK_TEST_PORT_ENGINE  a target that ends after a reset and then writes its memory to
//   VEK_TEST_MEMORY       (a path Wine can open)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>
#include <windows.h>

#include "engine/installer.h"
#include "modbus/modbus.h"
#include "serial/os.h"
#include "serial/ser.h"
#include "tests/ui_record.h"

namespace
{

using Clock = std::chrono::steady_clock;

const char *Env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// An open, set-up port and a record whose buffer builds the requests.
struct Link : testing::Test {
    ser_port port = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(MODBUS_FRAME_LENGTH_MAX);
    installer_t rec{};
    T t = &rec;

    void Open(const char *env)
    {
        const char *path = Env(env);
        ASSERT_NE(*path, '\0') << env << " is not set: run through tests/wine/ser_win32.sh";
        ASSERT_EQ(serOpen(&port, path), 0) << path << ": error " << osLastError();
        ASSERT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), 0);
        rec.buf = buf.data();
        rec.max = MODBUS_FRAME_LENGTH_MAX;
        rec.node = MODBUS_NODE_DEFAULT;
    }
    void TearDown() override { serClose(&port); }

    // The range-CRC request for 16 bytes of erased memory; its reply has 15 bytes. No purge
    // after it: on a pty the output purge can still catch the request in the kernel.
    void SendRangeCrcRequest()
    {
        crc_block(t, 0x81000, 16);
        ASSERT_EQ(serWrite(&port, rec.buf, rec.len), rec.len);
    }
    std::vector<uint8_t> Read(double *ms)
    {
        std::vector<uint8_t> got(MODBUS_FRAME_LENGTH_MAX);
        auto t0 = Clock::now();
        int n = serRead(&port, got.data(), static_cast<int>(got.size()));
        *ms = MsSince(t0);
        got.resize(static_cast<size_t>(n));
        return got;
    }
    void ExpectRangeCrcReply(const std::vector<uint8_t> &reply)
    {
        ASSERT_EQ(reply.size(), 15u);
        std::copy(reply.begin(), reply.end(), buf.begin());
        rec.len = 15;
        EXPECT_TRUE(ok(t));
        const std::vector<uint8_t> erased(16, 0xFF);
        EXPECT_EQ(bitRd16BE(buf.data() + 11), crc_region(erased.data(), 16));
    }
};

using Win32Serial = Link;

TEST_F(Win32Serial, PortIsSetUpForModbusRtu)
{
    Open("VEK_TEST_PORT_PLAIN");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // A pty drops parity and has no modem lines: even parity and DTR and RTS held off cannot
    // be read back through Wine.
    EXPECT_TRUE(dcb.Parity == EVENPARITY || dcb.Parity == NOPARITY);
    EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fOutX || dcb.fInX);

    COMMTIMEOUTS to{};
    ASSERT_TRUE(GetCommTimeouts(port, &to));
    EXPECT_EQ(to.ReadIntervalTimeout, 10u);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);
}

TEST_F(Win32Serial, AReplyWhoseBytesComeCloseTogetherIsOneRead)
{
    Open("VEK_TEST_PORT_PLAIN");
    SendRangeCrcRequest();
    double ms = 0;
    std::vector<uint8_t> reply = Read(&ms);
    printf("whole reply: %zu bytes in one read of %.0f ms\n", reply.size(), ms);
    ExpectRangeCrcReply(reply);
    EXPECT_LT(ms, 900) << "the read waited for its total time-out";
}

TEST_F(Win32Serial, BytesAfterAGapOfMoreThan10msComeInTheNextRead)
{
    Open("VEK_TEST_PORT_SPLIT");
    SendRangeCrcRequest();
    double first_ms = 0, second_ms = 0;
    std::vector<uint8_t> first = Read(&first_ms);
    std::vector<uint8_t> second = Read(&second_ms);
    printf("split reply: %zu bytes in %.0f ms, then %zu bytes in %.0f ms\n", first.size(), first_ms,
           second.size(), second_ms);
    ASSERT_GT(first.size(), 0u);
    ASSERT_GT(second.size(), 0u);
    EXPECT_LT(first.size(), 15u);
    // The second piece comes 200 ms after the first: the next read waits for it, not for 1 s.
    EXPECT_GT(second_ms, 100);
    EXPECT_LT(second_ms, 900);
    first.insert(first.end(), second.begin(), second.end());
    ExpectRangeCrcReply(first);
}

TEST_F(Win32Serial, SilenceGivesZeroBytesAfterAboutOneSecond)
{
    Open("VEK_TEST_PORT_PLAIN");
    double ms = 0;
    EXPECT_EQ(Read(&ms).size(), 0u);
    printf("silent read: 0 bytes after %.0f ms\n", ms);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
}

TEST_F(Win32Serial, PurgeDropsWhatHasBeenReceived)
{
    Open("VEK_TEST_PORT_PLAIN");
    SendRangeCrcRequest();
    // Wait until the whole reply sits in the input queue, then drop it.
    COMSTAT stat{};
    DWORD errors = 0;
    auto t0 = Clock::now();
    while (ClearCommError(port, &errors, &stat) && stat.cbInQue < 15 && MsSince(t0) < 10000)
        Sleep(10);
    ASSERT_EQ(stat.cbInQue, 15u);
    serPurge(&port);
    double ms = 0;
    EXPECT_EQ(Read(&ms).size(), 0u);
}

TEST_F(Win32Serial, AMissingPortIsRefusedWithTheSystemsReason)
{
    ser_port missing = INVALID_HANDLE_VALUE;
    EXPECT_EQ(serOpen(&missing, "\\\\.\\COM997"), -1);
    EXPECT_EQ(missing, nullptr);
    unsigned long code = osLastError();
    ASSERT_NE(code, 0u);
    char text[200];
    EXPECT_GT(osErrorText(code, text, sizeof text), 0);
    char cut[5];
    EXPECT_EQ(osErrorText(code, cut, sizeof cut), 4);
    EXPECT_EQ(std::string(text, 4), cut);
    // Closing a port that is not open is harmless, also twice.
    serClose(&missing);
    missing = INVALID_HANDLE_VALUE;
    serClose(&missing);
    EXPECT_EQ(missing, nullptr);
}

TEST_F(Win32Serial, AFileThatIsNoPortIsReportedAndLeftAlone)
{
    char dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "vek", 0, path), 0u);
    ASSERT_EQ(serOpen(&port, path), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serInit(&port, 115200, SERIAL_READ_TIMEOUT), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    serClose(&port);
    DeleteFileA(path);
}

TEST(Win32Engine, AFullRunWritesTheImageIntoTheTarget)
{
    const char *port = Env("VEK_TEST_PORT_ENGINE");
    const char *memory = Env("VEK_TEST_MEMORY");
    ASSERT_TRUE(*port && *memory) << "run through tests/wine/ser_win32.sh";

    std::vector<uint8_t> image(29016);
    std::mt19937 random(20240611);
    for (uint8_t &b : image)
        b = static_cast<uint8_t>(random());
    std::vector<uint8_t> buf(MODBUS_FRAME_LENGTH_MAX);
    installer_t rec{};
    T t = &rec;
    rec.max = MODBUS_FRAME_LENGTH_MAX;
    rec.buf = buf.data();
    rec.node = MODBUS_NODE_DEFAULT;
    rec.image = image.data();
    rec.image_length = static_cast<uint32_t>(image.size());
    rec.image_base_address = 0x81000;
    rec.port = port;
    rec.baud = 115200;

    auto t0 = Clock::now();
    prog_init(t);
    while (rec.state != STATE_COMPLETE && MsSince(t0) < 300000) {
        do_program(t);
        Sleep(WINDOWS_TIMER_PERIOD);
    }
    serClose(&rec.h_port);
    printf("full run: %.1f s\n", MsSince(t0) / 1000);
    ASSERT_EQ(rec.state, STATE_COMPLETE);
    EXPECT_EQ(shown.statuses.back(), "Programming Completed OK");

    // The target writes its memory once it has ended, after the reset.
    std::vector<uint8_t> written;
    t0 = Clock::now();
    while (written.size() < image.size() && MsSince(t0) < 30000) {
        Sleep(100);
        std::ifstream f(memory, std::ios::binary);
        written.assign(std::istreambuf_iterator<char>(f), {});
    }
    EXPECT_TRUE(written == image) << "target memory: " << written.size() << " bytes";
}

} // namespace

#include "shell/log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "shell/about.h"
#include "shell/program.h"
#include "shell/system.h"

namespace
{

struct log_t {
    std::mutex mu; // the console's two streams are copied in by threads of their own
    std::FILE *file = nullptr;
    std::string path;
    long size = 0;
    bool said = false; // the one line on standard error
};

log_t the_log;

void Fail(const std::string &what)
{
    if (!the_log.said)
        fprintf(stderr, "vek-update: no console log: %s\n", what.c_str());
    the_log.said = true;
    if (the_log.file != nullptr)
        fclose(the_log.file);
    the_log.file = nullptr;
}

// A new file once the one there has grown past the limit; the older one is kept once.
void Open()
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(the_log.path, ec);
    if (!ec && static_cast<long>(size) > LOG_SIZE_MAX) {
        const std::string older = the_log.path + ".1";
        std::filesystem::remove(older, ec);
        std::filesystem::rename(the_log.path, older, ec);
    }
    the_log.file = fopen(the_log.path.c_str(), "ab");
    if (the_log.file == nullptr)
        return Fail("cannot write " + the_log.path);
    the_log.size = ftell(the_log.file);
}

} // namespace

void LogStart(unsigned image_crc)
{
    std::lock_guard<std::mutex> lock(the_log.mu);
    the_log.path = sysLogPath();
    if (the_log.path.empty())
        return Fail("no folder for it");
    Open();
    if (the_log.file == nullptr)
        return;
    const std::tm t =
        sysUtc(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
    char date[40];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &t);
    char line[200];
    snprintf(line, sizeof line, "== vek-update %s started %s, image CRC-16 %s\n", ABOUT_VERSION,
             date, CrcText(image_crc).c_str());
    the_log.size += static_cast<long>(fwrite(line, 1, strlen(line), the_log.file));
    if (fflush(the_log.file) != 0)
        Fail("cannot write " + the_log.path);
}

void LogWrite(const std::string &text)
{
    std::lock_guard<std::mutex> lock(the_log.mu);
    if (the_log.file == nullptr)
        return;
    // A program left open all day keeps its log within bounds too.
    if (the_log.size > LOG_SIZE_MAX) {
        fclose(the_log.file);
        Open();
        if (the_log.file == nullptr)
            return;
    }
    const size_t n = fwrite(text.data(), 1, text.size(), the_log.file);
    the_log.size += static_cast<long>(n);
    if (n != text.size() || fflush(the_log.file) != 0)
        Fail("cannot write " + the_log.path);
}

namespace
{

// Standard output and error as they were, and the threads that copy the pipes now in their
// place to them and to the log.
struct console_copy_t {
    int saved[2] = {-1, -1};
    std::thread copies[2];
};

console_copy_t console_copy;

void Copy(int from, int to)
{
    std::string line;
    char buf[4096];
    for (int n; (n = sysRead(from, buf, sizeof buf)) > 0;) {
        if (to >= 0)
            sysWrite(to, buf, n); // a console that is gone: the log still gets it
        line.append(buf, static_cast<size_t>(n));
        if (const size_t nl = line.rfind('\n'); nl != std::string::npos) {
            LogWrite(line.substr(0, nl + 1));
            line.erase(0, nl + 1);
        }
    }
    if (!line.empty())
        LogWrite(line + "\n");
    sysClose(from);
}

// At exit, once the last output is in the pipes: the streams as they were, so that the pipes
// close and the copies end with everything written.
void EndCopy()
{
    fflush(stdout);
    fflush(stderr);
    for (int k = 0; k < 2; k++) {
        if (console_copy.saved[k] >= 0)
            sysDup2(console_copy.saved[k], k + 1);
        else
            sysClose(k + 1);
    }
    for (std::thread &t : console_copy.copies) {
        if (t.joinable())
            t.join();
    }
}

} // namespace

void LogConsole()
{
    fflush(stdout);
    fflush(stderr);
    for (int k = 0; k < 2; k++) {
        console_copy.saved[k] = sysDup(k + 1);
        int p[2];
        if (!sysPipe(p))
            return;
        sysDup2(p[1], k + 1);
        sysClose(p[1]);
        console_copy.copies[k] = std::thread(Copy, p[0], console_copy.saved[k]);
    }
    atexit(EndCopy);
}

#include "shell/log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

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

void LogStream(std::string *line, const char *buf, size_t n)
{
    if (buf == nullptr) {
        if (!line->empty())
            LogWrite(*line + "\n");
        line->clear();
        return;
    }
    line->append(buf, n);
    if (const size_t nl = line->rfind('\n'); nl != std::string::npos) {
        LogWrite(line->substr(0, nl + 1));
        line->erase(0, nl + 1);
    }
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

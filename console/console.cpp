#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>

namespace
{

// The largest a log grows before it is kept once and a new one begun.
constexpr long LOG_SIZE_MAX = 1L << 20;

struct log_t {
    std::mutex mu; // the window's toolkit may report from threads of its own
    std::FILE *file = nullptr;
    std::string path;
    long size = 0;
    bool said = false; // the one line on standard error
};

log_t the_log;

// conErrorsTagged: the tag, and whether the next error text starts a line.
struct error_tag_t {
    std::string tag;
    bool line_start = true;
};

error_tag_t error_tag;

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

// Each piece is flushed as it comes: what a program showed before it ended, however it ended,
// is in the log.
void Append(const char *text, size_t n)
{
    std::lock_guard<std::mutex> lock(the_log.mu);
    if (the_log.file == nullptr || n == 0)
        return;
    // A program left open all day keeps its log within bounds too.
    if (the_log.size > LOG_SIZE_MAX) {
        fclose(the_log.file);
        Open();
        if (the_log.file == nullptr)
            return;
    }
    const size_t written = fwrite(text, 1, n, the_log.file);
    the_log.size += static_cast<long>(written);
    if (written != n || fflush(the_log.file) != 0)
        Fail("cannot write " + the_log.path);
}

// Each line of an error text after the tag, on standard output; as it comes otherwise.
void Put(std::FILE *stream, const char *text, size_t n)
{
    if (stream != stderr || error_tag.tag.empty()) {
        fwrite(text, 1, n, stream);
        return;
    }
    std::string tagged;
    for (size_t i = 0; i < n; i++) {
        if (error_tag.line_start)
            tagged += error_tag.tag;
        tagged += text[i];
        error_tag.line_start = text[i] == '\n';
    }
    fwrite(tagged.data(), 1, tagged.size(), stdout);
    fflush(stdout);
}

void Say(std::FILE *stream, const char *fmt, va_list ap)
{
    char text[1024];
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(text, sizeof text, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    const char *said = text;
    std::string long_text;
    if (static_cast<size_t>(n) >= sizeof text) {
        long_text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(long_text.data(), long_text.size(), fmt, again);
        said = long_text.data();
    }
    va_end(again);
    Put(stream, said, static_cast<size_t>(n));
    Append(said, static_cast<size_t>(n));
}

} // namespace

void conPrint(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Say(stdout, fmt, ap);
    va_end(ap);
}

void conError(const char *fmt, ...)
{
    fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    Say(stderr, fmt, ap);
    va_end(ap);
    // The Windows runtime buffers standard error too where it is no console.
    fflush(stderr);
}

void conErrorsTagged(const std::string &tag)
{
    error_tag.tag = tag;
}

void conLogStart(const std::string &path, const std::string &first_line)
{
    {
        std::lock_guard<std::mutex> lock(the_log.mu);
        the_log.path = path;
        if (path.empty())
            return Fail("no folder for it");
        Open();
    }
    const std::string line = first_line + "\n";
    Append(line.data(), line.size());
}

void conLogWrite(const std::string &text)
{
    Append(text.data(), text.size());
}

#include "run/run.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

std::string xpath;
int nfatal = 0;

// Formats into one buffer that grows to fit and is reused, so a run of
// millions of messages allocates nothing per line and truncates nothing.
static std::string_view format(const char *fmt, va_list ap)
{
    static std::vector<char> buf(4096);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(buf.data(), buf.size(), fmt, ap);
    if (n >= 0 && static_cast<size_t>(n) >= buf.size()) {
        buf.resize(static_cast<size_t>(n) + 1);
        n = std::vsnprintf(buf.data(), buf.size(), fmt, again);
    }
    va_end(again);
    if (n < 0)
        return {};
    return {buf.data(), static_cast<size_t>(n)};
}

static int out_error;  // the first failed write's error number

static void to_stdout(std::string_view text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && out_error == 0)
        out_error = errno;
}

int out_finish()
{
    if (std::fflush(stdout) != 0 && out_error == 0)
        out_error = errno;
    return out_error;
}

// Both keep errno as the caller had it: callers print a message and then
// report the error number that led to it.
void imsg(const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    std::string_view text = format(fmt, ap);
    va_end(ap);
    to_stdout(text);
    imsg_log(text);
    errno = saved;
}

void emsg(const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    std::string_view text = format(fmt, ap);
    va_end(ap);
    to_stdout(text);
    std::string line = "ERROR: ";
    line += text;
    imsg_log(line);
    nfatal++;
    errno = saved;
}

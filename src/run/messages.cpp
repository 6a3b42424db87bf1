#include "run/outbuf.h"
#include "run/run.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

std::string xpath;
int nfatal = 0;

static out_buffer out;

void put_stdout(std::string_view text)
{
    if (out.fd < 0) {
        out_open(out, STDOUT_FILENO);
        out.per_line = isatty(STDOUT_FILENO) == 1;
    }
    out_put(out, text);
}

int out_finish()
{
    if (out.fd < 0)
        return 0;
    return out_flush(out);
}

static bool live;        // -doit: the report keeps up with the moves
static long last_flush;  // milliseconds, monotonic

void report_live()
{
    live = true;
    last_flush = now_ms();
}

void report_flush()
{
    out_finish();
    log_finish();
    last_flush = now_ms();
}

void report_keep_up()
{
    if (live && now_ms() - last_flush >= 1000)
        report_flush();
}

// The messages use only %s, %.*s, %d and %c. Those are expanded here
// directly: the general printf machinery costs more than the walk itself
// on a spool of a million mailboxes. Anything else goes to vsnprintf.
static bool format_simple(std::string &buf, const char *fmt, va_list ap)
{
    for (const char *p = fmt; *p != '\0'; p++) {
        if (*p != '%') {
            buf += *p;
            continue;
        }
        p++;
        if (p[0] == 's') {
            buf += va_arg(ap, const char *);
        } else if (p[0] == '.' && p[1] == '*' && p[2] == 's') {
            int n = va_arg(ap, int);
            buf.append(va_arg(ap, const char *), static_cast<size_t>(n));
            p += 2;
        } else if (p[0] == 'd') {
            char num[16];
            auto r = std::to_chars(num, num + sizeof num, va_arg(ap, int));
            buf.append(num, r.ptr);
        } else if (p[0] == 'c') {
            buf += static_cast<char>(va_arg(ap, int));
        } else if (p[0] == '%') {
            buf += '%';
        } else {
            return false;
        }
    }
    return true;
}

static void format_printf(std::string &buf, const char *fmt, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    if (n > 0) {
        buf.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, again);
        buf.resize(static_cast<size_t>(n));
    }
    va_end(again);
}

// Formats into one buffer that is reused, so a run of millions of messages
// allocates nothing per line; nothing is ever cut short.
static std::string_view format(const char *fmt, va_list ap)
{
    static std::string buf;
    buf.clear();
    va_list again;
    va_copy(again, ap);
    if (!format_simple(buf, fmt, ap)) {
        buf.clear();
        format_printf(buf, fmt, again);
    }
    va_end(again);
    return buf;
}

// Keeps errno as the caller had it: callers print a message and then
// report the error number that led to it.
static void say(bool error, const char *fmt, va_list ap)
{
    int saved = errno;
    std::string_view text = format(fmt, ap);
    put_stdout(text);
    if (error) {
        std::string line = "ERROR: ";
        line += text;
        imsg_log(line);
        nfatal++;
    } else {
        imsg_log(text);
    }
    report_keep_up();
    errno = saved;
}

void imsg(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    say(false, fmt, ap);
    va_end(ap);
}

void emsg(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    say(true, fmt, ap);
    va_end(ap);
}

#include "run/outbuf.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

std::string xpath;
int nfatal = 0;

static out_buffer out;

// The report's buffer, opened on first use.
static out_buffer &report()
{
    if (out.fd < 0) {
        out_open(out, STDOUT_FILENO);
        out.per_line = isatty(STDOUT_FILENO) == 1;
    }
    return out;
}

void put_stdout(std::string_view text)
{
    out_put(report(), text);
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
    log_required();
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

// The length of the valid UTF-8 sequence that starts at text[at], or 0.
static size_t utf8_length(std::string_view text, size_t at)
{
    auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
    unsigned c = byte(0), lo = 0x80, hi = 0xBF;
    size_t n;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, lo = c == 0xE0 ? 0xA0 : lo, hi = c == 0xED ? 0x9F : hi;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, lo = c == 0xF0 ? 0x90 : lo, hi = c == 0xF4 ? 0x8F : hi;
    else
        return 0;
    if (byte(1) < lo || byte(1) > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return n;
}

static void append_octal(std::string &out, char c)
{
    out += '\\';
    out += static_cast<char>('0' + ((c >> 6) & 3));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
}

// Whether the n bytes at the start of text, a valid UTF-8 sequence or
// (n == 0) a lone byte, are escaped whole: a C1 control, that is a lone
// byte 0x80 to 0x9F or U+0080 to U+009F, or a bidirectional control,
// U+202A to U+202E or U+2066 to U+2069, which would make a terminal show
// the rest of the line in another order, as another path.
static bool escaped_whole(std::string_view text, size_t n)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (n == 0)
        return byte(0) <= 0x9F;
    if (n == 2)
        return byte(0) == 0xC2 && byte(1) <= 0x9F;
    if (n != 3 || byte(0) != 0xE2)
        return false;
    return (byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) || (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9);
}

void append_shown(std::string &out, std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (!maybe_escaped(c)) {
            out += c;
            i++;
            continue;
        }
        size_t n = is_control(c) ? 0 : utf8_length(text, i);
        bool whole = escaped_whole(text.substr(i), n);
        n = std::max<size_t>(n, 1);
        for (size_t j = i; j < i + n; j++) {
            if (whole || is_control(text[j]))
                append_octal(out, text[j]);
            else
                out += text[j];
        }
        i += n;
    }
}

// The messages use only %s, %.*s, %d and %c, expanded here directly: the
// general printf machinery costs more than the walk itself on a spool of a
// million mailboxes. Every text and byte put in is shown safely, so that a
// name can neither forge a line nor reach the terminal's controls.
static void format_into(std::string &buf, const char *fmt, va_list ap)
{
    for (const char *p = fmt; *p != '\0'; p++) {
        if (*p != '%') {
            buf += *p;
            continue;
        }
        p++;
        if (p[0] == 's') {
            append_shown(buf, va_arg(ap, const char *));
        } else if (p[0] == '.' && p[1] == '*' && p[2] == 's') {
            int n = va_arg(ap, int);
            append_shown(buf, std::string_view(va_arg(ap, const char *), static_cast<size_t>(n)));
            p += 2;
        } else if (p[0] == 'd') {
            char num[16];
            auto r = std::to_chars(num, num + sizeof num, va_arg(ap, int));
            buf.append(num, r.ptr);
        } else if (p[0] == 'c') {
            char c = static_cast<char>(va_arg(ap, int));
            append_shown(buf, std::string_view(&c, 1));
        } else {
            buf += *p;
        }
    }
}

// Formats into one buffer that is reused, so a run of millions of messages
// allocates nothing per line; nothing is ever cut short.
static std::string_view format(const char *fmt, va_list ap)
{
    static std::string buf;
    buf.clear();
    format_into(buf, fmt, ap);
    return buf;
}

// Appends text at p; returns the end.
static char *put(char *p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

void imsg_move(std::string_view dir, std::string_view name, std::string_view dst)
{
    size_t n = dir.size() + name.size() + dst.size() + 12;
    char *line = out_reserve(report(), n);
    if (line == nullptr) {
        std::string text = "Move ";
        text.append(dir).append("/").append(name).append(" --> ").append(dst).append("\n");
        put_stdout(text);
        imsg_log(text);
    } else {
        char *p = put(line, "Move ");
        p = put(p, dir);
        *p++ = '/';
        p = put(p, name);
        p = put(p, " --> ");
        p = put(p, dst);
        *p = '\n';
        imsg_log(std::string_view(line, n));
        out_commit(out, n);
    }
    report_keep_up();
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

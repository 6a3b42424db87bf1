#include "run/outbuf.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

long now_ms()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) < 0)
        return 0;
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void out_open(out_buffer &b, int fd)
{
    b.fd = fd;
    b.data = std::make_unique_for_overwrite<char[]>(out_block);
    b.size = out_block;
    b.used = 0;
    b.error = 0;
}

int write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t w = write(fd, text.data(), text.size());
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? errno : EIO;
        text.remove_prefix(static_cast<size_t>(w));
    }
    return 0;
}

static void write_out(out_buffer &b, const char *p, size_t n)
{
    if (b.error == 0)
        b.error = write_all(b.fd, std::string_view(p, n));
}

int out_flush(out_buffer &b)
{
    write_out(b, b.data.get(), b.used);
    b.used = 0;
    return b.error;
}

void out_put(out_buffer &b, std::string_view text)
{
    if (b.size - b.used < text.size())
        out_flush(b);
    if (text.size() > b.size) {
        write_out(b, text.data(), text.size());
        return;
    }
    std::memcpy(b.data.get() + b.used, text.data(), text.size());
    b.used += text.size();
    if (b.per_line)
        out_flush(b);
}

char *out_reserve(out_buffer &b, size_t n)
{
    if (n > b.size)
        return nullptr;
    if (b.size - b.used < n)
        out_flush(b);
    return b.data.get() + b.used;
}

void out_commit(out_buffer &b, size_t n)
{
    b.used += n;
    if (b.per_line)
        out_flush(b);
}

#include "run/outbuf.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static out_buffer f;
static bool tell_failure;  // -doit: a log that cannot be opened is said, once
static bool durable;       // -doit: the log is flushed to stable storage

int log_dir()
{
    static int fd = -2;
    if (fd == -2)
        fd = open(".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

static int log_at()
{
    return log_dir() >= 0 ? log_dir() : AT_FDCWD;
}

// The tool runs as root in a directory others may write to. Whatever
// stands under the log's name, a link, a FIFO or a hard link to another
// file, is never opened, truncated or written: the log is a new file that
// then takes the name, replacing that entry.
static int open_log()
{
    int at = log_at();
    for (int i = 0; i < 100; i++) {
        std::string temp = ".tierbox-log." + std::to_string(getpid()) + "." + std::to_string(i);
        int fd = openat(at, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return -1;
        // The log names every mailbox: the runner's alone, whatever the
        // umask (which could only have narrowed the mode further).
        if (fchmod(fd, 0600) == 0 && renameat(at, temp.c_str(), at, "tierbox.log") == 0)
            return fd;
        int err = errno;
        unlinkat(at, temp.c_str(), 0);
        close(fd);
        errno = err;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

void log_required()
{
    tell_failure = true;
    durable = true;
}

int imsg_log(std::string_view text)
{
    if (f.fd < 0) {
        int fd = open_log();
        if (fd < 0 && tell_failure) {
            std::fprintf(stderr, "tierbox: cannot open tierbox.log: %s\n", std::strerror(errno));
            tell_failure = false;
        }
        if (fd < 0)
            return 1;
        out_open(f, fd);
    }
    out_put(f, text);
    return 1;
}

int log_finish()
{
    if (f.fd < 0)
        return 0;
    int err = out_flush(f);
    if (err != 0 || !durable)
        return err;
    // Its name, the first time, and what was written, each time.
    static bool named;
    if (fsync(f.fd) < 0)
        return errno;
    if (!named && log_dir() >= 0 && fsync(log_dir()) < 0 && errno != EINVAL)
        return errno;
    named = true;
    return 0;
}

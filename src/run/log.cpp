#include "run/outbuf.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static out_buffer f;
static bool tell_failure;  // -doit: a log that cannot be opened is said, once

// The tool runs as root in a directory others may write to: never follow
// a link planted there, never block on a FIFO, and write only to a plain
// file. It is emptied only once it is known to be one.
static int open_log()
{
    int fd = open("tierbox.log", O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) < 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (ftruncate(fd, 0) < 0)
        err = errno;
    if (err == 0)
        return fd;
    close(fd);
    errno = err;
    return -1;
}

void log_required()
{
    tell_failure = true;
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
    return out_flush(f);
}

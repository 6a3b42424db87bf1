#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static FILE *f;
static int write_error;  // the first failed write's error number
static char logbuf[1 << 18];

// The tool runs as root in a directory others may write to: never follow
// a link planted there, never block on a FIFO, and write only to a plain
// file. It is emptied only once it is known to be one.
static FILE *open_log()
{
    int fd = open("tierbox.log", O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) < 0) {
        close(fd);
        return nullptr;
    }
    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        close(fd);
        return nullptr;
    }
    setvbuf(fp, logbuf, _IOFBF, sizeof logbuf);
    return fp;
}

int imsg_log(std::string_view text)
{
    if (f == nullptr)
        f = open_log();
    if (f == nullptr)
        return 1;
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size() && write_error == 0)
        write_error = errno;
    return 1;
}

int log_finish()
{
    if (f == nullptr)
        return 0;
    if (std::fflush(f) != 0 && write_error == 0)
        write_error = errno;
    return write_error;
}

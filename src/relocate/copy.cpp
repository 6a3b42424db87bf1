// Copying a mailbox to another file system. The source is removed by the
// caller only after this reports success, so every step that could leave
// a short or unsynced copy must fail the whole copy and take the partial
// destination away again.

#include "relocate/relocate.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a file descriptor when it goes out of scope.
struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The copy being written: unnamed until linked into place where the file
// system allows it, so that not even a killed run leaves a partial mailbox.
struct target {
    fd_owner out;
    bool named = false;  // dst exists on disk and must go if the copy fails
};

}  // namespace

static int refuse_existing(const std::string &dst, int err, int *why)
{
    emsg("Cannot copy as dst file exists already %s %s\n", dst.c_str(), std::strerror(err));
    *why = EXDEV;
    return 0;
}

static int refuse_not_regular(const std::string &src, int *why)
{
    emsg("Cannot copy %s, not a regular file\n", src.c_str());
    *why = EXDEV;
    return -1;
}

// Opening for reading, without blocking on a FIFO, is how an existing
// destination is recognised. A device is not opened (a tape would rewind,
// a watchdog start); it is refused when the destination is created.
static bool readable(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) < 0 || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return false;
    fd_owner fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd.fd >= 0;
}

// Opens the source, links followed, once it is known to be a regular file,
// so that a link to a device never has root open the device. Returns the
// descriptor, or -1 after reporting, with *why set.
static int open_source(const std::string &src, struct stat &st, int *why)
{
    if (stat(src.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse_not_regular(src, why);
    int fd = open(src.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) < 0) {
        *why = errno;
        syserr(src);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {  // replaced since the check above
        close(fd);
        return refuse_not_regular(src, why);
    }
    return fd;
}

// Creates the destination so that nothing existing is ever opened for
// writing. Returns 1, or 0 after reporting, with *why set.
static int create_target(const std::string &dst, target &t, int *why)
{
    struct stat st;
    if (lstat(dst.c_str(), &st) == 0)
        return refuse_existing(dst, EEXIST, why);
    t.out.fd = open(parent_of(dst).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (t.out.fd >= 0)
        return 1;
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        t.out.fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (t.out.fd >= 0) {
            t.named = true;
            return 1;
        }
    }
    if (errno == EEXIST)
        return refuse_existing(dst, EEXIST, why);
    *why = errno;
    syserr(dst);
    return 0;
}

// Returns 0, or the error number of the read or write that failed.
static int copy_data(int in, int out)
{
    static char buf[1 << 16];
    for (;;) {
        // A large mailbox takes long to copy; a stop request abandons it.
        if (stop_signal != 0)
            return EINTR;
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        int err = write_all(out, std::string_view(buf, static_cast<size_t>(n)));
        if (err != 0)
            return err;
    }
}

// Owner before mode, since a change of owner clears set-id bits; times
// last, as the source had them before the copy read it.
static int carry_over(int out, const struct stat &st)
{
    if (fchown(out, st.st_uid, st.st_gid) < 0)
        return errno;
    if (fchmod(out, st.st_mode & 07777) < 0)
        return errno;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out, times) < 0)
        return errno;
    return 0;
}

// Mail delivered to the source while it was copied would be lost with the
// source: checked last, just before the caller removes it, that the source
// has neither grown nor been written nor been replaced under its name.
static int source_unchanged(const std::string &src, int in, const struct stat &before)
{
    struct stat now, named;
    if (fstat(in, &now) < 0 || stat(src.c_str(), &named) < 0)
        return errno;
    if (now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != before.st_mtim.tv_nsec || named.st_dev != now.st_dev || named.st_ino != now.st_ino)
        return EBUSY;
    return 0;
}

static int link_into_place(target &t, const std::string &dst, int *why)
{
    int r = linkat(t.out.fd, "", AT_FDCWD, dst.c_str(), AT_EMPTY_PATH);
    if (r < 0 && errno == ENOENT) {
        // Without the privilege for an empty path, link through /proc.
        std::string proc = "/proc/self/fd/" + std::to_string(t.out.fd);
        r = linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, dst.c_str(), AT_SYMLINK_FOLLOW);
    }
    if (r < 0) {
        if (errno == EEXIST)
            return refuse_existing(dst, EEXIST, why);
        *why = errno;
        return 0;
    }
    t.named = true;
    return 1;
}

static int sync_dir(const std::string &dir)
{
    fd_owner d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0)
        return errno;
    if (fsync(d.fd) < 0 && errno != EINVAL)
        return errno;
    return 0;
}

// The new name must be on stable storage before the source goes, and so
// must the buckets above it up to the root, which may have just been made.
static int sync_dirs(const std::string &dst)
{
    std::string dir = parent_of(dst);
    for (;;) {
        int err = sync_dir(dir);
        if (err != 0)
            return err;
        std::string up = parent_of(dir);
        if (dir.size() <= xpath.size() || up.size() >= dir.size())
            return 0;
        dir = up;
    }
}

// Everything after the target exists. Returns 1, or 0 with *why set.
static int fill_target(const std::string &src, int in, const struct stat &st, target &t, const std::string &dst,
                       int *why)
{
    int err = copy_data(in, t.out.fd);
    if (err == 0)
        err = carry_over(t.out.fd, st);
    if (err == 0 && fsync(t.out.fd) < 0)
        err = errno;
    if (err != 0) {
        *why = err;
        return 0;
    }
    if (!t.named && !link_into_place(t, dst, why))
        return 0;
    int fd = t.out.fd;
    t.out.fd = -1;
    if (close(fd) < 0) {
        *why = errno;
        emsg("Could not close %s %s\n", dst.c_str(), std::strerror(*why));
        return 0;
    }
    err = sync_dirs(dst);
    if (err == 0)
        err = source_unchanged(src, in, st);
    if (err != 0) {
        *why = err;
        return 0;
    }
    return 1;
}

int lib_copy(const std::string &src, const std::string &dst, int *why)
{
    if (readable(dst))
        return refuse_existing(dst, EXDEV, why);

    struct stat st;
    fd_owner in(open_source(src, st, why));
    if (in.fd < 0)
        return 0;

    target t;
    if (!create_target(dst, t, why))
        return 0;
    if (fill_target(src, in.fd, st, t, dst, why))
        return 1;
    if (t.named && unlink(dst.c_str()) < 0)
        syserr(dst);
    return 0;
}

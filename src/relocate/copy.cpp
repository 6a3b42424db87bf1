// Moving a mailbox to another file system: a copy, then the removal of the
// source. The copy is never visible under the mailbox's name until it is
// complete and on stable storage; the source goes only after that, under
// the mailbox's locks, and only if it is still the file that was copied.
// Every step that could leave a short copy fails the whole move.

#include "relocate/files.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The source: the entry of the spool (a file, or a trusted link), and the
// regular file that is read, each as found when the copy began.
struct source {
    fd_owner entry;     // O_PATH, the entry itself
    struct stat est;    // its status
    fd_owner file;      // O_PATH, the file it is or points to
    struct stat st;     // its status
    fd_owner in;        // the file, open for reading and locking
};

}  // namespace

int reopen(int path, int flags)
{
    // Reading a mailbox must not make it look read to its owner's mail
    // reader; only the owner or root may ask for that, though.
    std::string proc = "/proc/self/fd/" + std::to_string(path);
    int fd = open(proc.c_str(), flags | O_NOATIME | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == EPERM)
        fd = open(proc.c_str(), flags | O_NOCTTY | O_CLOEXEC);
    return fd;
}

static int refuse(const char *fmt, const std::string &path, int *why)
{
    emsg(fmt, path.c_str());
    *why = EXDEV;
    return 0;
}

static int refuse_existing(const std::string &dst, int err, int *why)
{
    emsg("Cannot copy as dst file exists already %s %s\n", dst.c_str(), std::strerror(err));
    *why = EXDEV;
    return 0;
}

static int failed(const std::string &path, int *why)
{
    *why = errno;
    syserr(path);
    return 0;
}

// Finds the source without following a link unless the trust rule allows
// it, and without opening anything yet.
static int find_source(int from, const std::string &name, const std::string &src, source &s, int *why)
{
    s.entry.fd = openat(from, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (s.entry.fd < 0 || fstat(s.entry.fd, &s.est) < 0)
        return failed(src, why);
    if (!S_ISLNK(s.est.st_mode)) {
        s.st = s.est;
        return 1;
    }
    trust_result r = follow_link(from, s.entry.fd, s.est, O_PATH, s.file.fd);
    if (r == trust_refused)
        return refuse(untrusted_msg, src, why);
    if (r == trust_failed || fstat(s.file.fd, &s.st) < 0)
        return failed(src, why);
    return 1;
}

// Opens the source's regular file, the very one found, for reading and
// locking; a device or a FIFO is never opened.
static int open_source(source &s, const std::string &src, int *why)
{
    if (!S_ISREG(s.st.st_mode))
        return refuse("Cannot copy %s, not a regular file\n", src, why);
    s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDWR);
    if (s.in.fd < 0 || fstat(s.in.fd, &s.st) < 0)
        return failed(src, why);
    return 1;
}

static int lock_source(int from, const std::string &name, const std::string &src, source &s, mail_lock &l,
                       int *why)
{
    int err = lock_mailbox(from, name, s.in.fd, l);
    if (err == EWOULDBLOCK)
        return refuse("Cannot copy %s, it is locked by another program\n", src, why);
    // What the copy must match is the source as it stands under the locks.
    if (err == 0 && fstat(s.in.fd, &s.st) < 0)
        err = errno;
    if (err != 0) {
        unlock_mailbox(l);
        *why = err;
        return 0;
    }
    return 1;
}

// The source goes only while it is still the entry that was copied.
static int remove_source(int from, const std::string &name, const std::string &src, const source &s)
{
    struct stat now;
    int err = 0;
    if (fstatat(from, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) < 0)
        err = errno;
    else if (now.st_dev != s.est.st_dev || now.st_ino != s.est.st_ino)
        err = EBUSY;
    else if (unlinkat(from, name.c_str(), 0) < 0)
        err = errno;
    if (err != 0) {
        emsg("Could not remove %s %s\n", src.c_str(), std::strerror(err));
        return 0;
    }
    progress_move();
    return 1;
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

// True when both files hold the same bytes, read through their descriptors.
static bool same_content(int a, int b)
{
    static char ba[1 << 16], bb[1 << 16];
    for (off_t at = 0;;) {
        ssize_t na = pread(a, ba, sizeof ba, at), nb = pread(b, bb, sizeof bb, at);
        if (na < 0 || na != nb || std::memcmp(ba, bb, static_cast<size_t>(na)) != 0)
            return false;
        if (na == 0)
            return true;
        at += na;
    }
}

static bool same_attributes(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_uid == b.st_uid && a.st_gid == b.st_gid && a.st_mode == b.st_mode;
}

// A destination identical to the source is a copy that a killed run
// completed but could not follow with the removal of the source.
static bool copy_complete(int to, const std::string &name, const struct stat &dst_st, const source &s)
{
    fd_owner path(openat(to, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.fd < 0 || fstat(path.fd, &st) < 0 || st.st_dev != dst_st.st_dev || st.st_ino != dst_st.st_ino)
        return false;
    fd_owner copy(reopen(path.fd, O_RDONLY));
    return copy.fd >= 0 && fstat(copy.fd, &st) == 0 && same_attributes(st, s.st) && same_content(s.in.fd, copy.fd);
}

// The destination is taken. A complete copy there finishes the move of a
// killed run; anything else is refused, since nothing is ever replaced.
static int existing_target(int from, const std::string &name, const std::string &src, int to, const std::string &dst,
                           source &s, const struct stat &dst_st, int *why)
{
    if (S_ISREG(s.st.st_mode) && S_ISREG(dst_st.st_mode) && same_attributes(s.st, dst_st)) {
        mail_lock l;
        if (!open_source(s, src, why) || !lock_source(from, name, src, s, l, why))
            return 0;
        bool done = copy_complete(to, name, dst_st, s) && remove_source(from, name, src, s);
        unlock_mailbox(l);
        if (done) {
            imsg("Removed %s, its copy %s is complete\n", src.c_str(), dst.c_str());
            return 1;
        }
    }
    // What can be read is told apart as the system's own refusal would;
    // a device is only looked at, never opened.
    struct stat st;
    bool readable = fstatat(to, name.c_str(), &st, 0) == 0 && !S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode);
    return refuse_existing(dst, readable ? EXDEV : EEXIST, why);
}

int new_file_open(int dir, const std::string &name, mode_t mode, new_file &f)
{
    f.fd.fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (f.fd.fd >= 0)
        return 0;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    // A leftover of a killed run under the temporary name goes first.
    f.temp.assign(partial_prefix);
    f.temp += name;
    if (unlinkat(dir, f.temp.c_str(), 0) < 0 && errno != ENOENT)
        return errno;
    f.fd.fd = openat(dir, f.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    if (f.fd.fd < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.name = f.temp;
    return 0;
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

// Gives a file of ours a new name in its directory, never replacing an
// entry: where the file system refuses the flag, a hard link, which never
// replaces either (a failure to unlink then leaves only our temporary name).
static int rename_within(int dir, const std::string &from, const std::string &to)
{
    if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL || linkat(dir, from.c_str(), dir, to.c_str(), 0) < 0)
        return -1;
    unlinkat(dir, from.c_str(), 0);
    return 0;
}

int new_file_name(int dir, const std::string &name, new_file &f)
{
    int r;
    if (f.temp.empty()) {
        r = linkat(f.fd.fd, "", dir, name.c_str(), AT_EMPTY_PATH);
        if (r < 0 && errno == ENOENT) {
            // Without the privilege for an empty path, link through /proc.
            std::string proc = "/proc/self/fd/" + std::to_string(f.fd.fd);
            r = linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
        }
    } else {
        r = rename_within(dir, f.temp, name);
    }
    if (r < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.name = name;
    f.temp.clear();
    return 0;
}

bool same_file(int dir, const std::string &name, dev_t dev, ino_t ino)
{
    struct stat st;
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino;
}

int new_file_drop(int dir, const new_file &f)
{
    if (f.name.empty() || !same_file(dir, f.name, f.st.st_dev, f.st.st_ino) || unlinkat(dir, f.name.c_str(), 0) == 0)
        return 0;
    return errno;
}

// Mail delivered to the source while it was copied would be lost with it:
// checked under the locks, just before the removal, that the source has
// neither grown nor been written nor been replaced under its name.
static int source_unchanged(int from, const std::string &name, const source &s, const struct stat &before)
{
    struct stat now, named;
    if (fstat(s.in.fd, &now) < 0 || fstatat(from, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) < 0)
        return errno;
    if (now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != before.st_mtim.tv_nsec || named.st_dev != s.est.st_dev ||
        named.st_ino != s.est.st_ino)
        return EBUSY;
    return 0;
}

// Writes, flushes and names the copy. Returns 0 or the error for the move.
static int fill_target(int to, const std::string &name, const std::string &dst, source &s, new_file &t)
{
    int err = copy_data(s.in.fd, t.fd.fd);
    if (err == 0)
        err = carry_over(t.fd.fd, s.st);
    if (err == 0 && fsync(t.fd.fd) < 0)
        err = errno;
    if (err == 0)
        err = new_file_name(to, name, t);
    if (err == EEXIST) {
        refuse_existing(dst, EEXIST, &err);
        return EXDEV;
    }
    if (err != 0)
        return err;
    if (close(t.fd.release()) < 0) {
        err = errno;
        emsg("Could not close %s %s\n", dst.c_str(), std::strerror(err));
        return err;
    }
    return sync_route();
}

static int copy_locked(int from, const std::string &name, const std::string &src, int to, const std::string &dst,
                       source &s, int *why)
{
    struct stat before = s.st;
    // The copy is never seen under the mailbox's name before it is whole.
    new_file t;
    int err = new_file_open(to, name, 0600, t);
    if (err != 0) {
        errno = err;
        return failed(dst, why);
    }
    err = fill_target(to, name, dst, s, t);
    if (err == 0)
        err = source_unchanged(from, name, s, before);
    if (err != 0) {
        // A copy that failed goes, if its name still holds it.
        int left = new_file_drop(to, t);
        if (left != 0) {
            errno = left;
            syserr(dst);
        }
        *why = err;
        return 0;
    }
    remove_source(from, name, src, s);
    return 1;
}

int lib_copy(int from, const std::string &name, const std::string &src, int to, const std::string &dst, int *why)
{
    source s;
    if (!find_source(from, name, src, s, why))
        return 0;
    struct stat dst_st;
    if (fstatat(to, name.c_str(), &dst_st, AT_SYMLINK_NOFOLLOW) == 0)
        return existing_target(from, name, src, to, dst, s, dst_st, why);
    mail_lock l;
    if (!open_source(s, src, why) || !lock_source(from, name, src, s, l, why))
        return 0;
    int done = copy_locked(from, name, src, to, dst, s, why);
    unlock_mailbox(l);
    return done;
}

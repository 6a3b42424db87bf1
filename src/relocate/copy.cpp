// Moving a mailbox to another file system: a copy, then the removal of the
// source. The copy is never visible under the mailbox's name until it is
// complete and on stable storage; the source goes only after that, under
// the mailbox's locks and a lease that no other program may hold the file
// open beside, and only if it is still the file that was copied. Every step
// that could leave a short copy fails the whole move.

#include "relocate/files.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

static constexpr const char *in_use_msg = "Cannot copy %s, it is in use by another program\n";
static constexpr const char *moved_msg = "Bucket %s was moved away, %s stays where it was\n";

namespace {

// The source: the entry of the spool (a file, or a trusted link), and the
// regular file that is read, each as found when the copy began.
struct source {
    fd_owner entry;     // O_PATH, the entry itself
    struct stat est;    // its status
    fd_owner file;      // O_PATH, the file it points to, if a link
    struct stat st;     // the file's status
    fd_owner in;        // the file, open for reading and locking
};

}  // namespace

int reopen(int path, int flags)
{
    // Reading a mailbox must not make it look read to its owner's mail
    // reader; only the owner or root may ask for that, though.
    std::string proc = "/proc/self/fd/" + std::to_string(path);
    flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(proc.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open(proc.c_str(), flags);
    return fd;
}

static int refuse(const char *fmt, const std::string &path, int *why)
{
    emsg(fmt, path.c_str());
    *why = EXDEV;
    return 0;
}

static int failed(const std::string &path, int *why)
{
    *why = errno;
    syserr(path);
    return 0;
}

// What can be read is told apart as the system's own refusal would; a
// device is only looked at, never opened.
static int refuse_existing(int to, const std::string &name, const std::string &dst, int *why)
{
    struct stat st;
    bool readable = fstatat(to, name.c_str(), &st, 0) == 0 && !S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode);
    emsg("Cannot copy as dst file exists already %s %s\n", dst.c_str(), std::strerror(readable ? EXDEV : EEXIST));
    *why = EXDEV;
    return 0;
}

// Finds the source without following a link unless the trust rule allows
// it, and without opening anything yet.
static trust_result find_source(int from, const std::string &name, source &s)
{
    s.entry.fd = openat(from, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (s.entry.fd < 0 || fstat(s.entry.fd, &s.est) < 0)
        return trust_failed;
    s.st = s.est;
    if (!S_ISLNK(s.est.st_mode))
        return trust_ok;
    trust_result r = follow_link(from, s.entry.fd, s.est, false, s.file.fd);
    if (r == trust_ok && fstat(s.file.fd, &s.st) < 0)
        return trust_failed;
    return r;
}

// Opens the source's regular file, the very one found, for reading and
// locking, and takes its locks and lease. A mailbox with other names would
// become two mailboxes: it is not copied.
static int lock_source(int from, const std::string &name, const std::string &src, source &s, mail_lock &l, int *why)
{
    s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDWR);
    if (s.in.fd < 0 && errno == EWOULDBLOCK)
        return refuse(in_use_msg, src, why);  // another program's lease
    if (s.in.fd < 0)
        return failed(src, why);
    int err = lock_mailbox(from, name, s.in.fd, true, l);
    if (err == EWOULDBLOCK)
        return refuse("Cannot copy %s, it is locked by another program\n", src, why);
    if (err == EBUSY)
        return refuse(in_use_msg, src, why);
    // What the copy must match is the source as it stands under the locks.
    if (err == 0 && fstat(s.in.fd, &s.st) < 0)
        err = errno;
    if (err == 0 && s.st.st_nlink > 1) {
        unlock_mailbox(l);
        return refuse("Cannot copy %s, it has other names\n", src, why);
    }
    if (err != 0) {
        unlock_mailbox(l);
        *why = err;
        return 0;
    }
    return 1;
}

// The source goes only while it is still the entry that was copied.
static int remove_source(const spool_dir &from, const std::string &name, const std::string &src, const source &s)
{
    int err = unlink_same(from.fd, name, s.est.st_dev, s.est.st_ino);
    if (err != 0) {
        emsg("Could not remove %s %s\n", src.c_str(), std::strerror(err));
        return 0;
    }
    note_changed(from.fd, from.dev, from.path);
    progress_move();
    return 1;
}

// Copies the bytes of in from `at` up to `end` into out, shifted by
// `shift`. With watch, a stop request or a break of our lease abandons it.
static int copy_range(int in, int out, off_t at, off_t end, off_t shift, bool watch)
{
    static char buf[1 << 16];
    while (at < end) {
        if (watch && stop_signal != 0)
            return EINTR;
        if (watch && lease_broken != 0)
            return ECANCELED;
        size_t want = static_cast<size_t>(std::min<off_t>(end - at, sizeof buf));
        ssize_t n = pread(in, buf, want, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;  // shorter than its status said
        for (ssize_t done = 0; done < n;) {
            ssize_t w = pwrite(out, buf + done, static_cast<size_t>(n - done), at + shift + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return w < 0 ? errno : EIO;
            done += w;
        }
        at += n;
    }
    return 0;
}

// Copies the data of in, size bytes, into out: its data extents only, so
// that a sparse mailbox takes no more room than the source does.
static int copy_data(int in, int out, off_t size, bool watch)
{
    for (off_t at = 0; at < size;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;  // only a hole is left
        off_t hole = data < 0 ? size : lseek(in, data, SEEK_HOLE);
        if (data < 0)
            data = at;  // the file system cannot tell: all of it is data
        if (hole < 0 || hole > size)
            hole = size;
        if (int err = copy_range(in, out, data, hole, 0, watch); err != 0)
            return err;
        at = hole;
    }
    return ftruncate(out, size) < 0 ? errno : 0;
}

// The extended attributes of in, the ACL among them, onto out. One that
// cannot be carried fails the copy, which never grants more than the
// source did; so an ACL that the bucket hands down to new files goes when
// the source had none.
static int carry_xattrs(int in, int out)
{
    std::string names(1024, '\0'), value;
    ssize_t n;
    while ((n = flistxattr(in, names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 4);
    if (n < 0 && errno != ENOTSUP)
        return errno;
    bool acl = false;
    for (size_t at = 0; n > 0 && at < static_cast<size_t>(n); at += std::strlen(names.data() + at) + 1) {
        const char *name = names.data() + at;
        acl |= std::strcmp(name, "system.posix_acl_access") == 0;
        ssize_t len = fgetxattr(in, name, nullptr, 0);
        if (len >= 0) {
            value.resize(static_cast<size_t>(len));
            len = fgetxattr(in, name, value.data(), value.size());
        }
        if (len < 0 || fsetxattr(out, name, value.data(), static_cast<size_t>(len), 0) < 0)
            return errno;
    }
    if (!acl && fremovexattr(out, "system.posix_acl_access") < 0 && errno != ENODATA && errno != ENOTSUP)
        return errno;
    return 0;
}

// Owner first, since a change of owner clears set-id bits; the extended
// attributes, then the mode, while the file is still private to root; times
// last, as the source had them before the copy read it.
static int carry_over(int out, int in, const struct stat &st)
{
    if (fchown(out, st.st_uid, st.st_gid) < 0)
        return errno;
    if (int err = carry_xattrs(in, out); err != 0)
        return err;
    if (fchmod(out, st.st_mode & 07777) < 0)
        return errno;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out, times) < 0)
        return errno;
    return 0;
}

// True when the first len bytes of both files are the same, read through
// their descriptors.
static bool same_bytes(int a, int b, off_t len)
{
    static char ba[1 << 16], bb[1 << 16];
    for (off_t at = 0; at < len;) {
        size_t want = static_cast<size_t>(std::min<off_t>(len - at, sizeof ba));
        ssize_t na = pread(a, ba, want, at), nb = pread(b, bb, want, at);
        if (na <= 0 || na != nb || std::memcmp(ba, bb, static_cast<size_t>(na)) != 0)
            return false;
        at += na;
    }
    return true;
}

static bool same_attributes(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_uid == b.st_uid && a.st_gid == b.st_gid && a.st_mode == b.st_mode;
}

// A destination identical to the source is a copy that a killed run
// completed but could not follow with the removal of the source; copy is
// left open on it.
static bool copy_complete(int to, const std::string &name, const struct stat &dst_st, const source &s, fd_owner &copy)
{
    fd_owner path(openat(to, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.fd < 0 || fstat(path.fd, &st) < 0 || st.st_dev != dst_st.st_dev || st.st_ino != dst_st.st_ino)
        return false;
    copy.fd = reopen(path.fd, O_RDONLY);
    return copy.fd >= 0 && fstat(copy.fd, &st) == 0 && same_attributes(st, s.st) &&
           same_bytes(s.in.fd, copy.fd, st.st_size);
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
    f.fd.fd = openat(dir, f.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (f.fd.fd < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.name = f.temp;
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

// Links the unnamed file fd in as name in dir.
static int link_unnamed(int fd, int dir, const std::string &name)
{
    if (linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    // Without the privilege for an empty path, link through /proc.
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
}

int new_file_name(int dir, const std::string &name, new_file &f, bool replace)
{
    int r = 0;
    if (replace && f.temp.empty()) {
        // Only a name can replace another: the unnamed file takes a
        // temporary one first.
        f.temp.assign(partial_prefix);
        f.temp += name;
        if (unlinkat(dir, f.temp.c_str(), 0) < 0 && errno != ENOENT)
            return errno;
        r = link_unnamed(f.fd.fd, dir, f.temp);
    }
    if (r == 0 && replace)
        r = renameat(dir, f.temp.c_str(), dir, name.c_str());
    else if (r == 0)
        r = f.temp.empty() ? link_unnamed(f.fd.fd, dir, name) : rename_within(dir, f.temp, name);
    if (r < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.temp.clear();
    f.name.clear();
    // Others who write to the directory could have exchanged the file for
    // theirs on its way to the name: only our own file is ever named.
    if (!same_file(dir, name, f.st.st_dev, f.st.st_ino))
        return ESTALE;
    f.name = name;
    return 0;
}

bool same_file(int dir, const std::string &name, dev_t dev, ino_t ino)
{
    struct stat st;
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino;
}

int unlink_same(int dir, const std::string &name, dev_t dev, ino_t ino)
{
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return errno;
    if (st.st_dev != dev || st.st_ino != ino)
        return EBUSY;
    return unlinkat(dir, name.c_str(), 0) < 0 ? errno : 0;
}

int new_file_drop(int dir, const new_file &f)
{
    int err = f.name.empty() ? 0 : unlink_same(dir, f.name, f.st.st_dev, f.st.st_ino);
    return err == EBUSY || err == ENOENT ? 0 : err;  // the name is not ours now
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

// Writes, flushes and names the copy, and flushes the buckets above it.
// Returns 0 or the error for the move.
static int fill_target(bucket_route &to, const std::string &name, const std::string &src, const std::string &dst,
                       source &s, new_file &t)
{
    int err = copy_data(s.in.fd, t.fd.fd, s.st.st_size, true);
    if (err == 0)
        err = carry_over(t.fd.fd, s.in.fd, s.st);
    if (err == 0 && fsync(t.fd.fd) < 0)
        err = errno;
    if (err == 0)
        err = new_file_name(to.fd, name, t);
    if (err == EEXIST) {
        emsg("Cannot copy as dst file exists already %s %s\n", dst.c_str(), std::strerror(EEXIST));
        return EXDEV;
    }
    if (err == ESTALE) {
        emsg("Cannot copy %s, another file took the name %s\n", src.c_str(), dst.c_str());
        return EXDEV;
    }
    if (err != 0)
        return err;
    if (close(t.fd.release()) < 0) {
        err = errno;
        emsg("Could not close %s %s\n", dst.c_str(), std::strerror(err));
        return err;
    }
    return sync_route(to);
}

// A copy whose file is to be written and named in the route's bucket.
struct named_copy {
    bucket_route &to;
    const std::string &name;
    const std::string &dst;
};

// Writes a whole copy of the file old, whose status is st, as the new file
// f that is to be `name` in dir: its data, owner, mode, extended attributes
// and times, on stable storage. Returns 0 or errno.
static int write_whole(int old, const struct stat &st, int dir, const std::string &name, new_file &f)
{
    int err = new_file_open(dir, name, 0600, f);
    if (err == 0)
        err = copy_data(old, f.fd.fd, st.st_size, false);
    if (err == 0)
        err = carry_over(f.fd.fd, old, st);
    if (err == 0 && fsync(f.fd.fd) < 0)
        err = errno;
    return err;
}

// Keeps what the old file holds beside the copy, under a name the walk
// passes by, for the administrator to merge; reported.
static void keep_aside(int old, const named_copy &c, const std::string &src)
{
    std::string kept = std::string(kept_prefix) + c.name, dir = c.dst.substr(0, c.dst.size() - c.name.size());
    new_file k;
    struct stat st;
    int err = fstat(old, &st) < 0 ? errno : write_whole(old, st, c.to.fd, kept, k);
    std::string name = kept;
    for (int i = 1; err == 0 && (err = new_file_name(c.to.fd, name, k)) == EEXIST && i < 1000; i++)
        name = kept + "." + std::to_string(i);
    if (err == 0)
        err = sync_route(c.to);
    if (err != 0) {
        new_file_drop(c.to.fd, k);
        emsg("Could not keep what was written to %s after it was copied %s\n", src.c_str(), std::strerror(err));
        return;
    }
    emsg("Kept what was written to %s after it was copied as %s, merge it by hand\n", src.c_str(), (dir + name).c_str());
}

// Whether a file still stands as it was: the same file, not written since.
static bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The old file, written to after it was copied, holds all that the copy
// holds and what came since (appended, or rewritten in place, as when a
// deliverer updates its bookkeeping in the first message). While the copy
// is still as it was written and nobody has it open, a copy of the old file
// takes its place, under the copy's own locks. Returns 0 or errno.
static int replace_copy(int old, const struct stat &now, const named_copy &c, const struct stat &written)
{
    fd_owner path(openat(c.to.fd, c.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.fd < 0 || fstat(path.fd, &st) < 0)
        return errno;
    if (!same_state(st, written))
        return EBUSY;
    fd_owner copy(reopen(path.fd, O_RDWR));
    mail_lock l;
    int err = copy.fd < 0 ? errno : lock_mailbox(c.to.fd, c.name, copy.fd, true, l);
    if (err != 0)
        return err;
    new_file t;
    err = fstat(copy.fd, &st) < 0 ? errno : same_state(st, written) ? 0 : EBUSY;
    if (err == 0)
        err = write_whole(old, now, c.to.fd, c.name, t);
    if (err == 0)
        err = new_file_name(c.to.fd, c.name, t, true);
    if (err != 0)
        new_file_drop(c.to.fd, t);  // still its own: it took no name
    else
        err = sync_route(c.to);
    unlock_mailbox(l);
    return err;
}

// How long the programs let in once the source's name went may keep the
// old file open: ten seconds, looked at every hundredth of one.
enum { settle_tries = 1000 };
constexpr long settle_pause_ns = 10'000'000;

// Waits until no other program has the file open: a write lease is granted
// only then, and is held on return. Returns 0 or EAGAIN.
static int wait_alone(int fd)
{
    for (int i = 0; i < settle_tries; i++) {
        if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
            return 0;
        if (errno != EAGAIN)
            return errno;
        struct timespec pause = {0, settle_pause_ns};
        nanosleep(&pause, nullptr);
    }
    return EAGAIN;
}

// The source's name is gone. A program that asked to open the source while
// it was leased has waited for the lease and, let in now, writes to the old
// file: once it is done, the copy is brought up to date with the old file,
// or what it holds is kept beside the copy when the copy was changed
// meanwhile or the old file is held too long.
static void settle(source &s, mail_lock &l, const named_copy &c, const std::string &src, const struct stat &written)
{
    bool waiting = !lease_held(l);
    unlock_mailbox(l);
    if (!waiting)
        return;
    struct stat now;
    int err = wait_alone(s.in.fd);
    if (err == 0 && fstat(s.in.fd, &now) < 0)
        err = errno;
    bool same = err == 0 && now.st_size == s.st.st_size && now.st_mtim.tv_sec == s.st.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == s.st.st_mtim.tv_nsec;
    if (err == 0 && !same)
        err = replace_copy(s.in.fd, now, c, written);
    if (err == 0 && !same)
        imsg("Added to %s what was written to %s after it was copied\n", c.dst.c_str(), src.c_str());
    if (err != 0)
        keep_aside(s.in.fd, c, src);
    fcntl(s.in.fd, F_SETLEASE, F_UNLCK);
}

static int copy_locked(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                       int *why)
{
    struct stat before = s.st;
    // The copy is never seen under the mailbox's name before it is whole.
    new_file t;
    int err = new_file_open(c.to.fd, c.name, 0600, t);
    if (err != 0) {
        errno = err;
        return failed(c.dst, why);
    }
    err = fill_target(c.to, c.name, src, c.dst, s, t);
    if (err == 0)
        err = source_unchanged(from.fd, c.name, s, before);
    std::string moved;
    if (err == 0 && !route_in_place(c.to, c.dst, moved)) {
        emsg(moved_msg, moved.c_str(), src.c_str());
        err = EXDEV;
    }
    // Another program asking for the file while the data was copied ends
    // the copy; once it is whole, the program is let in after the removal.
    if (err == ECANCELED) {
        emsg(in_use_msg, src.c_str());
        err = EXDEV;
    }
    if (err != 0) {
        // A copy that failed goes, if its name still holds it.
        int left = new_file_drop(c.to.fd, t);
        if (left != 0) {
            errno = left;
            syserr(c.dst);
        }
        if (!moved.empty())
            route_forget(c.to);
        *why = err;
        return 0;
    }
    if (remove_source(from, c.name, src, s))
        settle(s, l, c, src, t.st);
    return 1;
}

// The destination holds a complete copy of the source: with doit, the copy
// and its buckets flushed, the source goes. Returns 1 when done or reported,
// 0 when refused (why set), -1 when it is no such copy.
static int finish_copy(const spool_dir &from, const std::string &src, const named_copy &c, const struct stat &d,
                       int doit, int *why)
{
    source s;
    if (!S_ISREG(d.st_mode) || find_source(from.fd, c.name, s) != trust_ok || !S_ISREG(s.st.st_mode) ||
        !same_attributes(s.st, d))
        return -1;
    fd_owner copy;
    if (!doit) {
        s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDONLY);
        return s.in.fd >= 0 && copy_complete(c.to.fd, c.name, d, s, copy) ? 1 : -1;
    }
    mail_lock l;
    if (!lock_source(from.fd, c.name, src, s, l, why))
        return 0;
    int done = -1;
    if (copy_complete(c.to.fd, c.name, d, s, copy)) {
        int err = fsync(copy.fd) < 0 ? errno : sync_route(c.to);
        if (err != 0) {
            *why = err;
            done = 0;
        } else if (remove_source(from, c.name, src, s)) {
            imsg("Removed %s, its copy %s is complete\n", src.c_str(), c.dst.c_str());
            settle(s, l, c, src, d);
            done = 1;
        } else {
            done = 1;  // "Could not remove" says it all
        }
    }
    unlock_mailbox(l);
    return done;
}

// The same file under a second name: the source's name goes, once the
// destination's bucket is on stable storage and both names still hold it.
static int drop_second_name(const spool_dir &from, const std::string &src, const named_copy &c, const struct stat &s)
{
    int err = sync_route(c.to);
    if (err == 0 && !same_file(c.to.fd, c.name, s.st_dev, s.st_ino))
        err = EBUSY;
    if (err == 0)
        err = unlink_same(from.fd, c.name, s.st_dev, s.st_ino);
    if (err != 0) {
        emsg("Could not remove %s %s\n", src.c_str(), std::strerror(err));
        return 1;
    }
    note_changed(from.fd, from.dev, from.path);
    imsg("Removed %s, the same file is at %s\n", src.c_str(), c.dst.c_str());
    progress_move();
    return 1;
}

int lib_taken(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
              const std::string &dst, bool across, int doit, int *why)
{
    named_copy c{to, name, dst};
    struct stat d, s;
    bool there = fstatat(to.fd, name.c_str(), &d, AT_SYMLINK_NOFOLLOW) == 0;
    if (!there && !doit)
        return 1;  // another name that hashed alike
    if (there && fstatat(from.fd, name.c_str(), &s, AT_SYMLINK_NOFOLLOW) == 0 && s.st_dev == d.st_dev &&
        s.st_ino == d.st_ino)
        return doit ? drop_second_name(from, src, c, s) : 1;
    if (!across) {
        *why = EEXIST;
        return 0;
    }
    int done = there ? finish_copy(from, src, c, d, doit, why) : -1;
    return done >= 0 ? done : refuse_existing(to.fd, name, dst, why);
}

int lib_copy(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
             const std::string &dst, int *why)
{
    // A taken destination is judged before the source is looked at.
    struct stat d;
    if (fstatat(to.fd, name.c_str(), &d, AT_SYMLINK_NOFOLLOW) == 0)
        return lib_taken(from, name, src, to, dst, true, 1, why);
    source s;
    trust_result r = find_source(from.fd, name, s);
    if (r == trust_refused)
        return refuse(untrusted_msg, src, why);
    if (r == trust_failed)
        return failed(src, why);
    if (!S_ISREG(s.st.st_mode))
        return refuse("Cannot copy %s, not a regular file\n", src, why);
    mail_lock l;
    if (!lock_source(from.fd, name, src, s, l, why))
        return 0;
    int done = copy_locked(from, src, named_copy{to, name, dst}, s, l, why);
    unlock_mailbox(l);
    return done;
}

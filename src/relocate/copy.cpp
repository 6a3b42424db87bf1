// Moving a mailbox to another file system: a copy, then the removal of the
// source. The copy is never visible under the mailbox's name until it is
// complete and on stable storage; the source goes only after that, under
// the mailbox's locks and a lease that no other program may hold the file
// open beside, and only if it is still the file that was copied. Every step
// that could leave a short copy fails the whole move.

#include "relocate/copy.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int copy_refuse(const char *fmt, const std::string &path, int *why)
{
    emsg(fmt, path.c_str());
    *why = EXDEV;
    return 0;
}

int copy_failed(const std::string &path, int *why)
{
    *why = errno;
    syserr(path);
    return 0;
}

// Finds the source without following a link unless the trust rule allows
// it, and without opening anything yet.
trust_result find_source(int from, const std::string &name, source &s)
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
int lock_source(int from, const std::string &name, const std::string &src, source &s, mail_lock &l, int *why)
{
    s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDWR);
    if (s.in.fd < 0 && errno == EWOULDBLOCK)
        return copy_refuse(in_use_msg, src, why);  // another program's lease
    if (s.in.fd < 0)
        return copy_failed(src, why);
    int err = lock_mailbox(from, name, s.in.fd, true, l);
    if (err == EWOULDBLOCK)
        return copy_refuse("Cannot copy %s, it is locked by another program\n", src, why);
    if (err == EBUSY)
        return copy_refuse(in_use_msg, src, why);
    // What the copy must match is the source as it stands under the locks.
    if (err == 0 && fstat(s.in.fd, &s.st) < 0)
        err = errno;
    if (err == 0 && s.st.st_nlink > 1) {
        unlock_mailbox(l);
        return copy_refuse(other_names_msg, src, why);
    }
    if (err != 0) {
        unlock_mailbox(l);
        *why = err;
        return 0;
    }
    return 1;
}

// The source goes only while it is still the entry that was copied.
int remove_source(const spool_dir &from, const std::string &name, const std::string &src, const source &s)
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

static int copy_locked(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                       int *why)
{
    struct stat before = s.st;
    // The copy is never seen under the mailbox's name before it is whole.
    new_file t;
    int err = new_file_open(c.to.fd, c.name, 0600, t);
    if (err != 0) {
        errno = err;
        return copy_failed(c.dst, why);
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
        return copy_refuse(untrusted_msg, src, why);
    if (r == trust_failed)
        return copy_failed(src, why);
    if (!S_ISREG(s.st.st_mode))
        return copy_refuse("Cannot copy %s, not a regular file\n", src, why);
    mail_lock l;
    if (!lock_source(from.fd, name, src, s, l, why))
        return 0;
    int done = copy_locked(from, src, named_copy{to, name, dst}, s, l, why);
    unlock_mailbox(l);
    return done;
}

// A destination found taken: the same file under a second name, a complete
// copy that a killed run left, or another file, which is never replaced.

#include "relocate/copy.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
        // As lock_source judges the file it opens, before any copy is looked at.
        s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDONLY);
        if (s.in.fd >= 0 && fstat(s.in.fd, &s.st) == 0 && s.st.st_nlink > 1)
            return copy_refuse(other_names_msg, src, why);
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

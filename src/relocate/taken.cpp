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
    if (!lock_source(from.fd, from.dev, c.name, src, s, l, why))
        return 0;
    int done = -1;
    if (copy_complete(c.to.fd, c.name, d, s, copy)) {
        int err = fsync(copy.fd) < 0 ? errno : sync_route(c.to);
        if (err != 0) {
            *why = err;
            done = 0;
        } else {
            if (retire_source(from, src, c, s, l, d))
                imsg("Removed %s, its copy %s is complete\n", src.c_str(), c.dst.c_str());
            done = 1;  // or "Could not remove" says it all
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

// Source and destination, the same file, are two names of it only when
// the file has two or more links and both names lie in the bucket's mount,
// neither the root of a mount: a file mounted over the destination (a bind
// mount) is the source's one name reached another way, and removing the
// source would lose it.
static bool second_name(const spool_dir &from, const std::string &name, int to, const struct stat &d)
{
    uint64_t src, dst, bucket;
    bool src_root = true, dst_root = true;
    return d.st_nlink >= 2 && mount_id(from.fd, name.c_str(), src, &src_root) &&
           mount_id(to, name.c_str(), dst, &dst_root) && mount_id(to, "", bucket) && !src_root && !dst_root &&
           src == dst && dst == bucket;
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
        s.st_ino == d.st_ino) {
        if (second_name(from, name, to.fd, d))
            return doit ? drop_second_name(from, src, c, s) : 1;
        emsg("Cannot move %s, %s is the same entry reached another way\n", src.c_str(), dst.c_str());
        return 1;
    }
    if (!across) {
        *why = EEXIST;
        return 0;
    }
    int done = there ? finish_copy(from, src, c, d, doit, why) : -1;
    return done >= 0 ? done : refuse_existing(to.fd, name, dst, why);
}

// A run cut short between setting a source's name aside and removing it
// left the old file so: it takes its name again, and is relocated as any
// mailbox, which tells a complete copy at its destination from mail
// written since. Where the name is taken again, both stay, reported.
int do_leftover(std::string_view name, const spool_dir &dir, int layout, int sep, int doit)
{
    std::string old(name), mailbox(name.substr(old_prefix.size()));
    if (!doit || mailbox.empty())
        return 1;
    if (renameat2(dir.fd, old.c_str(), dir.fd, mailbox.c_str(), RENAME_NOREPLACE) < 0) {
        emsg("Could not put back %s as %s %s\n", path_of(dir, old).c_str(), path_of(dir, mailbox).c_str(),
             std::strerror(errno));
        return 1;
    }
    imsg("Put back %s as %s\n", path_of(dir, old).c_str(), path_of(dir, mailbox).c_str());
    return do_one(mailbox, dir, layout, sep, doit);
}

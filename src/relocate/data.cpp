// What a copy carries over from its source: the data extents, the owner,
// group and mode, the extended attributes and the times.

#include "relocate/copy.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

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
int copy_data(int in, int out, off_t size, bool watch)
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
int carry_over(int out, int in, const struct stat &st)
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
bool same_bytes(int a, int b, off_t len)
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

// Writes a whole copy of the file old, whose status is st, as the new file
// f that is to be `name` in dir: its data, owner, mode, extended attributes
// and times, on stable storage. Returns 0 or errno.
int write_whole(int old, const struct stat &st, int dir, const std::string &name, new_file &f)
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

// What a copy carries over from its source: the data extents, the owner,
// group and mode, the extended attributes and the times.

#include "relocate/copy.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// How the kernel copies between two file systems: copy_file_range where
// the file system does it, else sendfile, else the copy reads and writes.
enum copy_way { by_range, by_sendfile, by_buffer };

}  // namespace

// What each pair of file systems takes is asked once: the last pair's
// answer is remembered.
static dev_t way_in, way_out;
static copy_way way_known = by_range;

static copy_way known_way(dev_t in, dev_t out)
{
    return in == way_in && out == way_out ? way_known : by_range;
}

static void learn_way(dev_t in, dev_t out, copy_way way)
{
    way_in = in;
    way_out = out;
    way_known = way;
}

static bool kernel_refused(int err)
{
    return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS;
}

// One step of the copy of [at, end) of in to the same offsets of out, whose
// file offset is *pos. Returns the bytes copied, or -1 with errno set.
static ssize_t copy_step(int in, int out, off_t at, size_t want, copy_way way, off_t *pos)
{
    static char buf[1 << 16];
    if (way == by_range) {
        loff_t from = at, to = at;
        return copy_file_range(in, &from, out, &to, want, 0);
    }
    if (way == by_sendfile) {
        if (*pos != at && lseek(out, at, SEEK_SET) < 0)
            return -1;
        *pos = at;
        off_t from = at;
        ssize_t n = sendfile(out, in, &from, want);
        if (n > 0)
            *pos += n;
        return n;
    }
    ssize_t n = pread(in, buf, std::min(want, sizeof buf), at);
    for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = pwrite(out, buf + done, static_cast<size_t>(n - done), at + done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? -1 : (errno = EIO, -1);
        done += w;
    }
    return n;
}

// Copies the bytes of in from `at` up to `end` into out at the same
// offsets, in the kernel where it can. With watch, a stop request or a
// break of our lease abandons it.
static int copy_range(int in, int out, off_t at, off_t end, const mail_lock *watch, off_t *pos, copy_way &way)
{
    constexpr off_t step = 8 << 20;  // a lease break is seen within a step
    while (at < end) {
        if (watch != nullptr && stop_signal != 0)
            return EINTR;
        if (watch != nullptr && !lease_held(*watch))
            return ECANCELED;
        size_t want = static_cast<size_t>(std::min(end - at, step));
        ssize_t n = copy_step(in, out, at, want, way, pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && way != by_buffer && kernel_refused(errno)) {
            way = way == by_range ? by_sendfile : by_buffer;
            continue;
        }
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;  // shorter than its status said
        at += n;
    }
    return 0;
}

// The data extents of in, whose status is st, into out, so that a sparse
// mailbox takes no more room than the source does. A file with as many
// blocks as bytes has no holes to look for.
static int copy_extents(int in, const struct stat &st, int out, const mail_lock *watch, copy_way &way)
{
    off_t pos = 0, size = st.st_size;
    if (st.st_blocks * 512 >= size)
        return copy_range(in, out, 0, size, watch, &pos, way);
    for (off_t at = 0; at < size;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;  // only a hole is left
        off_t hole = data < 0 ? size : lseek(in, data, SEEK_HOLE);
        if (data < 0)
            data = at;  // the file system cannot tell: all of it is data
        if (hole < 0 || hole > size)
            hole = size;
        if (int err = copy_range(in, out, data, hole, watch, &pos, way); err != 0)
            return err;
        at = hole;
    }
    return ftruncate(out, size) < 0 ? errno : 0;
}

int copy_data(int in, const struct stat &st, int out, dev_t out_dev, const mail_lock *watch)
{
    copy_way way = known_way(st.st_dev, out_dev);
    int err = copy_extents(in, st, out, watch, way);
    learn_way(st.st_dev, out_dev, way);
    // A big copy starts on its way to the disk now, while its batch goes
    // on: the batch's flush then finds little left to write. It promises
    // nothing; the flush does.
    constexpr off_t writeback_bytes = 1 << 20;
    if (err == 0 && st.st_size >= writeback_bytes)
        sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    return err;
}

int copy_tail(int in, const struct stat &st, int out, off_t from, const mail_lock *watch)
{
    copy_way way = by_buffer;
    off_t pos = -1;
    return copy_range(in, out, from, st.st_size, watch, &pos, way);
}

// The extended attributes of in, the ACL among them, onto out. One that
// cannot be carried fails the copy, which never grants more than the
// source did; so an ACL that the bucket hands down to new files goes when
// the source had none.
static int carry_xattrs(int in, int out, bool handed_acl)
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
        if (len < 0)
            return errno;
        if (fsetxattr(out, name, value.data(), static_cast<size_t>(len), 0) < 0)
            return errno == ENOSPC || errno == E2BIG || errno == ERANGE ? xattrs_too_big : errno;
    }
    if (!acl && handed_acl && fremovexattr(out, "system.posix_acl_access") < 0 && errno != ENODATA &&
        errno != ENOTSUP)
        return errno;
    return 0;
}

namespace {

struct acl_dir {
    dev_t dev;
    ino_t ino;
    bool hands_down;
};

}  // namespace

static std::vector<acl_dir> acl_dirs;

bool hands_down_acl(int dir, dev_t dev, ino_t ino)
{
    for (const acl_dir &d : acl_dirs)
        if (d.dev == dev && d.ino == ino)
            return d.hands_down;
    bool none = fgetxattr(dir, "system.posix_acl_default", nullptr, 0) < 0 && (errno == ENODATA || errno == ENOTSUP);
    acl_dirs.push_back({dev, ino, !none});
    return !none;
}

void forget_acls()
{
    acl_dirs.clear();
}

// Owner first, since a change of owner clears set-id bits; the extended
// attributes, then the mode, while the file is still private to root; times
// last, as the source had them before the copy read it.
int carry_over(int out, int in, const struct stat &st, bool handed_acl)
{
    if (fchown(out, st.st_uid, st.st_gid) < 0)
        return errno;
    if (int err = carry_xattrs(in, out, handed_acl); err != 0)
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
        err = copy_data(old, st, f.fd.fd, 0, nullptr);
    if (err == 0)
        err = carry_over(f.fd.fd, old, st, true);
    if (err == 0 && fsync(f.fd.fd) < 0)
        err = errno;
    return err;
}

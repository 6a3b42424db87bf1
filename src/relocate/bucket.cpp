// The spool's directories as relocation reaches them: the root, opened once,
// and the buckets that destinations go into, each opened once along a
// checked route and kept open while the run needs it.

#include "relocate/files.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

static int root_fd = -1;
static uid_t root_owner = 0;

int lib_openroot(const std::string &path)
{
    fd_owner fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) < 0)
        return -1;
    root_owner = st.st_uid;
    root_fd = fd.release();
    return root_fd;
}

bool trusted_owner(uid_t uid)
{
    return uid == 0 || uid == root_owner;
}

// The text of the link held open as fd.
static bool read_link(int fd, std::string &target)
{
    target.resize(256);
    for (;;) {
        ssize_t n = readlinkat(fd, "", target.data(), target.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return true;
        }
        target.resize(target.size() * 2);
    }
}

trust_result follow_link(int at, int link, const struct stat &lst, int flags, int &fd)
{
    fd = -1;
    if (!trusted_owner(lst.st_uid))
        return trust_refused;
    std::string target;
    if (!read_link(link, target))
        return trust_failed;
    // A relative target is read from the directory that holds the link.
    fd_owner t(openat(at, target.c_str(), flags | O_CLOEXEC));
    struct stat st;
    if (t.fd < 0 || fstat(t.fd, &st) < 0)
        return trust_failed;
    if (!trusted_owner(st.st_uid))
        return trust_refused;
    fd = t.release();
    return trust_ok;
}

static trust_result open_dir_link(int at, const std::string &name, int &fd)
{
    fd_owner link(openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (link.fd < 0 || fstat(link.fd, &st) < 0)
        return trust_failed;
    if (!S_ISLNK(st.st_mode)) {
        errno = ENOTDIR;
        return trust_failed;
    }
    return follow_link(at, link.fd, st, O_RDONLY | O_DIRECTORY, fd);
}

trust_result lib_opendir(int at, const std::string &name, int &fd)
{
    fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link is refused by O_NOFOLLOW, with ENOTDIR or ELOOP.
        if (errno != ENOTDIR && errno != ELOOP)
            return trust_failed;
        return open_dir_link(at, name, fd);
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        int err = errno;
        close(fd);
        fd = -1;
        errno = err;
        return trust_failed;
    }
    if (trusted_owner(st.st_uid))
        return trust_ok;
    close(fd);
    fd = -1;
    return trust_refused;
}

trust_result lib_mkdir(int at, const std::string &name, const std::string &path, int &fd)
{
    struct stat up;
    if (fstat(at, &up) < 0)
        return trust_failed;
    bool made = mkdirat(at, name.c_str(), 0770) == 0;
    if (!made && errno != EEXIST)
        return trust_failed;
    trust_result r = lib_opendir(at, name, fd);
    // A bucket made by root must still be usable by the mail system: it
    // gets the owner and group of the directory it was made in, through the
    // descriptor of the bucket itself.
    if (r == trust_ok && made && fchown(fd, up.st_uid, up.st_gid) < 0)
        emsg("Cannot set owner of %s %s\n", path.c_str(), std::strerror(errno));
    return r;
}

namespace {

enum bucket_state : unsigned char { bucket_unknown, bucket_open, bucket_missing, bucket_refused };

// A bucket of the destination side, by the byte that names it; the buckets
// below it are made on first use.
struct bucket {
    bucket_state state = bucket_unknown;
    int fd = -1;
    std::unique_ptr<bucket[]> below;
};

}  // namespace

static bucket top;        // the root
static int open_buckets;  // descriptors held below top
static int bucket_cap;    // how many may be held

// Layout 2 can use hundreds of buckets. The descriptor limit is raised as
// far as allowed, and half of it at most is spent on buckets.
static int find_cap()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) < 0)
        return 64;
    if (rl.rlim_cur < rl.rlim_max) {
        rlim_t was = rl.rlim_cur;
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) < 0)
            rl.rlim_cur = was;
    }
    rlim_t half = rl.rlim_cur / 2;
    return half > 65536 ? 65536 : half < 64 ? 32 : static_cast<int>(half) - 32;
}

static void forget(bucket &b)
{
    if (b.fd >= 0)
        close(b.fd);
    b.fd = -1;
    b.state = bucket_unknown;
    if (!b.below)
        return;
    for (int i = 0; i < 256; i++)
        forget(b.below[i]);
}

// Past the cap every bucket is let go; each is checked again when next used.
// One destination opens two buckets at most, so the cap is checked before.
static void make_room()
{
    if (bucket_cap == 0)
        bucket_cap = find_cap();
    if (open_buckets < bucket_cap)
        return;
    for (int i = 0; i < 256 && top.below; i++)
        forget(top.below[i]);
    open_buckets = 0;
}

// Opens, or with doit makes, the bucket `name` of `up` into b.
static trust_result open_bucket(bucket &up, bucket &b, char name, const std::string &path, int doit)
{
    std::string n(1, name);
    int fd;
    trust_result r = lib_opendir(up.fd, n, fd);
    if (r == trust_failed && errno == ENOENT && doit)
        r = lib_mkdir(up.fd, n, path, fd);
    if (r == trust_ok) {
        b.state = bucket_open;
        b.fd = fd;
        open_buckets++;
    } else if (r == trust_refused) {
        b.state = bucket_refused;
    } else if (!doit) {
        // A dry run says nothing of a bucket it cannot use: -doit will.
        b.state = bucket_missing;
    }
    return r;
}

// The descriptors from the root down to the bucket reached last.
static int route[3];
static int route_len;

int sync_route()
{
    for (int i = route_len - 1; i >= 0; i--)
        if (fsync(route[i]) < 0 && errno != EINVAL)
            return errno;
    return 0;
}

trust_result reach_bucket(const std::string &dst, size_t dir_len, int doit, int &fd, std::string &bad)
{
    make_room();
    top.fd = root_fd;
    bucket *at = &top;
    route_len = 0;
    route[route_len++] = root_fd;
    // Every bucket is one byte between slashes; empty and "." components
    // name the directory they stand in.
    for (size_t i = xpath.size(); i < dir_len; i++) {
        if (dst[i] == '/' || (dst[i] == '.' && (dst[i + 1] == '/')))
            continue;
        if (dst[i + 1] != '/') {
            errno = EINVAL;
            return trust_failed;
        }
        if (!at->below)
            at->below = std::make_unique<bucket[]>(256);
        bucket &b = at->below[static_cast<unsigned char>(dst[i])];
        if (b.state == bucket_unknown) {
            trust_result r = open_bucket(*at, b, dst[i], dst.substr(0, i + 1), doit);
            if (r == trust_failed && !doit) {
                fd = -1;
                return trust_ok;
            }
            if (r == trust_failed)
                return r;
        }
        if (b.state == bucket_refused) {
            bad = dst.substr(0, i + 1);
            return trust_refused;
        }
        if (b.state == bucket_missing) {
            fd = -1;
            return trust_ok;
        }
        at = &b;
        if (route_len < 3)
            route[route_len++] = b.fd;
    }
    fd = at->fd;
    return trust_ok;
}

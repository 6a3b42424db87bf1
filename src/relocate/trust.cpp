// Who is trusted: root and the owner of the spool's root. A directory is
// entered, moved into or made only along a route that nobody else can
// steer: real directories of a trusted owner, or links of a trusted owner
// whose every step is checked. An owner of the spool's root who is not root
// steers root only where that owner could go itself: a route that passes
// through a link or directory of theirs must end in a directory of theirs
// or one within the spool.

#include "relocate/files.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

static int root_fd = -1;
static int root_err = 0;
static bool root_tried;
static uid_t root_owner = 0;
static dev_t root_dev;
static ino_t root_ino;
static const char *refusal = untrusted_msg;  // why the last route was refused

int lib_openroot(const std::string &path)
{
    if (root_tried) {
        errno = root_err;
        return root_fd;
    }
    root_tried = true;
    fd_owner fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) < 0) {
        root_err = errno;
        return -1;
    }
    root_owner = st.st_uid;
    root_dev = st.st_dev;
    root_ino = st.st_ino;
    root_fd = fd.release();
    return root_fd;
}

bool trusted_owner(uid_t uid)
{
    return uid == 0 || uid == root_owner;
}

const char *refused_msg()
{
    return refusal;
}

// Whether the directory fd lies within the spool's root: its ".." chain
// reaches the root before it reaches "/" (whose ".." is itself).
static bool within_spool(int fd)
{
    fd_owner at(openat(fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    for (int depth = 0; depth < 256 && at.fd >= 0 && fstat(at.fd, &st) == 0; depth++) {
        if (st.st_dev == root_dev && st.st_ino == root_ino)
            return true;
        fd_owner up(openat(at.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat ust;
        if (up.fd < 0 || fstat(up.fd, &ust) < 0 || (ust.st_dev == st.st_dev && ust.st_ino == st.st_ino))
            return false;
        std::swap(at.fd, up.fd);
    }
    return false;
}

// The end of a route that the spool's owner could steer (steered) must be
// a directory of theirs or one within the spool: never one that only root,
// or a third account, may write.
static trust_result end_allowed(bool steered, int dir, const struct stat &st)
{
    if (!steered || st.st_uid == root_owner || within_spool(dir))
        return trust_ok;
    refusal = beyond_msg;
    return trust_refused;
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

// A link to follow: a trusted owner's, and with one name, since a hard link
// that someone else made to a trusted link carries its owner.
static bool trusted_link(const struct stat &st)
{
    return trusted_owner(st.st_uid) && st.st_nlink == 1;
}

// A directory that a route passes through, to `next` within it: nobody but
// a trusted owner can change what its names hold, or it is sticky and next
// belongs to a trusted owner, who alone may rename or remove it there.
static bool may_pass(const struct stat &dir, const struct stat &next)
{
    if (!trusted_owner(dir.st_uid))
        return false;
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return (dir.st_mode & S_ISVTX) != 0 && trusted_owner(next.st_uid);
}

// Adds the components of a link's text to those left, the first last.
static void push_components(std::vector<std::string> &todo, const std::string &text)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('/', at);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(at, end - at);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        at = end + 1;
    }
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

// Where a link's text starts: "/", or the directory `at` that holds it.
static int route_start(int at, bool absolute)
{
    if (absolute)
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return openat(at, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Links met on one route, at most: as many as the kernel would follow.
enum { max_links = 40 };

namespace {

// Where the resolution of a route stands: the directory reached so far and
// the components left to look up in it.
struct route_walk {
    fd_owner dir;
    struct stat dst;
    std::vector<std::string> todo;
    int links = 0;
    bool steered = false;  // a link or directory of a spool owner not root is on it
};

}  // namespace

// Takes up the text of the link held open as link: the route goes on from
// "/" or from the directory it stands in.
static trust_result take_link(route_walk &w, int link, const struct stat &lst)
{
    if (!trusted_link(lst))
        return trust_refused;
    w.steered |= lst.st_uid != 0;
    if (++w.links > max_links) {
        errno = ELOOP;
        return trust_failed;
    }
    std::string text;
    if (!read_link(link, text))
        return trust_failed;
    if (text.starts_with('/')) {
        w.dir.reset(route_start(-1, true));
        if (w.dir.fd < 0 || fstat(w.dir.fd, &w.dst) < 0)
            return trust_failed;
    }
    push_components(w.todo, text);
    return trust_ok;
}

// Looks up the next component; the object found is left in next. Returns
// trust_ok when the route goes on.
static trust_result step(route_walk &w, bool want_dir, fd_owner &next, struct stat &nst)
{
    std::string c = std::move(w.todo.back());
    w.todo.pop_back();
    next.fd = openat(w.dir.fd, c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next.fd < 0 || fstat(next.fd, &nst) < 0)
        return trust_failed;
    bool is_link = S_ISLNK(nst.st_mode);
    // A file's own directory need only be a trusted owner's: the file may
    // be anyone's. ".." cannot be swapped by those who write the directory.
    bool file_dir = !want_dir && !is_link && w.todo.empty();
    if (!trusted_owner(w.dst.st_uid) || (c != ".." && !file_dir && !may_pass(w.dst, nst)))
        return trust_refused;
    w.steered |= w.dst.st_uid != 0;
    if (is_link)
        return take_link(w, next.fd, nst);
    if (w.todo.empty())
        return trust_ok;
    if (!S_ISDIR(nst.st_mode)) {
        errno = ENOTDIR;
        return trust_failed;
    }
    std::swap(w.dir.fd, next.fd);
    w.dst = nst;
    return trust_ok;
}

trust_result follow_link(int at, int link, const struct stat &lst, bool want_dir, int &fd)
{
    fd = -1;
    refusal = untrusted_msg;
    route_walk w;
    trust_result r = take_link(w, link, lst);
    if (r != trust_ok)
        return r;
    if (w.dir.fd < 0) {
        w.dir.reset(route_start(at, false));
        if (w.dir.fd < 0 || fstat(w.dir.fd, &w.dst) < 0)
            return trust_failed;
    }
    // The object the route ends at; the directory reached, when the last
    // text named no component of its own ("." or "/").
    fd_owner end;
    struct stat est;
    while (!w.todo.empty()) {
        fd_owner next;
        r = step(w, want_dir, next, est);
        if (r != trust_ok)
            return r;
        if (w.todo.empty() && next.fd >= 0 && !S_ISLNK(est.st_mode))
            std::swap(end.fd, next.fd);
    }
    if (end.fd < 0) {
        std::swap(end.fd, w.dir.fd);
        est = w.dst;
    }
    if (!want_dir) {
        // A file's own directory is where it is taken from.
        if ((r = end_allowed(w.steered, w.dir.fd, w.dst)) != trust_ok)
            return r;
        fd = end.release();
        return trust_ok;
    }
    if (!S_ISDIR(est.st_mode)) {
        errno = ENOTDIR;
        return trust_failed;
    }
    if (!trusted_owner(est.st_uid))
        return trust_refused;
    if ((r = end_allowed(w.steered, end.fd, est)) != trust_ok)
        return r;
    fd = openat(end.fd, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? trust_failed : trust_ok;
}

static trust_result open_dir_link(int at, const std::string &name, dir_open &d)
{
    fd_owner link(openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat lst;
    if (link.fd < 0 || fstat(link.fd, &lst) < 0)
        return trust_failed;
    if (!S_ISLNK(lst.st_mode)) {
        errno = ENOTDIR;
        return trust_failed;
    }
    trust_result r = follow_link(at, link.fd, lst, true, d.fd);
    if (r != trust_ok)
        return r;
    if (fstat(d.fd, &d.st) < 0) {
        int err = errno;
        close(d.fd);
        d.fd = -1;
        errno = err;
        return trust_failed;
    }
    d.entry_dev = lst.st_dev;
    d.entry_ino = lst.st_ino;
    return trust_ok;
}

trust_result lib_opendir(int at, const std::string &name, dir_open &d)
{
    refusal = untrusted_msg;
    d.fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (d.fd < 0) {
        // A link is refused by O_NOFOLLOW, with ENOTDIR or ELOOP.
        if (errno != ENOTDIR && errno != ELOOP)
            return trust_failed;
        return open_dir_link(at, name, d);
    }
    int err = fstat(d.fd, &d.st) < 0 ? errno : 0;
    if (err == 0 && trusted_owner(d.st.st_uid)) {
        d.entry_dev = d.st.st_dev;
        d.entry_ino = d.st.st_ino;
        return trust_ok;
    }
    close(d.fd);
    d.fd = -1;
    errno = err;
    return err != 0 ? trust_failed : trust_refused;
}

// A new bucket is used like the directory it is made in: the mail system's
// users read and deliver through it. It is made private, given the owner,
// group and whole mode of that directory through its own descriptor, whatever
// the umask, and flushed with its parent before anything goes into it.
trust_result lib_mkdir(int at, const std::string &name, const std::string &path, dir_open &d)
{
    struct stat up;
    if (fstat(at, &up) < 0)
        return trust_failed;
    bool made = mkdirat(at, name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST)
        return trust_failed;
    trust_result r = lib_opendir(at, name, d);
    if (r != trust_ok || !made)
        return r;
    if (fchown(d.fd, up.st_uid, up.st_gid) < 0)
        emsg("Cannot set owner of %s %s\n", path.c_str(), std::strerror(errno));
    if (fchmod(d.fd, up.st_mode & 07777) < 0)
        emsg("Cannot set mode of %s %s\n", path.c_str(), std::strerror(errno));
    if (flush_dir(d.fd) == 0 && flush_dir(at) == 0)
        return trust_ok;
    int err = errno;
    close(d.fd);
    d.fd = -1;
    errno = err;
    return trust_failed;
}

// The buckets that destinations go into, each opened once along a checked
// route and kept open while the run needs it.

#include "relocate/files.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <csignal>
#include <memory>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

enum bucket_state : unsigned char { bucket_unknown, bucket_open, bucket_missing, bucket_refused };

// A bucket of the destination side, by the byte that names it; the buckets
// below it are made on first use.
struct bucket {
    bucket_state state = bucket_unknown;
    int fd = -1;
    dev_t dev = 0;  // the directory
    ino_t ino = 0;
    dev_t entry_dev = 0;  // the entry naming it: itself, or a link to it
    ino_t entry_ino = 0;
    uint64_t mnt = 0;      // the mount the directory lies in
    int watch = -1;        // -doit: the kernel says when it moves or goes
    bool suspect = false;  // it was said to: its name is to be looked at
    bool remount = false;  // the mount table changed: its whole route too
    const char *refusal = nullptr;  // refused: the text that says why
    std::unique_ptr<bucket[]> below;
    bool names_read = false;  // dry run: the names it held, hashed and sorted
    std::vector<uint64_t> names;
};

static bucket top;        // the root
static int open_buckets;  // descriptors held below top
static int bucket_cap;    // how many may be held

// A bucket that leaves its place must receive nothing more. Looking its
// name up after every move into it would cost a system call a mailbox, as
// much as the move: so the kernel watches each real directory kept open for
// its own move or removal (inotify), and tells by a signal, which is taken
// before the move into it returns. Only then, or for a bucket that is a link
// or cannot be watched, is its name looked up. Mounts and unmounts, which
// inotify does not report, are told apart from the mount table's changes
// (mounts_changed): then every bucket kept is looked up again, a link's
// whole route too, and its mount compared.
static int watcher = -2;                       // the inotify descriptor, -1 if none
static std::vector<bucket *> watched;          // by watch descriptor
static volatile sig_atomic_t bucket_news = 0;  // an event is waiting

static void on_bucket_news(int)
{
    bucket_news = 1;
}

static int watch_fd()
{
    if (watcher != -2)
        return watcher;
    watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    struct sigaction sa = {};
    sa.sa_handler = on_bucket_news;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // SIGURG, which nothing else here uses and whose default is to be
    // ignored: leases have SIGIO.
    if (watcher >= 0 && (sigaction(SIGURG, &sa, nullptr) < 0 || fcntl(watcher, F_SETOWN, getpid()) < 0 ||
                         fcntl(watcher, F_SETSIG, SIGURG) < 0 || fcntl(watcher, F_SETFL, O_ASYNC | O_NONBLOCK) < 0)) {
        close(watcher);
        watcher = -1;
    }
    return watcher;
}

static void watch(bucket &b)
{
    if (b.entry_dev != b.dev || b.entry_ino != b.ino || watch_fd() < 0)
        return;  // a link: what names it is not the directory watched
    std::string proc = "/proc/self/fd/" + std::to_string(b.fd);
    b.watch = inotify_add_watch(watcher, proc.c_str(), IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR);
    if (b.watch < 0)
        return;
    if (watched.size() <= static_cast<size_t>(b.watch))
        watched.resize(static_cast<size_t>(b.watch) + 1);
    watched[static_cast<size_t>(b.watch)] = &b;
}

static void mark_all(bucket &b, bool remount)
{
    b.suspect = b.state == bucket_open;
    b.remount = b.remount || (remount && b.suspect);
    for (int i = 0; b.below && i < 256; i++)
        mark_all(b.below[i], remount);
}

// Marks the buckets that the kernel said moved or went.
static void take_news()
{
    bucket_news = 0;
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(watcher, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event *e = reinterpret_cast<const struct inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof *e + e->len);
            if (e->mask & IN_Q_OVERFLOW)
                mark_all(top, false);
            else if (e->wd >= 0 && static_cast<size_t>(e->wd) < watched.size() && watched[static_cast<size_t>(e->wd)])
                watched[static_cast<size_t>(e->wd)]->suspect = true;
        }
    }
}

int flush_dir(int fd)
{
    return fsync(fd) < 0 && errno != EINVAL ? errno : 0;
}

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
    if (b.fd >= 0) {
        close(b.fd);
        open_buckets--;
    }
    if (b.watch >= 0) {
        inotify_rm_watch(watcher, b.watch);
        watched[static_cast<size_t>(b.watch)] = nullptr;
    }
    b.watch = -1;
    b.suspect = false;
    b.remount = false;
    b.fd = -1;
    b.state = bucket_unknown;
    b.names_read = false;
    b.names.clear();
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
    lib_flushcopies();  // its copies are named in buckets held open
    for (int i = 0; i < 256 && top.below; i++)
        forget(top.below[i]);
}

// Opens, or with doit makes, the bucket `name` of `up` into b.
static trust_result open_bucket(bucket &up, bucket &b, char name, const std::string &path, int doit)
{
    std::string n(1, name);
    dir_open d;
    if (doit)
        mounts_watch();  // before the bucket is looked at: no change is missed
    trust_result r = lib_opendir(up.fd, n, d);
    if (r == trust_failed && errno == ENOENT && doit)
        r = lib_mkdir(up.fd, n, path, d);
    if (r == trust_ok && doit && !mount_id(d.fd, "", b.mnt)) {
        close(d.fd);
        r = trust_failed;
    }
    if (r == trust_ok) {
        b.state = bucket_open;
        b.fd = d.fd;
        b.dev = d.st.st_dev;
        b.ino = d.st.st_ino;
        b.entry_dev = d.entry_dev;
        b.entry_ino = d.entry_ino;
        open_buckets++;
        if (doit)
            watch(b);
    } else if (r == trust_refused) {
        b.state = bucket_refused;
        b.refusal = refused_msg();
    } else if (!doit) {
        // A dry run says nothing of a bucket it cannot use: -doit will.
        b.state = bucket_missing;
    }
    return r;
}

// The root as the bucket of destinations directly below it.
static void open_top()
{
    if (top.state != bucket_unknown)
        return;
    struct stat st;
    top.fd = lib_openroot(xpath);
    if (top.fd < 0 || fstat(top.fd, &st) < 0)
        return;
    top.state = bucket_open;
    top.dev = st.st_dev;
    top.ino = st.st_ino;
}

trust_result reach_bucket(const std::string &dst, size_t dir_len, int doit, bucket_route &r, std::string &bad,
                          const char *&why)
{
    make_room();
    open_top();
    bucket *at = &top;
    r = bucket_route();
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
            trust_result t = open_bucket(*at, b, dst[i], dst.substr(0, i + 1), doit);
            if (t == trust_failed && doit)
                return t;
        }
        if (b.state == bucket_refused) {
            bad = dst.substr(0, i + 1);
            why = b.refusal;
            return trust_refused;
        }
        if (b.state != bucket_open) {
            r.dev = at->dev;  // where it would be made
            return trust_ok;  // missing in a dry run: r.fd stays -1
        }
        at = &b;
        if (r.len < 2) {
            r.end[r.len] = i + 1;
            r.step[r.len++] = &b;
        }
    }
    r.fd = at->fd;
    r.dev = at->dev;
    r.ino = at->ino;
    return trust_ok;
}

int sync_route(const bucket_route &r)
{
    for (int i = r.len - 1; i >= 0; i--)
        if (int err = flush_dir(r.step[i]->fd); err != 0)
            return err;
    return flush_dir(top.fd);
}

// Whether the bucket b still stands as `name` of up: the same entry and,
// for a real directory, the same mount; with deep, a link's whole route is
// followed again to the same directory in the same mount.
static bool stands(const bucket &up, const bucket &b, const char *name, bool deep)
{
    struct statx sx;
    if (statx(up.fd, name, AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &sx) < 0 ||
        makedev(sx.stx_dev_major, sx.stx_dev_minor) != b.entry_dev || sx.stx_ino != b.entry_ino)
        return false;
    if (b.entry_dev == b.dev && b.entry_ino == b.ino)
        return (sx.stx_mask & STATX_MNT_ID) != 0 && sx.stx_mnt_id == b.mnt;
    if (!deep)
        return true;
    dir_open d;
    if (lib_opendir(up.fd, name, d) != trust_ok)
        return false;
    fd_owner again(d.fd);
    uint64_t mnt;
    return d.entry_dev == b.entry_dev && d.entry_ino == b.entry_ino && d.st.st_dev == b.dev && d.st.st_ino == b.ino &&
           mount_id(d.fd, "", mnt) && mnt == b.mnt;
}

bool route_in_place(bucket_route &r, const std::string &dst, std::string &moved, bool by_name)
{
    if (bucket_news)
        take_news();
    if (mounts_changed())
        mark_all(top, true);
    const bucket *up = &top;
    for (int i = 0; i < r.len; i++) {
        bucket &b = *r.step[i];
        char name[2] = {dst[r.end[i] - 1], '\0'};
        if (b.watch >= 0 && !b.suspect && !by_name) {
            up = &b;
            continue;
        }
        if (!stands(*up, b, name, b.remount)) {
            moved = dst.substr(0, r.end[i]);
            return false;
        }
        b.suspect = false;  // it came back, or it was not this one that moved
        b.remount = false;
        up = &b;
    }
    return true;
}

void route_forget(bucket_route &r)
{
    lib_flushcopies();
    if (r.len > 0)
        forget(*r.step[0]);
    r.len = 0;
}

// The names the directory fd holds, hashed and sorted: a dry run looks a
// destination up there instead of asking the kernel once per move. It reads
// through a descriptor of its own, so as not to move the walk's offset.
static void read_names(int fd, std::vector<uint64_t> &names)
{
    fd_owner dir(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    static char buf[1 << 16];
    ssize_t n;
    while (dir.fd >= 0 && (n = getdents64(dir.fd, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const struct dirent64 *e = reinterpret_cast<const struct dirent64 *>(buf + at);
            at += e->d_reclen;
            names.push_back(std::hash<std::string_view>{}(e->d_name));
        }
    }
    std::sort(names.begin(), names.end());
}

bool name_taken(bucket_route &r, std::string_view name)
{
    if (r.fd < 0)
        return false;
    bucket &b = r.len == 0 ? top : *r.step[r.len - 1];
    if (!b.names_read) {
        read_names(b.fd, b.names);
        b.names_read = true;
    }
    return std::binary_search(b.names.begin(), b.names.end(), std::hash<std::string_view>{}(name));
}

// Every bucket held open that is the directory dev/ino: it has just been
// removed.
static void forget_dir(bucket &b, dev_t dev, ino_t ino)
{
    if (b.state == bucket_open && b.dev == dev && b.ino == ino) {
        forget(b);
        return;
    }
    for (int i = 0; b.below && i < 256; i++)
        forget_dir(b.below[i], dev, ino);
}

void lib_prune(const spool_dir &dir, std::string_view name, const dir_open &d)
{
    lib_flushcopies();  // the sources it holds go first
    std::string n(name);
    struct stat st;
    if (fstatat(dir.fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0 || !S_ISDIR(st.st_mode) || st.st_dev != d.st.st_dev ||
        st.st_ino != d.st.st_ino)
        return;
    // The kernel refuses a directory that is not empty: nothing to say.
    if (unlinkat(dir.fd, n.c_str(), AT_REMOVEDIR) < 0)
        return;
    for (int i = 0; top.below && i < 256; i++)
        forget_dir(top.below[i], st.st_dev, st.st_ino);
    std::string path = path_of(dir, name);
    note_changed(dir.fd, dir.dev, dir.path);
    imsg("Removed empty directory %s\n", path.c_str());
}

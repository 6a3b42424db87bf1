// A mailbox is locked as every mail program locks it before writing: an
// fcntl lock and an flock lock on the open file, and the dot-lock file
// NAME.lock beside it. A source is also leased: a write lease is granted only
// while no other program has the file open, and while it is held any other
// open waits for it. A lock that another program holds is never broken and
// never waited on for long.

#include "relocate/files.h"
#include "run/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

// Ten tries a tenth of a second apart: about a second in all.
enum { lock_tries = 10 };
constexpr long lock_pause_ns = 100'000'000;

volatile sig_atomic_t lease_broken = 0;

// Another program asking to open a leased file is told by SIGIO, whose
// default action would end the run.
static void on_lease_break(int)
{
    lease_broken = 1;
}

static void catch_lease_breaks()
{
    static bool caught;
    if (caught)
        return;
    struct sigaction sa = {};
    sa.sa_handler = on_lease_break;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGIO, &sa, nullptr);
    caught = true;
}

// On NFS, flock is carried out as an fcntl lock: the one is enough. Asked
// once for each file system.
static bool flock_is_fcntl(int fd, dev_t dev)
{
    constexpr long nfs_magic = 0x6969;
    static dev_t last_dev;
    static bool known, last;
    if (known && dev == last_dev)
        return last;
    struct statfs sf;
    last = fstatfs(fd, &sf) == 0 && sf.f_type == nfs_magic;
    last_dev = dev;
    known = true;
    return last;
}

// This boot, as the kernel names it: a dot-lock of ours from an earlier
// boot is stale whatever process now has its number.
static const std::string &boot_id()
{
    static std::string id;
    static bool read_once;
    if (read_once)
        return id;
    read_once = true;
    fd_owner fd(open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
    char text[64];
    ssize_t n = fd.fd < 0 ? -1 : read(fd.fd, text, sizeof text);
    if (n == 37 && text[36] == '\n')
        id.assign(text, 36);
    return id;
}

// What this tool writes in its dot-locks up to the boot: the process number
// first, as mail programs write it, then a mark and the host.
static std::string dot_head(long pid)
{
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) < 0)
        host[0] = '\0';
    return std::to_string(pid) + " tierbox " + host;
}

static std::string dot_text(long pid)
{
    const std::string &boot = boot_id();
    return dot_head(pid) + (boot.empty() ? "" : " " + boot) + "\n";
}

// Whether the dot-lock text is one that a run of ours, now gone, left: from
// an earlier boot, or from this one (or one that did not say) by a process
// that no longer runs.
static bool stale_text(const std::string &text)
{
    long pid = 0;
    if (std::sscanf(text.c_str(), "%ld", &pid) != 1 || pid <= 0)
        return false;
    std::string head = dot_head(pid);
    if (!text.starts_with(head))
        return false;
    std::string_view rest = std::string_view(text).substr(head.size());
    const std::string &boot = boot_id();
    bool earlier = rest.size() == 38 && rest[0] == ' ' && rest[37] == '\n' && !boot.empty() &&
                   rest.substr(1, 36) != boot;
    if (earlier)
        return true;
    if (rest != "\n" && rest != " " + boot + "\n")
        return false;
    return kill(static_cast<pid_t>(pid), 0) < 0 && errno == ESRCH;
}

bool lib_droplock(int dir, const std::string &dot)
{
    fd_owner path(openat(dir, dot.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.fd < 0 || fstat(path.fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_size > 512)
        return false;
    fd_owner in(reopen(path.fd, O_RDONLY));
    char text[513];
    ssize_t n = in.fd < 0 ? -1 : read(in.fd, text, sizeof text - 1);
    if (n <= 0 || !stale_text(std::string(text, static_cast<size_t>(n))))
        return false;
    return unlink_same(dir, dot, st.st_dev, st.st_ino) == 0;
}

namespace {

// The file that every dot-lock of this run on one file system is a hard
// link to: its text is on stable storage once, before the first link, so a
// lock of ours that a power cut leaves still says whose it is, and a lock
// costs one link, no write and no flush.
struct lock_master {
    dev_t dev;
    fd_owner fd;     // the file, open
    fd_owner dir;    // the directory that holds its own name
    std::string name;
    struct stat st;
};

}  // namespace

static std::vector<lock_master> masters;

static const lock_master *make_master(int dir, dev_t dev, int &err)
{
    new_file f;
    std::string name = std::string(lock_prefix) + std::to_string(getpid());
    err = new_file_open(dir, name, 0644, f);
    if (err == 0)
        err = write_all(f.fd.fd, dot_text(getpid()));
    if (err == 0 && fsync(f.fd.fd) < 0)
        err = errno;
    if (err == 0)
        err = new_file_name(dir, name, f);
    int held = err == 0 ? fcntl(dir, F_DUPFD_CLOEXEC, 3) : -1;
    if (err == 0 && held < 0)
        err = errno;
    if (err != 0) {
        new_file_drop(dir, f);
        return nullptr;
    }
    lock_master m{dev, fd_owner(f.fd.release()), fd_owner(held), name, f.st};
    masters.push_back(std::move(m));
    return &masters.back();
}

// The newest master on dev: a directory of the same file system that a
// link cannot reach (another mount of it) gets a master of its own.
static const lock_master *master_for(int dir, dev_t dev, bool fresh, int &err)
{
    for (auto m = masters.rbegin(); !fresh && m != masters.rend(); ++m)
        if (m->dev == dev)
            return &*m;
    return make_master(dir, dev, err);
}

void drop_lock_masters()
{
    for (const lock_master &m : masters)
        unlink_same(m.dir.fd, m.name, m.st.st_dev, m.st.st_ino);
    masters.clear();
}

// Links our dot-lock in. Returns 0, EWOULDBLOCK when another stands there,
// or an error.
static int name_dot(int dir, const std::string &dot, const lock_master &m, mail_lock &l)
{
    int err = link_fd(m.fd.fd, dir, dot) == 0 ? 0 : errno;
    if (err == EEXIST && lib_droplock(dir, dot))
        err = link_fd(m.fd.fd, dir, dot) == 0 ? 0 : errno;
    // No program can dot-lock a name too long for it.
    if (err == ENAMETOOLONG)
        return 0;
    if (err == EEXIST)
        return EWOULDBLOCK;
    if (err != 0)
        return err;
    l.dot = dot;
    l.dot_dev = m.st.st_dev;
    l.dot_ino = m.st.st_ino;
    return 0;
}

static int fcntl_lock(int fd, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) == 0)
        return 0;
    return errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
}

// A write lease on the file. Where the file system or the system has none
// (NFS, leases disabled), that is said once and the copy goes on without.
static int take_lease(int file, mail_lock &l)
{
    static bool said;
    catch_lease_breaks();
    if (fcntl(file, F_SETLEASE, F_WRLCK) == 0) {
        l.lease = true;
        return 0;
    }
    if (errno == EAGAIN)
        return EBUSY;
    if (errno != EINVAL && errno != EACCES)
        return errno;
    if (!said)
        imsg("File leases are not available: a program that has a mailbox open while it is copied may lose mail\n");
    said = true;
    return 0;
}

// The lease first: a program that has the mailbox open, waiting for our
// locks, could never let go of it. Then the dot-lock: a program that takes
// it first and then waits for the fcntl lock never gets to wait on ours, and
// the other two follow at once, so that nothing stands waiting on us while
// we try.
static int try_locks(int dir, dev_t dev, int file, bool lease, const std::string &dot, const lock_master *m,
                     mail_lock &l)
{
    l.dir = dir;
    l.file = file;
    int err = lease ? take_lease(file, l) : 0;
    if (err == 0 && m != nullptr)
        err = name_dot(dir, dot, *m, l);
    if (err == 0)
        err = fcntl_lock(file, F_WRLCK);
    if (err == 0 && !flock_is_fcntl(file, dev) && flock(file, LOCK_EX | LOCK_NB) < 0)
        err = errno;
    if (err != 0)
        unlock_mailbox(l);
    return err;
}

int lock_mailbox(int dir, dev_t dev, const std::string &name, int file, bool lease, mail_lock &l)
{
    int err = 0;
    const lock_master *m = master_for(dir, dev, false, err);
    if (m == nullptr)
        return err;
    std::string dot = name + ".lock";
    for (int i = 1;; i++) {
        err = try_locks(dir, dev, file, lease, dot, m, l);
        if (err == EXDEV && (m = master_for(dir, dev, true, err)) != nullptr)
            err = try_locks(dir, dev, file, lease, dot, m, l);
        if ((err != EWOULDBLOCK && err != EBUSY) || i == lock_tries || stop_signal != 0)
            return err;
        struct timespec pause = {0, lock_pause_ns};
        nanosleep(&pause, nullptr);
    }
}

// Every break of a lease of ours raises SIGIO first: while none has since
// the flag was last cleared, the kernel need not be asked.
bool lease_held(const mail_lock &l)
{
    return lease_broken == 0 || lease_whole(l);
}

bool lease_whole(const mail_lock &l)
{
    return !l.lease || fcntl(l.file, F_GETLEASE) == F_WRLCK;
}

void unlock_closing(mail_lock &l, fd_owner &file)
{
    if (!l.dot.empty())
        unlink_same(l.dir, l.dot, l.dot_dev, l.dot_ino);
    l.dot.clear();
    file.reset(-1);
    l.file = -1;
    l.lease = false;
}

void unlock_mailbox(mail_lock &l)
{
    if (l.file >= 0) {
        flock(l.file, LOCK_UN);
        fcntl_lock(l.file, F_UNLCK);
        if (l.lease)
            fcntl(l.file, F_SETLEASE, F_UNLCK);
    }
    l.file = -1;
    l.lease = false;
    if (!l.dot.empty())
        unlink_same(l.dir, l.dot, l.dot_dev, l.dot_ino);
    l.dot.clear();
}

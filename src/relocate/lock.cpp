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

// On NFS, flock is carried out as an fcntl lock: the one is enough.
static bool flock_is_fcntl(int fd)
{
    constexpr long nfs_magic = 0x6969;
    struct statfs sf;
    return fstatfs(fd, &sf) == 0 && sf.f_type == nfs_magic;
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

// Writes our dot-lock, unnamed, its text on stable storage before it takes
// the name, so that neither a kill nor a power cut leaves one that a later
// run cannot tell for its own. It is written once for all the tries: the
// flush takes long, and the lock must follow the lease at once.
static int write_dot(int dir, const std::string &dot, new_file &f)
{
    int err = new_file_open(dir, dot, 0644, f);
    if (err == 0)
        err = write_all(f.fd.fd, dot_text(getpid()));
    if (err == 0 && fsync(f.fd.fd) < 0)
        err = errno;
    return err;
}

// Gives our dot-lock its name. Returns 0, EWOULDBLOCK when another stands
// there, or an error; spent tells that the file can take no name again.
static int name_dot(int dir, const std::string &dot, new_file &f, mail_lock &l, bool &spent)
{
    int err = new_file_name(dir, dot, f);
    if (err == EEXIST && lib_droplock(dir, dot))
        err = new_file_name(dir, dot, f);
    spent = err == 0 || err == ESTALE;
    // No program can dot-lock a name too long for it.
    if (err == ENAMETOOLONG)
        return 0;
    if (err == EEXIST || err == ESTALE)
        return EWOULDBLOCK;
    if (err != 0)
        return err;
    l.dot = dot;
    l.dot_dev = f.st.st_dev;
    l.dot_ino = f.st.st_ino;
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
    lease_broken = 0;
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
static int try_locks(int dir, int file, bool lease, const std::string *dot, new_file &f, mail_lock &l, bool &spent)
{
    l.dir = dir;
    l.file = file;
    int err = lease ? take_lease(file, l) : 0;
    if (err == 0 && dot != nullptr)
        err = name_dot(dir, *dot, f, l, spent);
    if (err == 0)
        err = fcntl_lock(file, F_WRLCK);
    if (err == 0 && !flock_is_fcntl(file) && flock(file, LOCK_EX | LOCK_NB) < 0)
        err = errno;
    if (err != 0)
        unlock_mailbox(l);
    return err;
}

int lock_mailbox(int dir, const std::string &name, int file, bool lease, mail_lock &l)
{
    std::string dot = name + ".lock";
    new_file f;
    bool no_dot = false;
    for (int i = 1;; i++) {
        int err = 0;
        if (!no_dot && f.fd.fd < 0) {
            err = write_dot(dir, dot, f);
            no_dot = err == ENAMETOOLONG;  // no program can dot-lock it
            if (no_dot)
                err = 0;
        }
        bool spent = false;
        if (err == 0)
            err = try_locks(dir, file, lease, no_dot ? nullptr : &dot, f, l, spent);
        if (spent && err != 0) {
            f.fd.reset(-1);
            f.temp.clear();
            f.name.clear();
        }
        if ((err != EWOULDBLOCK && err != EBUSY) || i == lock_tries || stop_signal != 0) {
            if (err != 0)
                new_file_drop(dir, f);
            return err;
        }
        struct timespec pause = {0, lock_pause_ns};
        nanosleep(&pause, nullptr);
    }
}

bool lease_held(const mail_lock &l)
{
    return !l.lease || fcntl(l.file, F_GETLEASE) == F_WRLCK;
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

// One run per spool and one per log, taken before anything is announced
// and never waited on: -doit has the spool to itself, dry runs may share
// it; a second run in the same working directory would empty the log that
// another writes.
//
// As root the locks are files of root's in a directory that only root can
// write, named by the device and inode of what they lock, so that every
// spelling of a path takes the same lock and no one else can open, plant
// or hold one. An flock on the spool's own directory would be anyone's to
// hold who can open the spool, and would stop every run for good.

#include "relocate/relocate.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char lock_dir_path[] = "/run/tierbox";

// The run can neither take its lock nor tell whether another has it.
static int lock_refused(const std::string &path, const char *why)
{
    std::string line = "Cannot take the run lock ";
    append_shown(line, path);
    line += ": ";
    line += why;
    line += "\n";
    write_all(STDERR_FILENO, line);
    return 1;
}

// All of /proc/locks, or "" where the system does not tell.
static std::string proc_locks()
{
    std::string text;
    fd_owner fd(open("/proc/locks", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0)
        return text;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return "";
        if (n == 0)
            return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

// The process that holds an flock on the file open as fd, from lines such
// as "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF" (a waiter's line has
// "->" before FLOCK and does not match). Returns 0 when it cannot be told.
static pid_t holder_of(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return 0;
    std::string text = proc_locks();
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        int pid;
        unsigned maj, min;
        unsigned long long ino;
        if (std::sscanf(line.c_str(), "%*d: FLOCK %*s %*s %d %x:%x:%llu", &pid, &maj, &min, &ino) == 4 && pid > 0 &&
            maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
            return pid;
    }
    return 0;
}

// "Another run is ...", naming the process that holds the lock when the
// system can tell; on standard error only.
static int taken(std::string_view before, std::string_view after, int fd)
{
    std::string line(before);
    if (pid_t pid = fd >= 0 ? holder_of(fd) : 0; pid > 0)
        line += " (process " + std::to_string(pid) + ")";
    line += after;
    write_all(STDERR_FILENO, line);
    return 1;
}

static int spool_taken(const std::string &root, int fd)
{
    std::string after = " is working on ";
    append_shown(after, root);
    after += ", try again when it has finished\n";
    return taken("Another run", after, fd);
}

static int log_taken(int fd)
{
    return taken("Another run", " is writing tierbox.log here\n", fd);
}

// The directory of the lock files, made if missing, and only ever used
// while it is root's and writable by root alone. Returns its descriptor,
// or -1 after saying why not.
static int open_lock_dir()
{
    const int how = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(lock_dir_path, how);
    bool made = fd < 0 && errno == ENOENT && mkdir(lock_dir_path, 0700) == 0;
    if (made || (fd < 0 && errno == EEXIST))
        fd = open(lock_dir_path, how);
    if (fd < 0) {
        lock_refused(lock_dir_path, std::strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        lock_refused(lock_dir_path, "it is not root's alone");
        return -1;
    }
    // 0700 as said, not as the umask may have narrowed it.
    if (made && fchmod(fd, 0700) < 0) {
        close(fd);
        lock_refused(lock_dir_path, std::strerror(errno));
        return -1;
    }
    return fd;
}

enum lock_result { lock_held, lock_busy, lock_failed };

// The lock file of kind ("spool", "log") for the directory open as what,
// named by its device and inode.
static std::string lock_name(const char *kind, const struct stat &st)
{
    return std::string(kind) + "." + std::to_string(major(st.st_dev)) + "." + std::to_string(minor(st.st_dev)) + "." +
           std::to_string(st.st_ino);
}

// Takes the lock file of kind for the directory open as what; fd receives
// the lock file, which stays open, and the lock held, until the process ends.
static lock_result take_lock_file(int dir, const char *kind, int what, int how, int &fd)
{
    struct stat st;
    if (fstat(what, &st) < 0) {
        lock_refused(lock_dir_path, std::strerror(errno));
        return lock_failed;
    }
    std::string name = lock_name(kind, st), path = std::string(lock_dir_path) + "/" + name;
    fd = openat(dir, name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        lock_refused(path, std::strerror(errno));
        return lock_failed;
    }
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) {
        lock_refused(path, "it is not root's alone");
        return lock_failed;
    }
    if (flock(fd, how | LOCK_NB) == 0)
        return lock_held;
    if (errno == EWOULDBLOCK)
        return lock_busy;
    lock_refused(path, std::strerror(errno));
    return lock_failed;
}

static int take_file_locks(const options &opt, int root, int here)
{
    fd_owner dir(open_lock_dir());
    if (dir.fd < 0)
        return 1;
    int fd = -1;
    lock_result r = root < 0 ? lock_held : take_lock_file(dir.fd, "spool", root, opt.doit || opt.stage ? LOCK_EX : LOCK_SH, fd);
    if (r == lock_busy)
        return spool_taken(opt.root, fd);
    if (r == lock_failed)
        return 1;
    r = here < 0 ? lock_held : take_lock_file(dir.fd, "log", here, LOCK_EX, fd);
    if (r == lock_busy)
        return log_taken(fd);
    return r == lock_held ? 0 : 1;
}

static bool same_dir(int a, int b)
{
    struct stat sa, sb;
    return a >= 0 && b >= 0 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A run without root's rights cannot reach root's lock directory, and has
// no rights of root's for a stranger to misuse: it locks the directories
// themselves. Run from the spool's root, the one lock serves both, since
// two locks of one process on one directory would stop each other.
static int take_dir_locks(const options &opt, int root, int here)
{
    bool one = same_dir(root, here);
    int how = opt.doit || opt.stage || one ? LOCK_EX : LOCK_SH;
    if (root >= 0 && flock(root, how | LOCK_NB) < 0 && errno == EWOULDBLOCK)
        return spool_taken(opt.root, root);
    if (!one && here >= 0 && flock(here, LOCK_EX | LOCK_NB) < 0 && errno == EWOULDBLOCK)
        return log_taken(here);
    return 0;
}

int take_run_locks(const options &opt, bool walks)
{
    int root = walks ? lib_openroot(opt.root) : -1;
    int here = log_dir();
    if (geteuid() != 0)
        return take_dir_locks(opt, root, here);
    return take_file_locks(opt, root, here);
}

// A mailbox is locked as every mail program locks it before writing: an
// fcntl lock and an flock lock on the open file, and the dot-lock file
// NAME.lock beside it. A lock that another program holds is never broken
// and never waited on for long.

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

// On NFS, flock is carried out as an fcntl lock: the one is enough.
static bool flock_is_fcntl(int fd)
{
    constexpr long nfs_magic = 0x6969;
    struct statfs sf;
    return fstatfs(fd, &sf) == 0 && sf.f_type == nfs_magic;
}

// What this tool writes in its dot-locks: the process number first, as
// mail programs write it, then a mark and the host, by which a later run
// knows a dot-lock left by a run that was killed.
static std::string dot_text(long pid)
{
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) < 0)
        host[0] = '\0';
    return std::to_string(pid) + " tierbox " + host + "\n";
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
    if (n <= 0)
        return false;
    text[n] = '\0';
    long pid = 0;
    if (std::sscanf(text, "%ld", &pid) != 1 || pid <= 0 || dot_text(pid) != text)
        return false;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
        return false;
    return same_file(dir, dot, st.st_dev, st.st_ino) && unlinkat(dir, dot.c_str(), 0) == 0;
}

// Makes NAME.lock, written whole before it takes that name, so that a kill
// never leaves one that a later run cannot tell for its own. Returns 0,
// EWOULDBLOCK when it exists, or an error.
static int make_dot(int dir, const std::string &name, mail_lock &l)
{
    std::string dot = name + ".lock";
    new_file f;
    int err = new_file_open(dir, dot, 0644, f);
    if (err == 0)
        err = write_all(f.fd.fd, dot_text(getpid()));
    if (err == 0)
        err = new_file_name(dir, dot, f);
    if (err == EEXIST && lib_droplock(dir, dot))
        err = new_file_name(dir, dot, f);
    if (err != 0)
        new_file_drop(dir, f);
    // No program can dot-lock a name too long for it.
    if (err == ENAMETOOLONG)
        return 0;
    if (err != 0)
        return err == EEXIST ? EWOULDBLOCK : err;
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

// The dot-lock first: a program that takes it first and then waits for
// the fcntl lock never gets to wait on ours, and the other two follow at
// once, so that nothing stands waiting on us while we try.
static int try_locks(int dir, const std::string &name, int file, mail_lock &l)
{
    l.dir = dir;
    int err = make_dot(dir, name, l);
    if (err != 0)
        return err;
    l.file = file;
    err = fcntl_lock(file, F_WRLCK);
    if (err == 0 && !flock_is_fcntl(file) && flock(file, LOCK_EX | LOCK_NB) < 0)
        err = errno;
    if (err != 0)
        unlock_mailbox(l);
    return err;
}

int lock_mailbox(int dir, const std::string &name, int file, mail_lock &l)
{
    for (int i = 1;; i++) {
        int err = try_locks(dir, name, file, l);
        if (err != EWOULDBLOCK || i == lock_tries || stop_signal != 0)
            return err;
        struct timespec pause = {0, lock_pause_ns};
        nanosleep(&pause, nullptr);
    }
}

void unlock_mailbox(mail_lock &l)
{
    if (l.file >= 0) {
        flock(l.file, LOCK_UN);
        fcntl_lock(l.file, F_UNLCK);
    }
    l.file = -1;
    if (!l.dot.empty() && same_file(l.dir, l.dot, l.dot_dev, l.dot_ino))
        unlinkat(l.dir, l.dot.c_str(), 0);
    l.dot.clear();
}

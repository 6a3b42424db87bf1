// Programs that open a mailbox late: one that asked for the file while it
// was leased is let in once the source's name has gone, and writes to the
// old file. Once it is done, the copy is brought up to date with the old
// file, or what it holds is kept beside the copy for the administrator.

#include "relocate/copy.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// Keeps what the old file holds beside the copy, under a name the walk
// passes by, for the administrator to merge; reported.
static void keep_aside(int old, const named_copy &c, const std::string &src)
{
    std::string kept = std::string(kept_prefix) + c.name, dir = c.dst.substr(0, c.dst.size() - c.name.size());
    new_file k;
    struct stat st;
    int err = fstat(old, &st) < 0 ? errno : write_whole(old, st, c.to.fd, kept, k);
    std::string name = kept;
    for (int i = 1; err == 0 && (err = new_file_name(c.to.fd, name, k)) == EEXIST && i < 1000; i++)
        name = kept + "." + std::to_string(i);
    if (err == 0)
        err = sync_route(c.to);
    if (err != 0) {
        new_file_drop(c.to.fd, k);
        emsg("Could not keep what was written to %s after it was copied %s\n", src.c_str(), std::strerror(err));
        return;
    }
    emsg("Kept what was written to %s after it was copied as %s, merge it by hand\n", src.c_str(), (dir + name).c_str());
}

// Whether a file still stands as it was: the same file, not written since.
static bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The old file, written to after it was copied, holds all that the copy
// holds and what came since (appended, or rewritten in place, as when a
// deliverer updates its bookkeeping in the first message). While the copy
// is still as it was written and nobody has it open, a copy of the old file
// takes its place, under the copy's own locks. Returns 0 or errno.
static int replace_copy(int old, const struct stat &now, const named_copy &c, const struct stat &written)
{
    fd_owner path(openat(c.to.fd, c.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.fd < 0 || fstat(path.fd, &st) < 0)
        return errno;
    if (!same_state(st, written))
        return EBUSY;
    fd_owner copy(reopen(path.fd, O_RDWR));
    mail_lock l;
    int err = copy.fd < 0 ? errno : lock_mailbox(c.to.fd, c.to.dev, c.name, copy.fd, true, l);
    if (err != 0)
        return err;
    new_file t;
    err = fstat(copy.fd, &st) < 0 ? errno : same_state(st, written) ? 0 : EBUSY;
    if (err == 0)
        err = write_whole(old, now, c.to.fd, c.name, t);
    if (err == 0)
        err = new_file_name(c.to.fd, c.name, t, true);
    if (err != 0)
        new_file_drop(c.to.fd, t);  // still its own: it took no name
    else
        err = sync_route(c.to);
    unlock_mailbox(l);
    return err;
}

// How long the programs let in once the source's name went may keep the
// old file open: ten seconds, looked at every hundredth of one.
enum { settle_tries = 1000 };
constexpr long settle_pause_ns = 10'000'000;

// Waits until no other program has the file open: a write lease is granted
// only then, and is held on return. Returns 0 or EAGAIN.
static int wait_alone(int fd)
{
    for (int i = 0; i < settle_tries; i++) {
        if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
            return 0;
        if (errno != EAGAIN)
            return errno;
        struct timespec pause = {0, settle_pause_ns};
        nanosleep(&pause, nullptr);
    }
    return EAGAIN;
}

// The source's name is gone. A program that asked to open the source while
// it was leased has waited for the lease and, let in now, writes to the old
// file: once it is done, the copy is brought up to date with the old file,
// or what it holds is kept beside the copy when the copy was changed
// meanwhile or the old file is held too long.
void settle(source &s, mail_lock &l, const named_copy &c, const std::string &src, const struct stat &written)
{
    // The kernel is asked: the signal of a break may not have come yet.
    if (lease_whole(l)) {
        unlock_closing(l, s.in);
        return;
    }
    unlock_mailbox(l);
    struct stat now;
    int err = wait_alone(s.in.fd);
    if (err == 0 && fstat(s.in.fd, &now) < 0)
        err = errno;
    bool same = err == 0 && now.st_size == s.st.st_size && now.st_mtim.tv_sec == s.st.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == s.st.st_mtim.tv_nsec;
    if (err == 0 && !same)
        err = replace_copy(s.in.fd, now, c, written);
    if (err == 0 && !same)
        imsg("Added to %s what was written to %s after it was copied\n", c.dst.c_str(), src.c_str());
    if (err != 0)
        keep_aside(s.in.fd, c, src);
    fcntl(s.in.fd, F_SETLEASE, F_UNLCK);
}

// Moves the source's name aside, to one the walk passes by: the old file
// keeps a name until the programs let in late have settled, so that a
// power cut cannot free what they wrote.
int set_source_aside(const spool_dir &from, const std::string &name, const source &s, std::string &old)
{
    old.assign(old_prefix);
    old += name;
    if (renameat2(from.fd, name.c_str(), from.fd, old.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int err = errno;
    old.clear();
    // A file system that cannot take the flag, or a leftover in the way:
    // the name goes at once, as it did before names were set aside.
    if (err != EINVAL && err != EEXIST)
        return err;
    return unlink_same(from.fd, name, s.est.st_dev, s.est.st_ino);
}

// A program that looked the source's name up just before it was set aside
// may not have reached the file yet: it meets the lease only when it opens
// the file, and is seen by the settling only if the lease is still held
// then. Opening takes microseconds; a program the scheduler passes over
// meanwhile may take milliseconds.
constexpr long open_grace_ns = 10'000'000;

static struct timespec grace_end(const struct timespec &since)
{
    struct timespec until = since;
    until.tv_nsec += open_grace_ns;
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec++;
        until.tv_nsec -= 1'000'000'000L;
    }
    return until;
}

bool opens_waited(const struct timespec &since)
{
    struct timespec now, until = grace_end(since);
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec);
}

void wait_opens(const struct timespec &since)
{
    if (opens_waited(since))
        return;
    struct timespec until = grace_end(since);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
        ;
}

int let_source_go(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                  const struct stat &written, const std::string &old, int err)
{
    if (err == 0)
        settle(s, l, c, src, written);
    if (err == 0 && !old.empty()) {
        err = unlink_same(from.fd, old, s.est.st_dev, s.est.st_ino);
        if (err == EBUSY)  // not the source: what stood there goes back
            renameat2(from.fd, old.c_str(), from.fd, c.name.c_str(), RENAME_NOREPLACE);
    }
    unlock_mailbox(l);
    if (err != 0) {
        emsg("Could not remove %s %s\n", src.c_str(), std::strerror(err));
        return 0;
    }
    note_changed(from.fd, from.dev, from.path);
    progress_move();
    return 1;
}

int retire_source(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                  const struct stat &written)
{
    std::string old;
    int err = set_source_aside(from, c.name, s, old);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (err == 0)
        wait_opens(now);
    return let_source_go(from, src, c, s, l, written, old, err);
}

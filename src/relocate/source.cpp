// The source of a move across file systems: found under the trust rule,
// then opened and locked as the very file that was found.

#include "relocate/copy.h"

#include <cerrno>
#include <fcntl.h>

int copy_refuse(const char *fmt, const std::string &path, int *why)
{
    emsg(fmt, path.c_str());
    *why = EXDEV;
    return 0;
}

int copy_failed(const std::string &path, int *why)
{
    *why = errno;
    syserr(path);
    return 0;
}

// Finds the source without following a link unless the trust rule allows
// it, and without opening anything yet.
trust_result find_source(int from, const std::string &name, source &s)
{
    s.entry.fd = openat(from, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (s.entry.fd < 0 || fstat(s.entry.fd, &s.est) < 0)
        return trust_failed;
    s.st = s.est;
    if (!S_ISLNK(s.est.st_mode))
        return trust_ok;
    trust_result r = follow_link(from, s.entry.fd, s.est, false, s.file.fd);
    if (r == trust_ok && fstat(s.file.fd, &s.st) < 0)
        return trust_failed;
    return r;
}

// Opens the source's regular file, the very one found, for reading and
// locking, and takes its locks and lease. A mailbox with other names would
// become two mailboxes: it is not copied.
int lock_source(int from, dev_t dev, const std::string &name, const std::string &src, source &s, mail_lock &l, int *why)
{
    s.in.fd = reopen(s.file.fd >= 0 ? s.file.fd : s.entry.fd, O_RDWR);
    if (s.in.fd < 0 && errno == EWOULDBLOCK)
        return copy_refuse(in_use_msg, src, why);  // another program's lease
    if (s.in.fd < 0)
        return copy_failed(src, why);
    int err = lock_mailbox(from, dev, name, s.in.fd, true, l);
    if (err == EWOULDBLOCK)
        return copy_refuse("Cannot copy %s, it is locked by another program\n", src, why);
    if (err == EBUSY)
        return copy_refuse(in_use_msg, src, why);
    // What the copy must match is the source as it stands under the locks.
    if (err == 0 && fstat(s.in.fd, &s.st) < 0)
        err = errno;
    if (err == 0 && s.st.st_nlink > 1) {
        unlock_mailbox(l);
        return copy_refuse(other_names_msg, src, why);
    }
    if (err != 0) {
        unlock_mailbox(l);
        *why = err;
        return 0;
    }
    return 1;
}

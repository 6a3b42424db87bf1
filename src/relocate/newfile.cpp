// The new files a move makes: a copy, a dot-lock, mail kept aside. Each is
// written whole before it takes its name, never replaces what stands under
// that name, and is taken away only while its name still holds it.

#include "relocate/files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int reopen(int path, int flags)
{
    // Reading a mailbox must not make it look read to its owner's mail
    // reader; only the owner or root may ask for that, though.
    std::string proc = "/proc/self/fd/" + std::to_string(path);
    flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(proc.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open(proc.c_str(), flags);
    return fd;
}

int new_file_open(int dir, const std::string &name, mode_t mode, new_file &f)
{
    f.fd.fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (f.fd.fd >= 0)
        return 0;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    // A leftover of a killed run under the temporary name goes first.
    f.temp.assign(partial_prefix);
    f.temp += name;
    if (unlinkat(dir, f.temp.c_str(), 0) < 0 && errno != ENOENT)
        return errno;
    f.fd.fd = openat(dir, f.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (f.fd.fd < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.name = f.temp;
    return 0;
}

// Gives a file of ours a new name in its directory, never replacing an
// entry: where the file system refuses the flag, a hard link, which never
// replaces either (a failure to unlink then leaves only our temporary name).
static int rename_within(int dir, const std::string &from, const std::string &to)
{
    if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL || linkat(dir, from.c_str(), dir, to.c_str(), 0) < 0)
        return -1;
    unlinkat(dir, from.c_str(), 0);
    return 0;
}

int link_fd(int fd, int dir, const std::string &name)
{
    if (linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    // Without the privilege for an empty path, link through /proc.
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
}

int new_file_name(int dir, const std::string &name, new_file &f, bool replace)
{
    // Linked in from its descriptor, the name holds the very file: nothing
    // to check after.
    if (!replace && f.temp.empty()) {
        if (link_fd(f.fd.fd, dir, name) < 0 || (f.st.st_ino == 0 && fstat(f.fd.fd, &f.st) < 0))
            return errno;
        f.name = name;
        return 0;
    }
    int r = 0;
    if (replace && f.temp.empty()) {
        // Only a name can replace another: the unnamed file takes a
        // temporary one first.
        f.temp.assign(partial_prefix);
        f.temp += name;
        if (unlinkat(dir, f.temp.c_str(), 0) < 0 && errno != ENOENT)
            return errno;
        r = link_fd(f.fd.fd, dir, f.temp);
    }
    if (r == 0)
        r = replace ? renameat(dir, f.temp.c_str(), dir, name.c_str()) : rename_within(dir, f.temp, name);
    if (r < 0 || fstat(f.fd.fd, &f.st) < 0)
        return errno;
    f.temp.clear();
    f.name.clear();
    // Others who write to the directory could have exchanged the file for
    // theirs on its way to the name: only our own file is ever named.
    if (!same_file(dir, name, f.st.st_dev, f.st.st_ino))
        return ESTALE;
    f.name = name;
    return 0;
}

bool same_file(int dir, const std::string &name, dev_t dev, ino_t ino)
{
    struct stat st;
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino;
}

int unlink_same(int dir, const std::string &name, dev_t dev, ino_t ino)
{
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return errno;
    if (st.st_dev != dev || st.st_ino != ino)
        return EBUSY;
    return unlinkat(dir, name.c_str(), 0) < 0 ? errno : 0;
}

int new_file_drop(int dir, const new_file &f)
{
    int err = f.name.empty() ? 0 : unlink_same(dir, f.name, f.st.st_dev, f.st.st_ino);
    return err == EBUSY || err == ENOENT ? 0 : err;  // the name is not ours now
}

#include "relocate/files.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Renames without replacing an existing entry. Returns 0, or -1 with errno
// set (EEXIST when the name is taken in `to`).
static int rename_noreplace(int from, const char *name, int to)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(from, name, to, name, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return -1;
    // EINVAL: the file system may not take the flag; fall back below.
#endif
    struct stat st;
    if (fstatat(to, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(from, name, to, name);
}

// True when both directories hold the very same object under name.
static bool same_object(int from, const char *name, int to)
{
    struct stat sa, sb;
    if (fstatat(from, name, &sa, AT_SYMLINK_NOFOLLOW) < 0 || fstatat(to, name, &sb, AT_SYMLINK_NOFOLLOW) < 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int move_entry(int from, const std::string &name, int to)
{
    if (rename_noreplace(from, name.c_str(), to) == 0)
        return 0;
    int err = errno;
    if (err == EEXIST && same_object(from, name.c_str(), to))
        return 0;
    return err;
}

int do_move(int from, const std::string &name, const std::string &src, int to, const std::string &dst)
{
    int err = move_entry(from, name, to);
    if (err == 0) {
        progress_move();
        return 1;
    }
    if (err == EXDEV) {
        // The record of a copy under way must survive a kill or a power cut.
        report_flush();
        if (lib_copy(from, name, src, to, dst, &err))
            return 1;
    }
    emsg("Rename failed %s\n", std::strerror(err));
    return 1;
}

#include "relocate/relocate.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Renames without replacing an existing destination. Returns 0, or -1
// with errno set (EEXIST when dst exists).
static int rename_noreplace(const std::string &src, const std::string &dst)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return -1;
    // EINVAL: the file system may not take the flag; fall back below.
#endif
    struct stat st;
    if (lstat(dst.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(src.c_str(), dst.c_str());
}

// True when both paths name the same object, links not followed.
static bool same_object(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    if (lstat(a.c_str(), &sa) < 0 || lstat(b.c_str(), &sb) < 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

// A bucket made by root must still be usable by the mail system: give it
// the owner and group of the directory it was made in. The owner is set
// without following a link, should the new bucket have been swapped for
// one meanwhile.
static void own_like_parent(const std::string &dir)
{
    struct stat st;
    if (stat(parent_of(dir).c_str(), &st) < 0 || lchown(dir.c_str(), st.st_uid, st.st_gid) < 0)
        emsg("Cannot set owner of %s %s\n", dir.c_str(), std::strerror(errno));
}

void lib_mkdir(const std::string &path)
{
    if (path.size() < 2)
        return;
    std::string work = path;
    fix_slash(work);
    // The first two bytes are never cut: they hold the leading "/" of an
    // absolute path or the "./" of a relative one.
    for (size_t i = 2; i < work.size(); i++) {
        if (work[i] != '/')
            continue;
        std::string dir = work.substr(0, i);
        // An existing directory is no failure; a real failure shows in the
        // rename that follows.
        if (mkdir(dir.c_str(), 0770) == 0)
            own_like_parent(dir);
    }
}

// After a good copy the source goes; if it cannot, both stay and the
// operator must know.
static void remove_source(const std::string &src)
{
    if (unlink(src.c_str()) < 0) {
        emsg("Could not remove %s %s\n", src.c_str(), std::strerror(errno));
        return;
    }
    progress_move();
}

int move_entry(const std::string &src, const std::string &dst)
{
    int r = rename_noreplace(src, dst);
    if (r < 0 && errno == ENOENT) {
        lib_mkdir(dst);
        r = rename_noreplace(src, dst);
    }
    if (r == 0)
        return 0;
    int err = errno;
    if (err == EEXIST && same_object(src, dst))
        return 0;
    return err;
}

int do_move(const std::string &src, const std::string &dst)
{
    int err = move_entry(src, dst);
    if (err == 0) {
        progress_move();
        return 1;
    }
    if (err == EXDEV && lib_copy(src, dst, &err)) {
        remove_source(src);
        return 1;
    }
    emsg("Rename failed %s\n", std::strerror(err));
    return 1;
}

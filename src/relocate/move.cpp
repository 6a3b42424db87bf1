#include "relocate/copy.h"
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

int move_entry(int from, const std::string &name, int to)
{
    return rename_noreplace(from, name.c_str(), to) == 0 ? 0 : errno;
}

// The directory part of dst without its empty and "." components, as the
// walk names a directory.
static std::string plain_dir(const std::string &dst, size_t name_len)
{
    std::string dir = xpath;
    size_t end = dst.size() - name_len - 1;
    for (size_t at = xpath.size(); at < end;) {
        size_t next = std::min(dst.find('/', at), end);
        std::string_view part = std::string_view(dst).substr(at, next - at);
        if (!part.empty() && part != ".")
            dir.append("/").append(part);
        at = next + 1;
    }
    return dir;
}

void say_failed(bool whole_dir, int err, const std::string &src, const std::string &dst)
{
    if (whole_dir)
        emsg("Rename FAILED %s %s %s\n", std::strerror(err), src.c_str(), dst.c_str());
    else
        emsg("Rename failed %s\n", std::strerror(err));
}

// Dry run: where the destination is taken, what the move would refuse is
// said now, decided as the move decides it.
static void foresee(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
                    const std::string &dst, bool whole_dir)
{
    if (!name_taken(to, name))
        return;
    bool across = from.dev != to.dev;
    if (whole_dir) {
        struct stat st;
        if (fstatat(to.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            say_failed(true, across ? EXDEV : EEXIST, src, dst);
        return;
    }
    int err;
    if (!lib_taken(from, name, src, to, dst, across, 0, &err))
        say_failed(false, err, src, dst);
}

// After a rename, the bucket must still stand where the move was said to
// go: an entry that went into a bucket others had moved away comes back.
static void check_landed(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
                         const std::string &dst)
{
    std::string moved;
    if (route_in_place(to, dst, moved)) {
        progress_move();
        return;
    }
    int back = move_entry(to.fd, name, from.fd);
    if (back == 0)
        emsg("Bucket %s was moved away, %s stays where it was\n", moved.c_str(), src.c_str());
    else
        emsg("Bucket %s was moved away with %s in it %s\n", moved.c_str(), src.c_str(), std::strerror(back));
    route_forget(to);
}

int do_move(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
            const std::string &dst, bool whole_dir, int doit)
{
    // The entry's own directory is the destination's bucket. Named as the
    // walk names it, but for empty and "." components, the entry is in
    // place and a move changes nothing; reached any other way (a link, a
    // bind mount), the destination is the entry itself, which nothing may
    // take for a copy of it.
    if (to.fd >= 0 && from.dev == to.dev && from.ino == to.ino) {
        if (plain_dir(dst, name.size()) == from.path) {
            progress_move();
            return 1;
        }
        emsg("Cannot move %s, %s is the same entry reached another way\n", src.c_str(), dst.c_str());
        return 1;
    }
    if (!doit) {
        foresee(from, name, src, to, dst, whole_dir);
        if (!whole_dir && from.dev != to.dev)
            lib_stage(from, name, src, to, dst);
        progress_move();
        return 1;
    }
    note_changed(from.fd, from.dev, from.path);
    note_changed(to.fd, to.dev, std::string_view(dst).substr(0, dst.size() - name.size() - 1));
    int err = move_entry(from.fd, name, to.fd);
    if (err == 0) {
        check_landed(from, name, src, to, dst);
        return 1;
    }
    if (err == EEXIST && !whole_dir && lib_taken(from, name, src, to, dst, false, 1, &err))
        return 1;
    if (err == EXDEV && !whole_dir && lib_copy(from, name, src, to, dst, &err))
        return 1;
    say_failed(whole_dir, err, src, dst);
    return 1;
}

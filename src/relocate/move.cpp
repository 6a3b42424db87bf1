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

// Dry run: a destination taken, refused as the move would refuse it.
static void foresee_taken(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
                          const std::string &dst, bool whole_dir, bool across)
{
    if (whole_dir) {
        say_failed(true, EEXIST, src, dst);
        return;
    }
    int err;
    if (!lib_taken(from, name, src, to, dst, across, 0, &err))
        say_failed(false, err, src, dst);
}

// Dry run: -doit will have moved the entry `name` of first into the
// destination before it comes to this one. By rename, the destination is
// that entry itself; by a copy, the same data and attributes, so the entry
// stands in for it. A copy is made only of a regular file with one name:
// if the first cannot be copied, this entry is the one that moves.
static void foresee_planned(const spool_dir &from, const std::string &name, const std::string &src,
                            const plan_dir &first, const bucket_route &to, const std::string &dst, bool whole_dir,
                            bool across)
{
    struct stat st;
    if (first.dev != to.dev && (fstatat(first.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0 ||
                                !S_ISREG(st.st_mode) || st.st_nlink > 1)) {
        take_plan(from, name);
        return;
    }
    bucket_route in_first;
    in_first.fd = first.fd;
    in_first.dev = to.dev;
    foresee_taken(from, name, src, in_first, dst, whole_dir, across);
}

// Dry run: what the move would refuse is said now, decided as the move
// decides it: a directory is never copied; a destination may be taken now,
// or by a move of another entry of the name that -doit makes first.
static void foresee(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
                    const std::string &dst, bool whole_dir)
{
    bool across = from.dev != to.dev;
    if (whole_dir && across) {
        say_failed(true, EXDEV, src, dst);
        return;
    }
    struct stat st;
    if (name_taken(to, name) && fstatat(to.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        foresee_taken(from, name, src, to, dst, whole_dir, across);
        return;
    }
    if (const plan_dir *first = meet_plan(from, name))
        foresee_planned(from, name, src, *first, to, dst, whole_dir, across);
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

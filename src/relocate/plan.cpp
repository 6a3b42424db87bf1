// Dry run: the moves planned so far. -doit makes them one after another, so
// a later entry of the same name (all entries of one name go to the same
// destination) finds its destination taken by the first. Two entries of one
// name stand in two directories: while only the directory being walked is
// left, nothing planned can meet another entry of its name, and nothing is
// remembered (a flat spool costs nothing). Otherwise the name's hash goes
// into an open-addressed table with the directory it leaves from, kept
// open, to be looked at only when a later entry of the name comes.

#include "relocate/files.h"

#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

static bool remembering;
static std::vector<uint64_t> slots;  // 0: empty
static std::vector<uint32_t> from_dir;  // beside each slot: its index in dirs
static size_t used;
static std::vector<plan_dir> dirs;  // in the order they were first planned from

void plan_ahead(bool more_dirs)
{
    remembering = more_dirs;
}

bool plans_idle()
{
    return !remembering && used == 0;
}

static uint64_t hash_of(std::string_view name)
{
    uint64_t h = std::hash<std::string_view>{}(name);
    return h == 0 ? 1 : h;
}

// The slot that holds h, or the empty one where it would go.
static size_t slot_of(uint64_t h)
{
    size_t mask = slots.size() - 1;
    size_t at = h & mask;
    while (slots[at] != 0 && slots[at] != h)
        at = (at + 1) & mask;
    return at;
}

static void grow()
{
    std::vector<uint64_t> old(slots.size() < 1024 ? 1024 : slots.size() * 2, 0);
    std::vector<uint32_t> old_dir(old.size());
    old.swap(slots);
    old_dir.swap(from_dir);
    for (size_t i = 0; i < old.size(); i++) {
        if (old[i] == 0)
            continue;
        size_t at = slot_of(old[i]);
        slots[at] = old[i];
        from_dir[at] = old_dir[i];
    }
}

static bool same_dir(const plan_dir &d, const spool_dir &s)
{
    return d.dev == s.dev && d.ino == s.ino;
}

// The index of the directory as one planned from, kept open; -1 when no
// descriptor is left for it, and the move is not remembered. The walk
// comes back to a directory after each bucket below it, so the last one
// is checked first.
static long keep_dir(const spool_dir &from)
{
    for (size_t i = dirs.size(); i-- > 0;)
        if (same_dir(dirs[i], from))
            return static_cast<long>(i);
    int fd = fcntl(from.fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        return -1;
    dirs.push_back({fd, from.dev, from.ino});
    return static_cast<long>(dirs.size() - 1);
}

void plan_move(const spool_dir &from, std::string_view name)
{
    if (!remembering)
        return;
    long dir = keep_dir(from);
    if (dir < 0)
        return;
    if ((used + 1) * 4 > slots.size() * 3)
        grow();
    uint64_t h = hash_of(name);
    size_t at = slot_of(h);
    used += slots[at] == 0;
    slots[at] = h;
    from_dir[at] = static_cast<uint32_t>(dir);
}

const plan_dir *planned_from(const spool_dir &from, std::string_view name)
{
    if (used == 0)
        return nullptr;
    size_t at = slot_of(hash_of(name));
    if (slots[at] == 0)
        return nullptr;
    // The hash is only a hint: the name must stand in that directory.
    const plan_dir &d = dirs[from_dir[at]];
    std::string n(name);
    struct stat st;
    if (same_dir(d, from) || fstatat(d.fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return nullptr;
    return &d;
}

// Dry run: the moves planned so far. -doit makes them one after another, so
// a later entry of the same name (all entries of one name go to the same
// destination) finds its destination taken by the first. Two entries of one
// name stand in two directories: while only the directory being walked is
// left, nothing planned can meet another entry of its name, and nothing is
// remembered (a flat spool costs nothing). Otherwise 40 bits of the name's
// hash go into an open-addressed table, with the index of the directory it
// leaves from in the other 24; the directory is kept open, to be looked at
// only when a later entry of the name comes.

#include "relocate/files.h"

#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

static constexpr uint64_t dir_bits = 24, dir_mask = (uint64_t{1} << dir_bits) - 1;

namespace {

// The slots, mapped whole and asked for huge pages: a million plans then
// cost few page faults and no miss of the address cache per look-up.
struct table {
    uint64_t *slot = nullptr;  // 0: empty
    size_t size = 0;
    int shift = 64;  // a tag's slot is its top bits
    table() = default;
    table(const table &) = delete;
    table &operator=(const table &) = delete;
    ~table()
    {
        if (slot != nullptr)
            munmap(slot, size * sizeof *slot);
    }
};

}  // namespace

static bool remembering;
static table slots;
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

// The name's part of a slot: never 0, never in the directory's bits.
static uint64_t tag_of(std::string_view name)
{
    uint64_t t = std::hash<std::string_view>{}(name) & ~dir_mask;
    return t == 0 ? ~dir_mask : t;
}

// The slot that holds the tag, or the empty one where it would go.
static size_t slot_of(const table &t, uint64_t tag)
{
    size_t mask = t.size - 1;
    size_t at = tag >> t.shift;
    while (t.slot[at] != 0 && (t.slot[at] & ~dir_mask) != tag)
        at = (at + 1) & mask;
    return at;
}

// Doubles the table. By the top bits, slot i goes to 2i or after it: the
// old slots are read and the new ones written in order. False when no
// memory is left, and nothing more is remembered.
static bool grow()
{
    table bigger;
    bigger.size = slots.size == 0 ? 1 << 16 : slots.size * 2;
    bigger.shift = 64 - __builtin_ctzll(bigger.size);
    void *p = mmap(nullptr, bigger.size * sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    madvise(p, bigger.size * sizeof(uint64_t), MADV_HUGEPAGE);  // a hint: without it, small pages
    bigger.slot = static_cast<uint64_t *>(p);
    for (size_t i = 0; i < slots.size; i++)
        if (uint64_t s = slots.slot[i]; s != 0)
            bigger.slot[slot_of(bigger, s & ~dir_mask)] = s;
    std::swap(slots.slot, bigger.slot);
    std::swap(slots.size, bigger.size);
    std::swap(slots.shift, bigger.shift);
    return true;
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
    int fd = dirs.size() < dir_mask ? fcntl(from.fd, F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0)
        return -1;
    dirs.push_back({fd, from.dev, from.ino});
    return static_cast<long>(dirs.size() - 1);
}

// Records the move in the slot at (which holds the tag, or is empty).
static void record(size_t at, uint64_t tag, const spool_dir &from)
{
    long dir = remembering ? keep_dir(from) : -1;
    if (dir < 0)
        return;
    used += slots.slot[at] == 0;
    slots.slot[at] = tag | static_cast<uint64_t>(dir);
}

// The entry the walk hands over next, whose slot is being fetched, and the
// one before it, now being handled.
static std::string ahead_name[2];
static uint64_t ahead_tag[2];

void plan_prefetch(std::string_view name)
{
    if (plans_idle() || slots.size == 0)
        return;
    ahead_name[0].swap(ahead_name[1]);
    ahead_tag[0] = ahead_tag[1];
    ahead_name[1].assign(name);
    ahead_tag[1] = tag_of(name);
    __builtin_prefetch(&slots.slot[ahead_tag[1] >> slots.shift]);
}

const plan_dir *meet_plan(const spool_dir &from, std::string_view name)
{
    if (plans_idle())
        return nullptr;
    if ((used + 1) * 2 > slots.size && !grow())
        remembering = false;
    if (slots.size == 0)
        return nullptr;
    uint64_t tag = name == ahead_name[0] ? ahead_tag[0] : tag_of(name);
    size_t at = slot_of(slots, tag);
    if (slots.slot[at] != 0) {
        // The hash is only a hint: the name must stand in that directory.
        const plan_dir &d = dirs[slots.slot[at] & dir_mask];
        std::string n(name);
        struct stat st;
        if (!same_dir(d, from) && fstatat(d.fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return &d;
    }
    record(at, tag, from);
    return nullptr;
}

void take_plan(const spool_dir &from, std::string_view name)
{
    if (slots.size == 0)
        return;
    uint64_t tag = tag_of(name);
    record(slot_of(slots, tag), tag, from);
}

#include "walk/walk.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr size_t first_block = 1 << 16;
static constexpr size_t huge_block = 1 << 21;  // a huge page
static constexpr size_t record_extra = 3;      // two length bytes and the flag

// Huge blocks are mapped whole and asked for huge pages: a million names
// then cost a few page faults instead of thousands.
static char *block_alloc(size_t size)
{
    if (size < huge_block)
        return static_cast<char *>(std::malloc(size));
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    madvise(p, size, MADV_HUGEPAGE);  // a hint: without it, small pages
    return static_cast<char *>(p);
}

listing::~listing()
{
    for (listing_block &b : blocks) {
        if (b.size < huge_block)
            std::free(b.data);
        else
            munmap(b.data, b.size);
    }
}

static bool add_block(listing &l, size_t need)
{
    size_t size = l.blocks.empty() ? first_block : std::min(l.blocks.back().size * 2, huge_block);
    while (size < need)
        size *= 2;
    char *data = block_alloc(size);
    if (data == nullptr)
        return false;
    l.blocks.push_back({data, size, 0});
    return true;
}

bool word_add(listing &l, std::string_view name, int is_dir)
{
    size_t need = name.size() + record_extra;
    if ((l.blocks.empty() || l.blocks.back().size - l.blocks.back().used < need) && !add_block(l, need))
        return false;
    listing_block &b = l.blocks.back();
    char *p = b.data + b.used;
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    p[0] = static_cast<char>(name.size() & 0xFF);
    p[1] = static_cast<char>(name.size() >> 8);
    p[2] = static_cast<char>(is_dir);
    b.used += need;
    l.dirs += is_dir != 0;
    return true;
}

listing_pos word_last(const listing &l)
{
    return {l.blocks.size(), 0};
}

bool word_prev(const listing &l, listing_pos &pos, std::string_view &name, int &is_dir)
{
    while (pos.end == 0) {
        if (pos.block == 0)
            return false;
        pos.block--;
        pos.end = l.blocks[pos.block].used;
    }
    const unsigned char *b = reinterpret_cast<const unsigned char *>(l.blocks[pos.block].data);
    size_t len = b[pos.end - 3] | static_cast<size_t>(b[pos.end - 2]) << 8;
    is_dir = b[pos.end - 1];
    pos.end -= len + record_extra;
    name = {reinterpret_cast<const char *>(b) + pos.end, len};
    return true;
}

// The directory entry already tells the type of most entries; only a link,
// or a file system that does not say, needs a status query, which follows
// the link.
static int is_directory(int fd, const struct dirent64 *e)
{
    if (e->d_type == DT_DIR)
        return 1;
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
        return 0;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, 0) < 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

static bool is_dot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Adds the entries of one buffer of the directory. Returns false when no
// memory is left.
static bool add_entries(listing &l, int fd, const char *buf, size_t n)
{
    for (size_t at = 0; at < n;) {
        const struct dirent64 *e = reinterpret_cast<const struct dirent64 *>(buf + at);
        at += e->d_reclen;
        if (!is_dot(e->d_name) && !word_add(l, e->d_name, is_directory(fd, e)))
            return false;
    }
    return true;
}

listing dir_scan(int fd, const std::string &dir)
{
    // Large reads: a flat spool of millions of entries takes few of them.
    static char buf[1 << 20];
    listing l;
    for (;;) {
        ssize_t n = getdents64(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            emsg("Unable to read dir (%s) %s\n", dir.c_str(), std::strerror(errno));
            return l;
        }
        if (n == 0)
            return l;
        if (!add_entries(l, fd, buf, static_cast<size_t>(n))) {
            emsg("Unable to read dir (%s) %s\n", dir.c_str(), std::strerror(ENOMEM));
            return l;
        }
    }
}

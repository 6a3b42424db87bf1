#include "walk/walk.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr size_t block_size = 1 << 18;
static constexpr size_t record_extra = 3;  // two length bytes and the flag

void word_add(listing &l, std::string_view name, int is_dir)
{
    size_t need = name.size() + record_extra;
    if (l.blocks.empty() || block_size - l.used.back() < need) {
        l.blocks.push_back(std::make_unique_for_overwrite<char[]>(block_size));
        l.used.push_back(0);
    }
    char *p = l.blocks.back().get() + l.used.back();
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    p[0] = static_cast<char>(name.size() & 0xFF);
    p[1] = static_cast<char>(name.size() >> 8);
    p[2] = static_cast<char>(is_dir);
    l.used.back() += need;
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
        pos.end = l.used[pos.block];
    }
    const unsigned char *b = reinterpret_cast<const unsigned char *>(l.blocks[pos.block].get());
    size_t len = b[pos.end - 3] | static_cast<size_t>(b[pos.end - 2]) << 8;
    is_dir = b[pos.end - 1];
    pos.end -= len + record_extra;
    name = {reinterpret_cast<const char *>(b) + pos.end, len};
    return true;
}

// readdir already tells the type of most entries; only a link, or a file
// system that does not say, needs a status query, which follows the link.
static int is_directory(DIR *d, const struct dirent *e)
{
    if (e->d_type == DT_DIR)
        return 1;
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
        return 0;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, 0) < 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

static bool is_dot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

listing dir_scan(int fd, const std::string &dir)
{
    listing l;
    int own = dup(fd);
    DIR *d = own < 0 ? nullptr : fdopendir(own);
    if (d == nullptr) {
        emsg("Unable to read dir (%s) %s\n", dir.c_str(), std::strerror(errno));
        if (own >= 0)
            close(own);
        return l;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> owner(d, closedir);
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (e == nullptr) {
            if (errno != 0)
                emsg("Unable to read dir (%s) %s\n", dir.c_str(), std::strerror(errno));
            break;
        }
        if (is_dot(e->d_name))
            continue;
        word_add(l, e->d_name, is_directory(d, e));
    }
    return l;
}

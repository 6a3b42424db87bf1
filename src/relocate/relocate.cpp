#include "relocate/files.h"
#include "layout/layout.h"
#include "run/run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

std::string_view entry_key(std::string_view name, int sep)
{
    if (sep <= 0)
        return name;
    size_t at = name.find(static_cast<char>(sep));
    if (at == std::string_view::npos)
        return name;
    return name.substr(at + 1);
}

void fix_slash(std::string &path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
}

std::string path_of(const spool_dir &dir, std::string_view name)
{
    std::string path = dir.path;
    path += '/';
    path += name;
    return path;
}

spool_dir make_spool_dir(int fd, std::string path)
{
    spool_dir d;
    d.fd = fd;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        d.dev = st.st_dev;
        d.ino = st.st_ino;
    }
    d.backslash = path.find('\\') != std::string::npos;
    append_shown(d.shown, path);
    d.path = std::move(path);
    return d;
}

namespace {

// What a name holds that changes how it is handled, found in one pass.
struct name_bytes {
    bool backslash = false;
    bool control = false;  // a byte that may be shown escaped
};

}  // namespace

// What each byte of a name is: a backslash (1), a byte that may be shown
// escaped (2), or neither (0). A table look-up a byte is cheapest for short
// names.
static constexpr auto byte_kinds = [] {
    std::array<unsigned char, 256> k{};
    for (int c = 0; c < 256; c++)
        k[c] = c == '\\' ? 1 : maybe_escaped(static_cast<char>(c)) ? 2 : 0;
    return k;
}();

static name_bytes scan(std::string_view name)
{
    unsigned kinds = 0;
    for (char c : name)
        kinds |= byte_kinds[static_cast<unsigned char>(c)];
    return {(kinds & 1) != 0, (kinds & 2) != 0};
}

namespace {

// Where an entry goes: the path, and where its last '/' stands.
struct place {
    const std::string *path;
    size_t dir_len;
};

}  // namespace

// Where the entry `name` of dir belongs, built from the root in a buffer
// that the next call overwrites. Its path is nullptr when there is nothing
// to do: the entry is in place, or its present path holds a '\', which
// turned into '/' would name another object, so the entry is left alone
// (and that is said).
static place destination_of(std::string_view name, name_bytes nb, const spool_dir &dir, int layout, int sep)
{
    if (dir.backslash || nb.backslash) {
        emsg("Skipping %s, its path holds a backslash\n", path_of(dir, name).c_str());
        return {nullptr, 0};
    }
    const std::string *dst = &drop_file(entry_key(name, sep), name, layout, xpath);
    size_t dir_len = dst->size() - name.size() - 1;
    // Root and name hold no '\' by now: only a bucket byte can.
    bool backslash = false;
    for (size_t i = xpath.size(); i < dir_len; i++)
        backslash |= (*dst)[i] == '\\';
    if (backslash) {
        static std::string fixed;
        fixed.assign(*dst);
        fix_slash(fixed);
        dst = &fixed;
    }
    // Both paths end in "/" and the name: in place when the rest is the same.
    if (dir_len == dir.path.size() && std::memcmp(dst->data(), dir.path.data(), dir_len) == 0)
        return {nullptr, 0};
    return {dst, dir_len};
}

// "Move %s --> %s\n", put together in place: a line for each of millions.
static void say_move(std::string_view name, name_bytes nb, const spool_dir &dir, const std::string &dst)
{
    if (!nb.control && dir.shown.size() == dir.path.size()) {
        imsg_move(dir.shown, name, dst);
        return;
    }
    static std::string shown_name, shown_dst;
    shown_name.clear();
    append_shown(shown_name, name);
    shown_dst.clear();
    append_shown(shown_dst, dst);
    imsg_move(dir.shown, shown_name, shown_dst);
}

// The bucket the entry goes into, after its Move line: a bucket refused by
// the trust rule is said, and the entry stays where it is; so does one that
// -doit cannot reach, said as the failure of the move. Returns false when
// the entry is to stay.
static bool destination(place p, bool whole_dir, const spool_dir &dir, std::string_view name, int doit,
                        bucket_route &to)
{
    std::string bad;
    const char *why = untrusted_msg;
    trust_result r = reach_bucket(*p.path, p.dir_len, doit, to, bad, why);
    if (r == trust_refused) {
        emsg(why, bad.c_str());
        return false;
    }
    if (r == trust_ok)
        return true;
    if (doit)
        say_failed(whole_dir, errno, path_of(dir, name), *p.path);
    return false;
}

// Relocates the entry `name` of dir: a file, or a bin directory moved whole.
static int relocate(std::string_view name, const spool_dir &dir, int layout, int sep, int doit, bool whole_dir)
{
    name_bytes nb = scan(name);
    place p = destination_of(name, nb, dir, layout, sep);
    if (p.path == nullptr)
        return 1;
    const std::string &dst = *p.path;
    say_move(name, nb, dir, dst);
    bucket_route to;
    if (!destination(p, whole_dir, dir, name, doit, to))
        return 1;
    // A dry run of a file into a bucket yet to be made has nothing more to
    // look at, unless another entry of its name may come.
    if (!doit && to.fd < 0 && !whole_dir && plans_idle()) {
        progress_move();
        return 1;
    }
    do_move(dir, std::string(name), path_of(dir, name), to, dst, whole_dir, doit);
    return 1;
}

int do_one(std::string_view name, const spool_dir &dir, int layout, int sep, int doit)
{
    return relocate(name, dir, layout, sep, doit, false);
}

int do_bindir(std::string_view name, const spool_dir &dir, int layout, int sep, int doit)
{
    imsg("Processing Bin Directory %.*s\n", static_cast<int>(name.size()), name.data());
    return relocate(name, dir, layout, sep, doit, true);
}

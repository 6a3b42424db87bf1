#include "relocate/files.h"
#include "layout/layout.h"
#include "run/run.h"

#include <algorithm>
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

// Builds the present path and the destination. Returns false, after
// saying so, when the present path holds a '\': turned into '/' it would
// name another object, so the entry is left alone.
static bool place(std::string_view name, const std::string &dir, int layout, int sep, std::string &src, std::string &dst)
{
    src.assign(dir);
    src += '/';
    src += name;
    if (src.find('\\') != std::string::npos) {
        emsg("Skipping %s, its path holds a backslash\n", src.c_str());
        return false;
    }
    dst.assign(drop_file(entry_key(name, sep), name, layout, xpath));
    fix_slash(dst);
    return true;
}

// The bucket dst goes into, after its Move line: a bucket refused by the
// trust rule is said, and the entry stays where it is. Returns false when
// the entry is to stay; with doit, `to` is then -1 or holds errno in err.
static bool destination(const std::string &dst, int doit, int &to, int &err)
{
    std::string bad;
    err = 0;
    trust_result r = reach_bucket(dst, doit, to, bad);
    if (r == trust_refused) {
        emsg(untrusted_msg, bad.c_str());
        return false;
    }
    if (r == trust_failed) {
        err = errno;
        to = -1;
    }
    return true;
}

int do_one(std::string_view name, int at, const std::string &dir, int layout, int sep, int doit)
{
    // Reused across calls: a spool of millions of entries passes here.
    static std::string src, dst, entry;
    if (!place(name, dir, layout, sep, src, dst))
        return 1;
    if (src == dst)
        return 1;
    imsg("Move %s --> %s\n", src.c_str(), dst.c_str());
    int to, err;
    if (!destination(dst, doit, to, err))
        return 1;
    if (!doit) {
        progress_move();
        return 1;
    }
    if (err != 0) {
        emsg("Rename failed %s\n", std::strerror(err));
        return 1;
    }
    entry.assign(name);
    do_move(at, entry, src, to, dst);
    return 1;
}

int do_bindir(std::string_view name, int at, const std::string &dir, int layout, int sep, int doit)
{
    std::string src, dst;
    imsg("Processing Bin Directory %.*s\n", static_cast<int>(name.size()), name.data());
    if (!place(name, dir, layout, sep, src, dst))
        return 1;
    if (src == dst)
        return 1;
    imsg("Move %s --> %s\n", src.c_str(), dst.c_str());
    int to, err;
    if (!destination(dst, doit, to, err))
        return 1;
    if (!doit) {
        progress_move();
        return 1;
    }
    if (err == 0)
        err = move_entry(at, std::string(name), to);
    if (err != 0)
        emsg("Rename FAILED %s %s %s\n", std::strerror(err), src.c_str(), dst.c_str());
    else
        progress_move();
    return 1;
}

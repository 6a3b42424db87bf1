#include "walk/walk.h"
#include "relocate/relocate.h"
#include "run/run.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// Directories being walked: the root is the first level, and buckets go at
// most two levels below it.
static int depth;

static bool is_bin_name(std::string_view name)
{
    return name.find(".bin") != std::string_view::npos || name.find(".BIN") != std::string_view::npos;
}

namespace {

// The run's settings, as every level of the walk passes them on.
struct settings {
    int layout, sep, doit, prune;
};

}  // namespace

static void walk_dir(int fd, std::string dir, const settings &s);

// Enters the bucket `name` of the open directory `at`, if it is no deeper
// than a bucket can be and the trust rule allows it; with -prune, removes
// it if the walk left it empty.
static void enter_bucket(const spool_dir &at, std::string_view name, const settings &s)
{
    std::string sub = path_of(at, name);
    if (depth > 2) {
        imsg("%s Too deep, can't be email hashing\n", sub.c_str());
        return;
    }
    dir_open d;
    trust_result r = lib_opendir(at.fd, std::string(name), d);
    if (r == trust_refused) {
        emsg(refused_msg(), sub.c_str());
        return;
    }
    int err = errno;
    fd_owner owner(d.fd);
    depth++;
    imsg("Processing Directory %s\n", sub.c_str());
    if (r == trust_ok)
        walk_dir(d.fd, sub, s);
    else
        emsg("Unable to open dir (%s) %s\n", sub.c_str(), std::strerror(err));
    depth--;
    if (r == trust_ok && s.doit && s.prune && stop_signal == 0)
        lib_prune(at, name, d);
}

// Entries the walk passes by at every level: its own log, and what it makes
// under names of its own (copies being written, mail kept aside), which no
// mailbox can be.
static bool is_own(std::string_view name)
{
    return name == "tierbox.log" || name.starts_with(own_prefix);
}

// A lock file is another program's lock, or a stale one: moving it would
// break the lock, or part it from its mailbox. One that a killed run of
// ours left goes, with -doit.
static void pass_lock(const spool_dir &at, std::string_view name, int doit)
{
    if (doit && lib_droplock(at.fd, std::string(name)))
        return;
    imsg("Skipping lock file %s\n", path_of(at, name).c_str());
}

// A lock file of ours, or one that a killed run was still writing under
// its temporary name.
static bool own_lock(std::string_view name)
{
    if (name.starts_with(partial_prefix))
        name.remove_prefix(partial_prefix.size());
    return name.starts_with(lock_prefix);
}

// What a run cut short left of its own: an old file set aside goes back to
// its name and on; a lock file of ours, with -doit, goes.
static void pass_own(const spool_dir &at, std::string_view name, int is_dir, const settings &s)
{
    if (is_dir)
        return;
    if (name.starts_with(old_prefix))
        do_leftover(name, at, s.layout, s.sep, s.doit);
    else if (name.starts_with(staged_prefix))
        lib_staged_seen(at, name);
    else if (s.doit && own_lock(name))
        lib_droplock(at.fd, std::string(name));
}

static void do_entry(const spool_dir &at, std::string_view name, int is_dir, const settings &s)
{
    if (is_own(name)) {
        pass_own(at, name, is_dir, s);
        return;
    }
    if (!is_dir && name.ends_with(".lock")) {
        pass_lock(at, name, s.doit);
        return;
    }
    if (!is_dir) {
        do_one(name, at, s.layout, s.sep, s.doit);
        return;
    }
    if (name.size() == 1) {
        enter_bucket(at, name, s);
        return;
    }
    if (is_bin_name(name)) {
        do_bindir(name, at, s.layout, s.sep, s.doit);
        return;
    }
    imsg("Skipping long directory name %.*s\n", static_cast<int>(name.size()), name.data());
}

static void walk_dir(int fd, std::string dir, const settings &s)
{
    progress_dir();
    // Read whole first: entries moved in by this pass are not seen again.
    listing l = dir_scan(fd, dir);
    spool_dir at = make_spool_dir(fd, std::move(dir));
    listing_pos pos = word_last(l);
    std::string_view name, next;
    int is_dir, next_dir;
    // Below the root, the walk goes on in the directory above; in the root,
    // only while a directory of it is still to be entered.
    size_t dirs_left = l.dirs;
    plan_ahead(depth > 1 || dirs_left > 0);
    // A stop request ends the walk between entries, never within a move.
    bool more = word_prev(l, pos, name, is_dir);
    while (stop_signal == 0 && more) {
        progress_entry();
        bool ahead = word_prev(l, pos, next, next_dir);
        if (ahead)
            plan_prefetch(next);
        do_entry(at, name, is_dir, s);
        if (is_dir)
            plan_ahead(depth > 1 || --dirs_left > 0);
        name = next;
        is_dir = next_dir;
        more = ahead;
    }
}

int do_convert(const std::string &dir, int layout, int sep, int doit, int prune)
{
    depth++;
    imsg("Processing Directory %s\n", dir.c_str());
    int fd = lib_openroot(dir);
    if (fd < 0)
        emsg("Unable to open dir (%s) %s\n", dir.c_str(), std::strerror(errno));
    else
        walk_dir(fd, dir, settings{layout, sep, doit, prune});
    lib_flushcopies();
    lib_endstage(doit);
    depth--;
    return 1;
}

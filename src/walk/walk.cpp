#include "walk/walk.h"
#include "relocate/relocate.h"
#include "run/run.h"

// do_convert calls in progress: the root is the first level, and buckets
// go at most two levels below it.
static int depth;

static bool is_bin_name(std::string_view name)
{
    return name.find(".bin") != std::string_view::npos || name.find(".BIN") != std::string_view::npos;
}

static void do_entry(std::string_view name, int is_dir, const std::string &dir, int layout, int sep, int doit)
{
    if (name == "tierbox.log")
        return;
    if (!is_dir) {
        do_one(name, dir, layout, sep, doit);
        return;
    }
    if (name.size() == 1) {
        std::string sub = dir;
        sub += '/';
        sub += name;
        do_convert(sub, layout, sep, doit);
        return;
    }
    if (is_bin_name(name)) {
        do_bindir(name, dir, layout, sep, doit);
        return;
    }
    imsg("Skipping long directory name %.*s\n", static_cast<int>(name.size()), name.data());
}

int do_convert(const std::string &dir, int layout, int sep, int doit)
{
    if (depth > 2) {
        imsg("%s Too deep, can't be email hashing\n", dir.c_str());
        return 0;
    }
    depth++;
    imsg("Processing Directory %s\n", dir.c_str());
    progress_dir();

    // Read whole first: entries moved in by this pass are not seen again.
    listing l = dir_scan(dir);
    listing_pos pos = word_last(l);
    std::string_view name;
    int is_dir;
    // A stop request ends the walk between entries, never within a move.
    while (stop_signal == 0 && word_prev(l, pos, name, is_dir)) {
        progress_entry();
        do_entry(name, is_dir, dir, layout, sep, doit);
    }

    depth--;
    return 1;
}

// Spool walk: lists directories and walks the tree from the conversion root.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The entries of one directory, read whole before any is handled. A flat
// spool holds millions of entries, so names are packed into large blocks
// (name bytes, two length bytes, a directory flag byte) instead of taking
// a node and a heap string each.
struct listing {
    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<size_t> used;  // bytes filled in each block
};

// Where a backward pass over a listing stands.
struct listing_pos {
    size_t block;
    size_t end;
};

// Adds an entry after those already there.
void word_add(listing &l, std::string_view name, int is_dir);

// The position after the last entry added.
listing_pos word_last(const listing &l);

// Steps back to the entry before pos. Returns false when none is left.
bool word_prev(const listing &l, listing_pos &pos, std::string_view &name, int &is_dir);

// Lists dir: every entry but "." and "..", in the order the system yields
// them, with its directory flag (links followed; an entry whose status
// cannot be read is not a directory). An unreadable directory gives an
// empty listing.
listing dir_scan(const std::string &dir);

// Walks one directory and the one-character bucket directories below it,
// handing every mailbox and bin directory to relocation. Returns 1, or 0
// when dir lies too deep to be a bucket.
int do_convert(const std::string &dir, int layout, int sep, int doit);

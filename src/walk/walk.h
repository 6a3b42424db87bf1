// Spool walk: lists directories and walks the tree from the conversion root.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The entries of one directory, read whole before any is handled. A flat
// spool holds millions of entries, so names are packed into blocks (name
// bytes, two length bytes, a directory flag byte) instead of taking a node
// and a heap string each. Blocks grow from small, for the many buckets of
// a few entries, to huge pages, for the flat directory of millions.
struct listing_block {
    char *data = nullptr;
    size_t size = 0;
    size_t used = 0;
};

struct listing {
    std::vector<listing_block> blocks;
    size_t dirs = 0;  // entries that are directories
    listing() = default;
    listing(listing &&other) noexcept : blocks(std::move(other.blocks)), dirs(other.dirs) {}
    listing(const listing &) = delete;
    listing &operator=(const listing &) = delete;
    listing &operator=(listing &&) = delete;
    ~listing();
};

// Where a backward pass over a listing stands.
struct listing_pos {
    size_t block;
    size_t end;
};

// Adds an entry after those already there. Returns false when no memory
// is left for it.
bool word_add(listing &l, std::string_view name, int is_dir);

// The position after the last entry added.
listing_pos word_last(const listing &l);

// Steps back to the entry before pos. Returns false when none is left.
bool word_prev(const listing &l, listing_pos &pos, std::string_view &name, int &is_dir);

// Lists the open directory fd, whose path is dir: every entry but "." and
// "..", in the order the system yields them, with its directory flag
// (links followed for the type alone; an entry whose status cannot be read
// is not a directory).
listing dir_scan(int fd, const std::string &dir);

// Walks the spool from its root, dir, and the one-character bucket
// directories below it, handing every mailbox and bin directory to
// relocation. With doit and prune, a bucket that the walk leaves empty is
// removed. Returns 1.
int do_convert(const std::string &dir, int layout, int sep, int doit, int prune);

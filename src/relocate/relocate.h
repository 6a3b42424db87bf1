// Relocation: puts each entry the walk finds in its place under the layout.
#pragma once

#include <string>
#include <string_view>

// The part of a name that placement hashes: the text after the first
// separator byte when one is in force (sep > 0) and present, else the name.
std::string_view entry_key(std::string_view name, int sep);

// Turns every '\' into '/', in place.
void fix_slash(std::string &path);

// Relocates the entry `name` of `dir` (a mailbox, or anything that is not
// a directory). Returns 1.
int do_one(std::string_view name, const std::string &dir, int layout, int sep, int doit);

// Relocates the bin directory `name` of `dir`, whole and by rename only.
// Returns 1.
int do_bindir(std::string_view name, const std::string &dir, int layout, int sep, int doit);

// Moves a file to dst, creating missing buckets and copying across file
// systems; never replaces an existing dst. Returns 1; failures are reported.
int do_move(const std::string &src, const std::string &dst);

// Creates every missing ancestor directory of path from its third byte on,
// each owned like the directory it is made in.
void lib_mkdir(const std::string &path);

// Copies src to a new file dst with its content, owner, group, mode and
// times, flushed to stable storage; dst is never left half-written. Returns
// 1 on success; else 0 with *why holding the error to report for the move.
int lib_copy(const std::string &src, const std::string &dst, int *why);

// Renames src to dst, making missing buckets, never replacing an existing
// dst. Returns 0 when src is in place (also when dst already names the very
// same object), else the error number of the last rename.
int move_entry(const std::string &src, const std::string &dst);

// The directory a path names an entry of: "." for a bare name.
std::string parent_of(const std::string &path);

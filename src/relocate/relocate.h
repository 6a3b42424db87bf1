// Relocation: puts each entry the walk finds in its place under the layout.
//
// The spool may be writable by others, who can rename, swap or link its
// entries at any moment. So nothing here names an object by a path that the
// kernel would look up again: every action is taken relative to a directory
// descriptor opened along a checked route, and only directories and links of
// a trusted owner (root, or the owner of the spool's root) are entered, moved
// into or copied through.
//
// Which file does which step:
//   relocate.cpp  where an entry belongs, and its Move line
//   bucket.cpp    the destination buckets, kept open and watched; flushes
//   trust.cpp     the conversion root, and the trust rule for routes
//   move.cpp      a move by rename, and what a dry run foresees
//   copy.cpp      a move across file systems, a batch at a time: the
//                 copy written unnamed, the batch flushed and named, the
//                 sources set aside and gone
//   source.cpp    the source of such a move, found and locked
//   newfile.cpp   new files: unnamed or partial, named only if still ours
//   data.cpp      the data and attributes a copy carries
//   settle.cpp    a source's name set aside, programs let in late, and
//                 the old name gone
//   taken.cpp     a destination found taken; what a killed run left
//   stage.cpp     copies staged ahead of -doit, and their records
//   lock.cpp      the mail programs' locks and our lease
#pragma once

#include <string>
#include <string_view>
#include <sys/stat.h>

// The part of a name that placement hashes: the text after the first
// separator byte when one is in force (sep > 0) and present, else the name.
std::string_view entry_key(std::string_view name, int sep);

// Turns every '\' into '/', in place.
void fix_slash(std::string &path);

// Opens the conversion root, links followed: the operator named it. Its
// owner becomes a trusted owner, with root. It is opened once for the run:
// a later call returns the same descriptor, or -1 with the same errno.
int lib_openroot(const std::string &path);

enum trust_result { trust_ok, trust_refused, trust_failed };

// A directory opened under the trust rule, with its status and the device
// and inode of the entry that names it in its parent: the directory itself,
// or the link to it.
struct dir_open {
    int fd = -1;
    struct stat st;
    dev_t entry_dev = 0;
    ino_t entry_ino = 0;
};

// Opens the directory `name` of the open directory `at` when it is a real
// directory of a trusted owner, or a trusted owner's link whose whole route
// is trusted (see follow_link); trust_refused otherwise. On trust_failed
// errno tells why.
trust_result lib_opendir(int at, const std::string &name, dir_open &d);

// The texts that report a directory or link refused by the trust rule: one
// of someone else's on the way, or a way that the spool's owner (not root)
// could steer to a directory neither theirs nor within the spool.
constexpr const char *untrusted_msg = "Skipping %s, owned by neither root nor the spool's owner\n";
constexpr const char *beyond_msg = "Skipping %s, it leads out of the spool to a directory the spool's owner does not own\n";

// Which of those texts tells why lib_opendir or follow_link last refused.
const char *refused_msg();

// Removes the dot-lock `name` of the open directory `at` if a run of this
// tool left it (its own mark, this host, and an earlier boot or a process
// that is gone). Returns true when it did. Any other program's lock stays.
bool lib_droplock(int at, const std::string &name);

// Names of the tool's own making, which no mailbox has: the walk passes by
// every entry that starts so, at every level.
constexpr std::string_view own_prefix = ".tierbox-";
// A copy to another file system that cannot be written unnamed is written
// under this prefix and the mailbox's name until it is complete.
constexpr std::string_view partial_prefix = ".tierbox-partial.";
// Each dot-lock of a run is a hard link to one file of the run's on each
// file system, named so with the run's process number.
constexpr std::string_view lock_prefix = ".tierbox-lock.";
// The old file of a mailbox just copied keeps this name and the mailbox's
// until the programs let in late have settled, so that a power cut cannot
// free what they wrote.
constexpr std::string_view old_prefix = ".tierbox-old.";
// A copy staged ahead of -doit, in the bucket the mailbox goes into.
constexpr std::string_view staged_prefix = ".tierbox-staged.";
// Mail written to a mailbox after it was copied, when it could not be
// added to the copy, is kept beside the copy under this prefix.
constexpr std::string_view kept_prefix = ".tierbox-kept.";

// A directory of the spool, open, as the walk hands over its entries.
struct spool_dir {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;   // as built on the way down from the root
    std::string shown;  // the path as reports show it
    bool backslash = false;  // the path holds a '\'
};

// What relocation needs of the open directory fd whose path is path.
spool_dir make_spool_dir(int fd, std::string path);

// The present path of the entry `name` of dir, as reports name it.
std::string path_of(const spool_dir &dir, std::string_view name);

// Dry run: whether directories other than the one being walked may still
// be walked after the next entry, so that a move planned now can meet
// another entry of its name.
void plan_ahead(bool more_dirs);

// Dry run: the entry `name` comes next; what a planned move of it would be
// found by is fetched meanwhile. A hint only.
void plan_prefetch(std::string_view name);

// Relocates the entry `name` of dir (a mailbox, or anything that is not a
// directory). Returns 1.
int do_one(std::string_view name, const spool_dir &dir, int layout, int sep, int doit);

// Relocates the bin directory `name` of dir, whole and by rename only.
// Returns 1.
int do_bindir(std::string_view name, const spool_dir &dir, int layout, int sep, int doit);

// Removes the bucket `name` of dir, opened as d and walked, if it is empty
// and its name still holds it; says so. A link is never removed.
void lib_prune(const spool_dir &dir, std::string_view name, const dir_open &d);

// Finishes the copies to other file systems under way: puts them on stable
// storage, names them and removes their sources. Reports what failed.
void lib_flushcopies();

// Relocates what a run cut short left under a name of the tool's own
// (old_prefix and a mailbox's name): the mailbox's name comes back first.
int do_leftover(std::string_view name, const spool_dir &dir, int layout, int sep, int doit);

// -stage: the run copies ahead, into their buckets, the mailboxes whose
// moves cross file systems, and changes nothing else.
void lib_stage_mode();

// A staged copy that the walk passed by: one the run had no use for goes
// at its end, with -stage or -doit.
void lib_staged_seen(const spool_dir &dir, std::string_view name);

// Ends what the run staged, removes the staged copies it had no use for,
// and says how many were ready.
void lib_endstage(int doit);

// Flushes to stable storage every file system that the run changed.
// Failures are reported. Returns the number of them.
int lib_syncall();

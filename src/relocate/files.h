// The file-system work behind a move, shared by relocation's own files.
#pragma once

#include "relocate/relocate.h"
#include "run/run.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Root and the owner of the spool's root.
bool trusted_owner(uid_t uid);

// Follows the link held open (O_PATH) as `link`, an entry of `at` whose
// status is `lst`, one component at a time, never letting the kernel follow
// a link. Every link on the way must belong to a trusted owner and have one
// name; every directory passed through must belong to a trusted owner and be
// writable by no one else, unless it is sticky and the next component
// belongs to a trusted owner; the target's own directory (for a file) or the
// target (for a directory) must belong to a trusted owner. The text read is
// that of the very link judged. With want_dir, fd is the directory opened
// for reading; otherwise fd holds the file as O_PATH.
trust_result follow_link(int at, int link, const struct stat &lst, bool want_dir, int &fd);

// A destination bucket as the run keeps it open.
struct bucket;

// The way from the root down to the bucket a destination goes into: the
// buckets on it (at most two), each checked and kept open.
struct bucket_route {
    int fd = -1;  // the bucket; -1 in a dry run when it does not exist yet
    dev_t dev = 0;
    ino_t ino = 0;
    int len = 0;
    bucket *step[2] = {};
    size_t end[2] = {};  // where the path of each ends in the destination
};

// The route of dst, whose directory part ends at dir_len. With doit, a
// missing bucket is made. On trust_refused, bad is the path of the first
// bucket refused and why the text that says so; on trust_failed, errno
// tells why.
trust_result reach_bucket(const std::string &dst, size_t dir_len, int doit, bucket_route &r, std::string &bad,
                          const char *&why);

// Flushes the buckets of the route and the root above them, which may have
// just been given new entries. Returns 0 or the error number.
int sync_route(const bucket_route &r);

// True when every bucket of the route still stands under its name, in the
// mount it was opened in. A bucket is looked up again only when the kernel
// said that it moved, or when it is a link, or with by_name; after a change
// of the mount table, every bucket is, and a link's whole route again.
// When one does not stand, moved is its path (from dst) and it is let go,
// to be checked anew when next used; its descriptor stays valid until then.
bool route_in_place(bucket_route &r, const std::string &dst, std::string &moved, bool by_name = false);
void route_forget(bucket_route &r);

// Starts watching the mount table, once: from then on mounts_changed tells
// whether it changed since last asked, true where it cannot tell.
void mounts_watch();
bool mounts_changed();

// The mount that `name` of at (or at itself, for "") lies in, links not
// followed; is_root, if given, tells whether it is that mount's root.
// False when the kernel cannot tell.
bool mount_id(int at, const char *name, uint64_t &id, bool *is_root = nullptr);

// Dry run: whether the name may stand in the route's bucket, by the names
// it held when first looked at; a hit is to be confirmed.
bool name_taken(bucket_route &r, std::string_view name);

// Dry run: a directory that moves were planned from, kept open.
struct plan_dir {
    int fd;
    dev_t dev;
    ino_t ino;
};

// Dry run: nothing is remembered of planned moves, and none was.
bool plans_idle();

// Dry run: the directory of another entry of the name whose move was
// planned before, which -doit will have made by the time it comes to the
// entry `name` of from; nullptr if none, and then this move is planned,
// remembered if a later entry of the walk may meet it (see plan_ahead).
const plan_dir *meet_plan(const spool_dir &from, std::string_view name);

// Dry run: the move of the entry `name` of from is the one planned for the
// name, in place of one that -doit will refuse.
void take_plan(const spool_dir &from, std::string_view name);

// Records that the run changed the directory fd on device dev (path names
// it in reports), so that its file system is flushed before the run ends.
void note_changed(int fd, dev_t dev, std::string_view path);

// Opens the file held open (O_PATH) as path, with flags: the very file
// that was checked, reopened through /proc, never a device or a FIFO
// swapped in meanwhile, never waiting on another program's lease, and read
// without touching its access time where that is allowed. Returns the
// descriptor or -1.
int reopen(int path, int flags);

// A file written whole before it takes its name in a directory: unnamed
// (O_TMPFILE) until then or, where the file system cannot do that, under
// the temporary name partial_prefix + its name.
struct new_file {
    fd_owner fd;
    std::string temp;  // the temporary name, while it has one
    std::string name;  // the name it has, to take away if need be
    struct stat st{};  // its status when it took that name, or as written
};

// Links the open file fd in as name in dir, never replacing an entry.
// Returns 0, or -1 with errno set.
int link_fd(int fd, int dir, const std::string &name);

// Creates the file that is to be `name` in dir, with mode; a leftover of a
// killed run under the temporary name goes first. Returns 0 or errno.
int new_file_open(int dir, const std::string &name, mode_t mode, new_file &f);

// Gives the file its name, never replacing an entry unless told to, and
// checks that the name then holds it. Returns 0 or errno: EEXIST when the
// name is taken, ESTALE when another file took the name instead.
int new_file_name(int dir, const std::string &name, new_file &f, bool replace = false);

// True when `name` in dir is still the object with that device and inode,
// links not followed.
bool same_file(int dir, const std::string &name, dev_t dev, ino_t ino);

// Takes away the name the file has, if that name still holds it. Returns
// 0 or errno.
int new_file_drop(int dir, const new_file &f);

// Removes `name` of dir if it is still the object with that device and
// inode. Returns 0 or errno: EBUSY when another object stands there now.
int unlink_same(int dir, const std::string &name, dev_t dev, ino_t ino);

// Flushes the entries of a directory to stable storage; a file system that
// cannot flush directories (EINVAL) is taken to need none. Returns 0 or errno.
int flush_dir(int fd);

// Makes the bucket `name` in `at` with the owner, group and mode of `at`,
// flushed with `at`; path names it in reports. Opens it as lib_opendir does.
trust_result lib_mkdir(int at, const std::string &name, const std::string &path, dir_open &d);

// Moves the entry `name` of `from` (path src) to dst in the route's bucket,
// copying a file across file systems (a whole directory only by rename);
// never replaces an entry. Without doit it only decides, and reports what
// a move would refuse. Returns 1.
int do_move(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
            const std::string &dst, bool whole_dir, int doit);

// Reports a move that failed with err: a whole directory with both paths,
// a file by the error alone, after its Move line.
void say_failed(bool whole_dir, int err, const std::string &src, const std::string &dst);

// Renames `name` from `from` into `to`, never replacing an existing entry.
// Returns 0 or the error number (EEXIST when the name is taken).
int move_entry(int from, const std::string &name, int to);

// Decides, and with doit acts, on a destination found taken: the same file
// under a second name loses the source's name; across file systems, a
// complete copy that a killed run left loses the source; anything else is
// refused. Returns 1 when nothing is left to report, else 0 with *why the
// error for the move. `across` tells that the move is a copy.
int lib_taken(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
              const std::string &dst, bool across, int doit, int *why);

// Moves the file `name` from `from` into the route's bucket on another file
// system: a copy with its data, owner, group, mode, extended attributes and
// times, flushed to stable storage and never visible half-written, then the
// source removed, all under the mailbox's locks and a lease that keeps
// every other program out. Returns 1 when done (or reported without a
// failure of the move), else 0 with *why the error to report for the move.
int lib_copy(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
             const std::string &dst, int *why);

// The locks mail programs take on a mailbox: fcntl and flock on the open
// file, and the dot-lock file NAME.lock beside it; and for a source, a
// write lease, which no other program may hold the file open beside.
struct mail_lock {
    int file = -1;     // the mailbox, open for writing
    int dir = -1;      // the directory holding it
    bool lease = false;
    std::string dot;   // NAME.lock, when made by us
    dev_t dot_dev = 0;
    ino_t dot_ino = 0;
};

// Takes the locks on the mailbox `name` of `dir` (on device dev), open as
// `file`, and with lease a write lease on it first, never waiting on them
// for long. Returns 0, EWOULDBLOCK when another program holds a lock, EBUSY when another
// program has the file open, or another error number.
int lock_mailbox(int dir, dev_t dev, const std::string &name, int file, bool lease, mail_lock &l);

// Takes away the files that this run's dot-locks are links to, once no lock
// is held.
void drop_lock_masters();

// Releases what lock_mailbox took, the lease too.
void unlock_mailbox(mail_lock &l);

// The same, by closing file, the mailbox as locked: the dot-lock goes
// first, then the close lets go of the rest at once.
void unlock_closing(mail_lock &l, fd_owner &file);

// Set when another program asks to open a file we lease: the lease is
// being broken, to be confirmed with lease_held. Cleared by whoever has
// looked at every lease it may concern.
extern volatile sig_atomic_t lease_broken;

// Whether the lease taken by lock_mailbox is still whole: no other program
// has asked to open the file since.
bool lease_held(const mail_lock &l);

// The same, asked of the kernel whatever the flag says: for whoever clears
// it.
bool lease_whole(const mail_lock &l);

// The file-system work behind a move, shared by relocation's own files.
#pragma once

#include "relocate/relocate.h"
#include "run/run.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Root and the owner of the spool's root.
bool trusted_owner(uid_t uid);

// Follows the link held open (O_PATH) as `link`, an entry of `at` whose
// status is `lst`, when the link and what it points to belong to trusted
// owners; the target is opened with `flags`. The text read is that of the
// very link judged, whatever stands under its name by now.
trust_result follow_link(int at, int link, const struct stat &lst, int flags, int &fd);

// The descriptor of the bucket that dst goes into, reached from the root
// through the buckets its path names up to dir_len, where its last '/'
// stands, each checked and then kept open.
// With doit, a missing bucket is made; in a dry run fd is then -1. On
// trust_refused, bad is the path of the first bucket refused; on
// trust_failed, errno tells why.
trust_result reach_bucket(const std::string &dst, size_t dir_len, int doit, int &fd, std::string &bad);

// Flushes to stable storage the buckets of the destination reached last,
// and the root above them, which may have just been given new entries.
// Returns 0 or the error number.
int sync_route();

// Opens the file held open (O_PATH) as path, with flags: the very file
// that was checked, reopened through /proc, never a device or a FIFO
// swapped in meanwhile, and read without touching its access time where
// that is allowed. Returns the descriptor or -1.
int reopen(int path, int flags);

// A file written whole before it takes its name in a directory: unnamed
// (O_TMPFILE) until then or, where the file system cannot do that, under
// the temporary name partial_prefix + its name.
struct new_file {
    fd_owner fd;
    std::string temp;  // the temporary name, while it has one
    std::string name;  // the name it has, to take away if need be
    struct stat st;    // its status when it took that name
};

// Creates the file that is to be `name` in dir, with mode; a leftover of a
// killed run under the temporary name goes first. Returns 0 or errno.
int new_file_open(int dir, const std::string &name, mode_t mode, new_file &f);

// Gives the file its name, never replacing an entry. Returns 0 or errno
// (EEXIST when the name is taken).
int new_file_name(int dir, const std::string &name, new_file &f);

// True when `name` in dir is still the object with that device and inode,
// links not followed.
bool same_file(int dir, const std::string &name, dev_t dev, ino_t ino);

// Takes away the name the file has, if that name still holds it. Returns
// 0 or errno.
int new_file_drop(int dir, const new_file &f);

// Makes the bucket `name` in `at`, mode 0770 less the umask, owned like
// `at`; path names it in reports. Opens it as lib_opendir does.
trust_result lib_mkdir(int at, const std::string &name, const std::string &path, int &fd);

// Moves the entry `name` from the directory `from` (path src) into the
// bucket `to` (path dst), copying across file systems; never replaces an
// existing entry. Returns 1; failures are reported.
int do_move(int from, const std::string &name, const std::string &src, int to, const std::string &dst);

// Renames `name` from `from` into `to`, never replacing an existing entry.
// Returns 0 when it is in place (also when both name the very same object),
// else the error number.
int move_entry(int from, const std::string &name, int to);

// Moves the file `name` from `from` into `to` on another file system: a
// copy with its content, owner, group, mode and times, flushed to stable
// storage and never visible half-written, then the source removed, all
// under the mailbox's locks. Returns 1 when done (or reported without a
// failure of the move), else 0 with *why the error to report for the move.
int lib_copy(int from, const std::string &name, const std::string &src, int to, const std::string &dst, int *why);

// The locks mail programs take on a mailbox: fcntl and flock on the open
// file, and the dot-lock file NAME.lock beside it.
struct mail_lock {
    int file = -1;     // the mailbox, open for writing
    int dir = -1;      // the directory holding it
    std::string dot;   // NAME.lock, when made by us
    dev_t dot_dev = 0;
    ino_t dot_ino = 0;
};

// Takes the three locks on the mailbox `name` of `dir`, open as `file`,
// never waiting on them for long. Returns 0, EWOULDBLOCK when another
// program holds one, or another error number.
int lock_mailbox(int dir, const std::string &name, int file, mail_lock &l);

// Releases what lock_mailbox took.
void unlock_mailbox(mail_lock &l);

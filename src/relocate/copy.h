// The steps of a copy to another file system, shared by the files that
// hold them (relocate.h says which holds which).
#pragma once

#include "relocate/files.h"
#include "run/run.h"

#include <string>
#include <ctime>
#include <sys/stat.h>

inline constexpr const char *in_use_msg = "Cannot copy %s, it is in use by another program\n";
inline constexpr const char *other_names_msg = "Cannot copy %s, it has other names\n";
inline constexpr const char *moved_msg = "Bucket %s was moved away, %s stays where it was\n";

// The most copies a batch holds before it is flushed, moved or staged: as
// many as the descriptors not kept for buckets allow, 256 at most.
size_t batch_files();

// The source: the entry of the spool (a file, or a trusted link), and the
// regular file that is read, each as found when the copy began.
struct source {
    fd_owner entry;     // O_PATH, the entry itself
    struct stat est;    // its status
    fd_owner file;      // O_PATH, the file it points to, if a link
    struct stat st;     // the file's status
    fd_owner in;        // the file, open for reading and locking
};

// A copy whose file is to be written and named in the route's bucket.
struct named_copy {
    bucket_route &to;
    const std::string &name;
    const std::string &dst;
};

// Reports fmt with path and refuses the move as one across file systems.
// Returns 0.
int copy_refuse(const char *fmt, const std::string &path, int *why);

// Reports errno for path on standard error; it is the move's error.
// Returns 0.
int copy_failed(const std::string &path, int *why);

// Finds the source without following a link unless the trust rule allows
// it, and without opening anything yet.
trust_result find_source(int from, const std::string &name, source &s);

// Opens the source's file for reading and locking and takes its locks and
// lease; refuses, reported, one with other names. Returns 1 or 0 (why set).
int lock_source(int from, dev_t dev, const std::string &name, const std::string &src, source &s, mail_lock &l, int *why);

// Sets the source's name aside, as old, or removes it at once where it
// cannot be set aside (old then empty). Returns 0 or errno.
int set_source_aside(const spool_dir &from, const std::string &name, const source &s, std::string &old);

// Returns once a program that looked the name of a source up before since,
// when it was set aside, has had the time to reach the file's lease.
void wait_opens(const struct timespec &since);
// Whether wait_opens would return at once.
bool opens_waited(const struct timespec &since);

// After wait_opens: settles with the programs let in late, removes the old
// name and releases the locks; err is what setting aside returned. Returns
// 1, or 0 when the source could not go (reported).
int let_source_go(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                  const struct stat &written, const std::string &old, int err);

// The copy c, written as `written`, is on stable storage: the source goes,
// while it is still the entry that was copied, its name set aside until
// the programs let in late have settled; its locks are released. Returns
// 1, or 0 when it could not go (reported).
int retire_source(const spool_dir &from, const std::string &src, const named_copy &c, source &s, mail_lock &l,
                  const struct stat &written);

// Copies the data extents of in, whose status is st, into out, on device
// out_dev (0 if not known), in the kernel where it can. With watch, a stop
// request or a break of that lock's lease abandons it. A big copy's
// writeback is started. Returns 0 or errno.
int copy_data(int in, const struct stat &st, int out, dev_t out_dev, const mail_lock *watch);

// What carry_over returns when an extended attribute is too large for the
// file system of the copy.
constexpr int xattrs_too_big = -1;

// Gives out the owner, group, extended attributes, mode and times of in,
// whose status is st; handed_acl tells that out may have been handed an
// ACL by its directory. Returns 0, errno or xattrs_too_big.
int carry_over(int out, int in, const struct stat &st, bool handed_acl);

// Whether the directory dir (dev, ino) hands an ACL down to new files:
// asked once until forget_acls.
bool hands_down_acl(int dir, dev_t dev, ino_t ino);
void forget_acls();

// Copies the bytes of in, whose status is st, from `from` to its end into
// out at the same offsets. Returns 0 or errno.
int copy_tail(int in, const struct stat &st, int out, off_t from, const mail_lock *watch);

// The staged copy of `name` in the route's bucket, when it still fits the
// locked source s: brought up to date with what the source gained, its
// record taken off, held in t under its staged name. Returns the bytes it
// gained, or -1 when there is none to use (one that does not fit is
// removed).
off_t take_staged(const bucket_route &to, const std::string &name, const source &s, const mail_lock *watch,
                  new_file &t);

// Dry run and -stage: says whether the mailbox `name` of from has a staged
// copy ready in the route's bucket; with -stage, stages it if not.
void lib_stage(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
               const std::string &dst);

// Flushes the staged copies under way, names and records them.
void lib_flushstaged();

// True when the first len bytes of both files are the same.
bool same_bytes(int a, int b, off_t len);

// Writes a whole copy of the file old, whose status is st, as the new file
// f that is to be `name` in dir: its data, owner, mode, extended attributes
// and times, on stable storage. Returns 0 or errno.
int write_whole(int old, const struct stat &st, int dir, const std::string &name, new_file &f);

// The source's name is gone: lets in the programs that waited for it, if
// any, and brings the copy, written as `written`, up to date with what they
// wrote. Releases the locks.
void settle(source &s, mail_lock &l, const named_copy &c, const std::string &src, const struct stat &written);

// The steps of a copy to another file system, shared by the files that
// hold them:
//   copy.cpp     the protocol: find and lock the source, write and name the
//                copy, check the source, remove it
//   newfile.cpp  new files: opened unnamed or partial, named only if still
//                ours, dropped only while their name holds them
//   data.cpp     the data extents and the attributes a copy carries
//   settle.cpp   programs let in late, once the source's name has gone
//   taken.cpp    a destination found taken
#pragma once

#include "relocate/files.h"
#include "run/run.h"

#include <string>
#include <sys/stat.h>

inline constexpr const char *in_use_msg = "Cannot copy %s, it is in use by another program\n";
inline constexpr const char *other_names_msg = "Cannot copy %s, it has other names\n";
inline constexpr const char *moved_msg = "Bucket %s was moved away, %s stays where it was\n";

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
int lock_source(int from, const std::string &name, const std::string &src, source &s, mail_lock &l, int *why);

// Removes the source while it is still the entry that was copied. Returns
// 1, or 0 when it could not (reported).
int remove_source(const spool_dir &from, const std::string &name, const std::string &src, const source &s);

// Copies the data extents of in, size bytes, into out. With watch, a stop
// request or a break of our lease abandons it. Returns 0 or errno.
int copy_data(int in, int out, off_t size, bool watch);

// Gives out the owner, group, extended attributes, mode and times of in,
// whose status is st. Returns 0 or errno.
int carry_over(int out, int in, const struct stat &st);

// True when the first len bytes of both files are the same.
bool same_bytes(int a, int b, off_t len);

// Writes a whole copy of the file old, whose status is st, as the new file
// f that is to be `name` in dir: its data, owner, mode, extended attributes
// and times, on stable storage. Returns 0 or errno.
int write_whole(int old, const struct stat &st, int dir, const std::string &name, new_file &f);

// The source's name is gone: lets in the programs that waited for it and
// brings the copy, written as `written`, up to date with what they wrote.
// Releases the locks.
void settle(source &s, mail_lock &l, const named_copy &c, const std::string &src, const struct stat &written);

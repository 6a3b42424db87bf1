// Staged copies: a first pass (-stage) copies, while mail flows, every
// mailbox whose move crosses file systems into its destination bucket
// under a name of the tool's own, and records what it copied; -doit then
// uses what is still current and copies only what changed. A staged copy
// stays root's, mode 0600, until -doit gives it the mailbox's owner and
// name; its record is an attribute in the trusted namespace, which only
// root can write: nothing anyone else made or touched is ever used.

#include "relocate/copy.h"
#include "run/run.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

static constexpr const char *record_attr = "trusted.tierbox.staged";

static bool stage_mode;  // -stage: staged copies are made
// The most staged copies written before they are flushed: their locks are
// let go at once, so only their data waits.
constexpr size_t stage_batch = 64;
static int ready_count, outdated_count;

void lib_stage_mode()
{
    stage_mode = true;
}

namespace {

// What a staged copy holds: the source as it stood when copied.
struct record {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtim = {}, ctim = {};
};

// A staged copy written, waiting for its batch's flush.
struct staged {
    fd_owner file;
    int dir;    // the bucket, held open while the batch is under way
    dev_t dev;  // its file system
    std::string name, temp;
    std::string text;  // its record
    bool fresh;        // it is to take the staged name
};

// A staged copy the walk passed by, to go unless the run had use for it.
struct seen_copy {
    dev_t dev;
    ino_t ino;
    int dir;
    std::string name, path;
};

}  // namespace

static std::vector<staged> batch;
static std::vector<seen_copy> seen;
static std::vector<fd_owner> seen_dirs;
static std::vector<std::string> touched;  // "DEV INO NAME" of buckets' staged copies

static std::string staged_name(const std::string &name)
{
    return std::string(staged_prefix) + name;
}

static std::string touch_key(dev_t dev, ino_t ino, const std::string &name)
{
    return std::to_string(dev) + " " + std::to_string(ino) + " " + name;
}

static void touch(const bucket_route &to, const std::string &name)
{
    touched.push_back(touch_key(to.dev, to.ino, name));
}

static std::string record_text(const struct stat &st)
{
    char text[160];
    std::snprintf(text, sizeof text, "1 %ju %ju %jd %jd %ld %jd %ld\n", static_cast<uintmax_t>(st.st_dev),
                  static_cast<uintmax_t>(st.st_ino), static_cast<intmax_t>(st.st_size),
                  static_cast<intmax_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, static_cast<intmax_t>(st.st_ctim.tv_sec),
                  st.st_ctim.tv_nsec);
    return text;
}

static bool parse_record(const char *text, record &r)
{
    uintmax_t dev, ino;
    intmax_t size, ms, cs;
    long mns, cns;
    int end = 0;
    if (std::sscanf(text, "1 %ju %ju %jd %jd %ld %jd %ld\n%n", &dev, &ino, &size, &ms, &mns, &cs, &cns, &end) != 7 ||
        text[end] != '\0')
        return false;
    r = {static_cast<dev_t>(dev), static_cast<ino_t>(ino), static_cast<off_t>(size), {ms, mns}, {cs, cns}};
    return true;
}

// The staged copy `name` of the bucket, held open (O_PATH) as path, with
// its record: only a regular file of root's, mode 0600 and one name, whose
// record root wrote. Returns false for anything else.
static bool read_staged(int path, struct stat &st, record &r)
{
    char text[160];
    if (fstat(path, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 07777) != 0600 ||
        st.st_nlink != 1)
        return false;
    std::string proc = "/proc/self/fd/" + std::to_string(path);
    ssize_t n = getxattr(proc.c_str(), record_attr, text, sizeof text - 1);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return parse_record(text, r) && r.size == st.st_size;
}

static bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// How the source, whose status is st, stands to the record: unchanged
// since it was staged, only grown (its first bytes to be confirmed), or
// anything else.
enum staged_fit { fit_none, fit_same, fit_grown };

static staged_fit fit_of(const record &r, const struct stat &st)
{
    if (r.dev != st.st_dev || r.ino != st.st_ino)
        return fit_none;
    if (r.size == st.st_size && same_time(r.mtim, st.st_mtim) && same_time(r.ctim, st.st_ctim))
        return fit_same;
    return st.st_size > r.size ? fit_grown : fit_none;
}

// The staged copy of `name` in the route's bucket, opened as path.
static bool open_staged(const bucket_route &to, const std::string &name, fd_owner &path, struct stat &st, record &r)
{
    path.reset(openat(to.fd, staged_name(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return path.fd >= 0 && read_staged(path.fd, st, r);
}

off_t take_staged(const bucket_route &to, const std::string &name, const source &s, const mail_lock *watch,
                  new_file &t)
{
    std::string temp = staged_name(name);
    fd_owner path(to.fd < 0 ? -1 : openat(to.fd, temp.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    record r;
    if (path.fd < 0)
        return -1;
    touch(to, name);
    // What is not ours, or not ours alone, goes: the copy takes its place.
    if (!read_staged(path.fd, st, r)) {
        if (fstat(path.fd, &st) == 0 && !S_ISDIR(st.st_mode))
            unlink_same(to.fd, temp, st.st_dev, st.st_ino);
        return -1;
    }
    staged_fit fit = fit_of(r, s.st);
    fd_owner file(fit == fit_none ? -1 : reopen(path.fd, O_RDWR));
    // The source grown: its first bytes must still be those staged.
    if (fit == fit_grown && (file.fd < 0 || !same_bytes(s.in.fd, file.fd, r.size)))
        fit = fit_none;
    if (fit == fit_grown && copy_tail(s.in.fd, s.st, file.fd, r.size, watch) != 0)
        fit = fit_none;
    if (fit == fit_none || file.fd < 0 || fremovexattr(file.fd, record_attr) < 0) {
        unlink_same(to.fd, temp, st.st_dev, st.st_ino);
        return -1;
    }
    t.fd = std::move(file);
    t.temp = temp;
    t.name = temp;
    t.st = st;
    return s.st.st_size - r.size;
}

// Flushes the staged copies written, names the new ones and records what
// each holds. The records go last: a copy whose data is not yet on disk
// has the record it had, which no longer fits it.
void lib_flushstaged()
{
    std::vector<dev_t> done, failed;
    for (staged &c : batch) {
        if (std::find(done.begin(), done.end(), c.dev) != done.end())
            continue;
        done.push_back(c.dev);
        if (syncfs(c.dir) < 0) {
            emsg("Could not flush %s to stable storage %s\n", c.name.c_str(), std::strerror(errno));
            failed.push_back(c.dev);
        }
    }
    for (staged &c : batch)
        if (std::find(failed.begin(), failed.end(), c.dev) != failed.end()) {
            c.fresh = false;
            c.text.clear();
        }
    for (staged &c : batch) {
        if (c.text.empty())
            continue;
        new_file f;
        f.fd = std::move(c.file);
        f.temp = c.temp;
        f.name = c.temp;
        int err = fsetxattr(f.fd.fd, record_attr, c.text.data(), c.text.size(), 0) < 0 ? errno : 0;
        if (err == 0 && c.fresh)
            err = new_file_name(c.dir, staged_name(c.name), f, true);
        if (err != 0) {
            new_file_drop(c.dir, f);
            emsg("Could not stage %s %s\n", c.name.c_str(), std::strerror(err));
        }
    }
    batch.clear();
}

// Writes the data of the locked source into a new staged copy, or adds to
// the staged copy held open as path what the source gained since.
static int write_staged(const bucket_route &to, const std::string &name, source &s, const mail_lock &l,
                        const fd_owner &path, const record &r, staged_fit fit)
{
    staged c{fd_owner(), to.fd, to.dev, name, "", "", fit == fit_none};
    if (fit == fit_grown) {
        c.file.reset(reopen(path.fd, O_RDWR));
        if (c.file.fd < 0 || !same_bytes(s.in.fd, c.file.fd, r.size))
            return write_staged(to, name, s, l, path, r, fit_none);
        c.temp = staged_name(name);
        if (int err = copy_tail(s.in.fd, s.st, c.file.fd, r.size, &l); err != 0)
            return err;
    } else {
        new_file f;
        if (int err = new_file_open(to.fd, staged_name(name), 0600, f); err != 0)
            return err;
        if (int err = copy_data(s.in.fd, s.st, f.fd.fd, to.dev, &l); err != 0) {
            new_file_drop(to.fd, f);
            return err;
        }
        c.file = std::move(f.fd);
        c.temp = f.temp;
    }
    // What the copy holds is the source as it stood under the locks.
    struct stat now;
    if (fstat(s.in.fd, &now) < 0 || now.st_size != s.st.st_size || !same_time(now.st_mtim, s.st.st_mtim))
        return EBUSY;
    c.text = record_text(s.st);
    batch.push_back(std::move(c));
    return 0;
}

// Stages the copy of the mailbox `name` of from into the route's bucket,
// or, in a dry run, says whether one is ready.
void lib_stage(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
               const std::string &dst)
{
    fd_owner path;
    struct stat st, named;
    record r;
    bool have = (stage_mode || name_taken(to, staged_name(name))) && open_staged(to, name, path, st, r);
    if (have)
        touch(to, name);
    if (!stage_mode) {
        source s;
        bool ready = have && find_source(from.fd, name, s) == trust_ok && fit_of(r, s.st) == fit_same;
        if (ready)
            imsg("Staged %s\n", dst.c_str());
        (ready ? ready_count : outdated_count) += have;
        return;
    }
    if (fstatat(to.fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0)
        return;  // the move refuses a taken destination: nothing to stage
    touch(to, name);
    source s;
    mail_lock l;
    int why = 0;
    if (find_source(from.fd, name, s) != trust_ok || !S_ISREG(s.st.st_mode))
        return;
    staged_fit fit = have ? fit_of(r, s.st) : fit_none;
    if (fit == fit_same) {
        imsg("Staged %s\n", dst.c_str());
        ready_count++;
        return;
    }
    // A program that holds the mailbox is not waited for: a later run
    // stages it.
    if (!lock_source(from.fd, from.dev, name, src, s, l, &why)) {
        outdated_count++;
        return;
    }
    if (have)
        fit = fit_of(r, s.st);
    int err = write_staged(to, name, s, l, path, r, fit);
    unlock_mailbox(l);
    (err == 0 ? ready_count : outdated_count)++;
    if (err == ECANCELED)
        imsg("Not staged %s, another program opened it\n", src.c_str());
    else if (err == xattrs_too_big || err == EBUSY)
        imsg("Not staged %s, it changed while it was copied\n", src.c_str());
    else if (err != 0)
        emsg("Could not stage %s %s\n", src.c_str(), std::strerror(err));
    if (batch.size() >= stage_batch)
        lib_flushstaged();
}

void lib_staged_seen(const spool_dir &dir, std::string_view name)
{
    if (seen_dirs.empty() || seen.empty() || seen.back().dev != dir.dev || seen.back().ino != dir.ino)
        seen_dirs.emplace_back(fcntl(dir.fd, F_DUPFD_CLOEXEC, 3));
    seen.push_back({dir.dev, dir.ino, seen_dirs.back().fd, std::string(name), path_of(dir, name)});
}

// The staged copies the walk passed by and the run had no use for: their
// mailboxes are gone, or moved, or no longer go there.
static void drop_unused()
{
    std::sort(touched.begin(), touched.end());
    for (const seen_copy &c : seen) {
        std::string mailbox = c.name.substr(staged_prefix.size());
        if (c.dir < 0 || std::binary_search(touched.begin(), touched.end(), touch_key(c.dev, c.ino, mailbox)))
            continue;
        struct stat st;
        if (fstatat(c.dir, c.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0 || unlink_same(c.dir, c.name, st.st_dev, st.st_ino) != 0)
            continue;
        note_changed(c.dir, c.dev, c.path);
        imsg("Removed %s, its mailbox does not move there\n", c.path.c_str());
    }
}

void lib_endstage(int doit)
{
    lib_flushstaged();
    if ((doit || stage_mode) && stop_signal == 0)
        drop_unused();
    if (stage_mode || ready_count + outdated_count > 0)
        imsg("Staged copies: %d ready, %d outdated\n", ready_count, outdated_count);
}

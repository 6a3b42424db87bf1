// Moving a mailbox to another file system: a copy, then the removal of the
// source, a batch of mailboxes at a time. Each copy is written unnamed
// under the mailbox's locks and a lease that no other program may hold the
// file open beside; once the batch is written, one flush of each file
// system puts the copies on stable storage, they take their names, a
// second flush makes the names durable, and only then is each source's
// name set aside, if it is still the file that was copied. The old files
// go with a later batch, or at the end, still leased until then, so that
// a program on its way to one is settled with. Every step that could leave
// a short copy fails that mailbox's move.

#include "relocate/copy.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <vector>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// What the batch's writes must not outlast: mailboxes (batch_files()),
// bytes, time.
constexpr off_t batch_bytes = 64 << 20;
constexpr long batch_ns = 1'000'000'000;

// Buckets take half the descriptors at most; of the rest, a copy holds four
// while its batch is under way and as many while its source retires. A
// batch is one flush of each file system: the more copies share it, the
// fewer flushes the stop waits for, but none of its copies is named before
// that flush; past a few hundred, the flushes cost little beside the copies.
// The limit is read once, after the first bucket raised it; were it read
// before, the batches would only be smaller.
size_t batch_files()
{
    static size_t cap;
    if (cap != 0)
        return cap;
    struct rlimit rl;
    rlim_t n = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : 1024;
    rlim_t kept = n / 2 + 64;
    rlim_t spare = n > kept ? (n - kept) / 8 : 0;
    cap = spare > 256 ? 256 : spare < 16 ? 16 : static_cast<size_t>(spare);
    return cap;
}

namespace {

// A copy written and waiting for its batch's flush, its source locked.
struct pending {
    spool_dir from;  // its descriptor the batch's own
    std::string name, src, dst;
    bucket_route to;
    source s;
    mail_lock l;
    new_file t;
    struct stat before;  // the source as copied
    off_t wrote = 0;     // the bytes written for it
    std::string old;     // the source's name set aside
    int aside_err = 0;   // why it could not be
    struct timespec aside_at;
};

// A directory of the sources, held open by the batch: the walk may leave it.
struct held_dir {
    dev_t dev;
    ino_t ino;
    fd_owner fd;
};

}  // namespace

static std::vector<std::unique_ptr<pending>> batch;
// Batches before, oldest first: copies named, sources set aside, leases
// still held.
static std::vector<std::unique_ptr<pending>> retiring;
static std::vector<bucket_route> moved_routes;  // let go once the sources are gone
static std::vector<held_dir> batch_dirs;
static off_t batch_size;
static dev_t partial_dev;  // the last file system found to take no unnamed file
static struct timespec batch_began;
static bool finishing;

static int batch_dir(const spool_dir &from)
{
    for (const held_dir &d : batch_dirs)
        if (d.dev == from.dev && d.ino == from.ino)
            return d.fd.fd;
    int fd = fcntl(from.fd, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0)
        batch_dirs.push_back({from.dev, from.ino, fd_owner(fd)});
    return fd;
}

static bool batch_full()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ns = (now.tv_sec - batch_began.tv_sec) * 1'000'000'000L + (now.tv_nsec - batch_began.tv_nsec);
    return batch.size() >= batch_files() || batch_size >= batch_bytes || ns >= batch_ns;
}

// Lets go of the copy and the source's locks; the source stays. err is
// reported as the move's failure.
static void give_up(pending &p, int err)
{
    int left = new_file_drop(p.to.fd, p.t);
    if (left != 0) {
        errno = left;
        syserr(p.dst);
    }
    unlock_mailbox(p.l);
    say_failed(false, err, p.src, p.dst);
}

// Another program asked to open a mailbox of the batch: its copy gives way
// at once, and the program gets the file.
static void give_way()
{
    lease_broken = 0;
    for (std::unique_ptr<pending> &p : batch) {
        if (!p || lease_whole(p->l))
            continue;
        emsg(in_use_msg, p->src.c_str());
        give_up(*p, EXDEV);
        p.reset();
    }
}

// Flushes each file system that the batch's copies are on, once. Copies on
// one that could not be flushed give up.
static void flush_copies()
{
    std::vector<dev_t> done;
    for (std::unique_ptr<pending> &p : batch) {
        if (!p || std::find(done.begin(), done.end(), p->to.dev) != done.end())
            continue;
        done.push_back(p->to.dev);
        if (syncfs(p->to.fd) == 0)
            continue;
        int err = errno;
        for (std::unique_ptr<pending> &q : batch)
            if (q && q->to.dev == p->to.dev && q.get() != p.get()) {
                give_up(*q, err);
                q.reset();
            }
        give_up(*p, err);
        p.reset();
    }
}

// Gives the copy its name in its bucket. Returns 0 or the error for the move.
static int name_copy(pending &p)
{
    int err = new_file_name(p.to.fd, p.name, p.t);
    if (err == EEXIST) {
        // Taken meanwhile, as by an earlier copy of the batch: said as
        // the refusal of a destination found taken.
        emsg("Cannot copy as dst file exists already %s %s\n", p.dst.c_str(), std::strerror(EXDEV));
        return EXDEV;
    }
    if (err == ESTALE) {
        emsg("Cannot copy %s, another file took the name %s\n", p.src.c_str(), p.dst.c_str());
        return EXDEV;
    }
    if (err != 0)
        return err;
    if (close(p.t.fd.release()) < 0) {
        err = errno;
        emsg("Could not close %s %s\n", p.dst.c_str(), std::strerror(err));
        return err;
    }
    return 0;
}

// Mail delivered to the source while it was copied would be lost with it:
// checked under the locks, just before its name is set aside, that the
// source has neither grown nor been written since, and that the copy's
// bucket stands where it did. A program that asks for the file from now on
// waits for the lease, and is settled with. Returns 0 or the
// error for the move; moved names a bucket that left.
static int still_valid(pending &p, std::string &moved)
{
    struct stat now;
    if (fstat(p.s.in.fd, &now) < 0)
        return errno;
    if (now.st_size != p.before.st_size || now.st_mtim.tv_sec != p.before.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != p.before.st_mtim.tv_nsec)
        return EBUSY;
    if (!route_in_place(p.to, p.dst, moved, true)) {
        emsg(moved_msg, moved.c_str(), p.src.c_str());
        return EXDEV;
    }
    return 0;
}

// Sets the source of a named copy aside, if it is still as it was copied
// and the copy's bucket stands where it did; else the copy gives up.
static bool put_aside(pending &p)
{
    std::string moved;
    int err = still_valid(p, moved);
    if (err == 0) {
        p.aside_err = set_source_aside(p.from, p.name, p.s, p.old);
        clock_gettime(CLOCK_MONOTONIC, &p.aside_at);
        return true;
    }
    if (!moved.empty())
        moved_routes.push_back(p.to);
    give_up(p, err);
    return false;
}

// The sources set aside go, once programs on their way to them have had the
// time to meet their leases. With keep, those still within that time stay,
// up to a batch of them: a run that copies at speed waits for none.
static void let_go_retiring(bool keep)
{
    size_t gone = 0;
    for (std::unique_ptr<pending> &p : retiring) {
        if (keep && retiring.size() - gone <= batch_files() && !opens_waited(p->aside_at))
            break;
        wait_opens(p->aside_at);
        named_copy c{p->to, p->name, p->dst};
        let_source_go(p->from, p->src, c, p->s, p->l, p->t.st, p->old, p->aside_err);
        gone++;
    }
    retiring.erase(retiring.begin(), retiring.begin() + static_cast<std::ptrdiff_t>(gone));
}

// Keeps open only the source directories that sources still retiring are in.
static void keep_retiring_dirs()
{
    std::erase_if(batch_dirs, [](const held_dir &d) {
        return std::none_of(retiring.begin(), retiring.end(),
                            [&](const std::unique_ptr<pending> &p) { return p->from.fd == d.fd.fd; });
    });
}

// Flushes the batch and names its copies, flushes the names, lets the
// sources of batches before go and sets this batch's aside.
static void run_batch()
{
    if (lease_broken)
        give_way();
    flush_copies();
    // The record of the moves under way survives what follows.
    report_flush();
    bool named = false;
    for (std::unique_ptr<pending> &p : batch) {
        if (!p)
            continue;
        if (int err = name_copy(*p); err != 0) {
            give_up(*p, err);
            p.reset();
        }
        named |= p != nullptr;
    }
    if (named)
        flush_copies();
    let_go_retiring(true);
    for (std::unique_ptr<pending> &p : batch)
        if (p && put_aside(*p))
            retiring.push_back(std::move(p));
    batch.clear();
    batch_size = 0;
    forget_acls();
}

void lib_flushcopies()
{
    lib_flushstaged();
    if (finishing)
        return;
    finishing = true;
    if (!batch.empty())
        run_batch();
    let_go_retiring(false);
    batch_dirs.clear();
    finishing = false;
    std::vector<bucket_route> routes;
    routes.swap(moved_routes);
    for (bucket_route &r : routes)
        route_forget(r);
}

// A batch that is full is done, but its sources go only with a later one,
// unless a bucket moved: it is let go at once.
static void batch_done()
{
    finishing = true;
    run_batch();
    keep_retiring_dirs();
    finishing = false;
    if (!moved_routes.empty())
        lib_flushcopies();
}

// Writes the copy, unnamed, under the source's locks. Returns 0 or the
// error for the move.
static int write_copy(pending &p)
{
    // A copy staged ahead that still fits needs only what came since.
    off_t gained = take_staged(p.to, p.name, p.s, &p.l, p.t);
    bool staged = gained >= 0;
    p.wrote = staged ? gained : p.s.st.st_size;
    // A copy that has to be written under a name of its own can be seen
    // under way: the record of its move comes first, as the record of the
    // first move of each batch does.
    if (!staged && (batch.empty() || p.to.dev == partial_dev))
        report_flush();
    int err = staged ? 0 : new_file_open(p.to.fd, p.name, 0600, p.t);
    if (err != 0) {
        errno = err;
        syserr(p.dst);
        return err;
    }
    if (!p.t.temp.empty())
        partial_dev = p.to.dev;
    err = staged ? 0 : copy_data(p.s.in.fd, p.s.st, p.t.fd.fd, p.to.dev, &p.l);
    if (err == 0)
        err = carry_over(p.t.fd.fd, p.s.in.fd, p.s.st, hands_down_acl(p.to.fd, p.to.dev, p.to.ino));
    if (err == 0 && fstat(p.t.fd.fd, &p.t.st) < 0)
        err = errno;
    if (err == 0)
        return 0;
    new_file_drop(p.to.fd, p.t);
    // Another program asking for the file while the data was copied ends
    // the copy.
    if (err == ECANCELED)
        emsg(in_use_msg, p.src.c_str());
    if (err == xattrs_too_big)
        emsg("Cannot copy %s, its extended attributes do not fit on %s\n", p.src.c_str(), p.dst.c_str());
    return err == ECANCELED || err == xattrs_too_big ? EXDEV : err;
}

int lib_copy(const spool_dir &from, const std::string &name, const std::string &src, bucket_route &to,
             const std::string &dst, int *why)
{
    // A taken destination is judged before the source is looked at.
    struct stat d;
    if (fstatat(to.fd, name.c_str(), &d, AT_SYMLINK_NOFOLLOW) == 0)
        return lib_taken(from, name, src, to, dst, true, 1, why);
    if (lease_broken)
        give_way();
    auto p = std::make_unique<pending>();
    p->from = from;
    p->from.fd = batch_dir(from);
    if (p->from.fd < 0)
        return copy_failed(src, why);
    trust_result r = find_source(p->from.fd, name, p->s);
    if (r == trust_refused)
        return copy_refuse(refused_msg(), src, why);
    if (r == trust_failed)
        return copy_failed(src, why);
    if (!S_ISREG(p->s.st.st_mode))
        return copy_refuse("Cannot copy %s, not a regular file\n", src, why);
    if (!lock_source(p->from.fd, from.dev, name, src, p->s, p->l, why))
        return 0;
    p->name = name;
    p->src = src;
    p->dst = dst;
    p->to = to;
    p->before = p->s.st;
    if (int err = write_copy(*p); err != 0) {
        unlock_mailbox(p->l);
        *why = err;
        return 0;
    }
    if (batch.empty())
        clock_gettime(CLOCK_MONOTONIC, &batch_began);
    batch_size += p->wrote;
    batch.push_back(std::move(p));
    if (batch_full())
        batch_done();
    return 1;
}

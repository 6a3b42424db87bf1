// Mounts and file systems: which mount an entry lies in, whether the mount
// table has changed since last asked, and the file systems the run changed,
// flushed before it ends.
//
// A bucket can leave its place without a rename: a file system mounted over
// it, or its own mount detached. No inotify event says so. The kernel marks
// every change of the mount table on /proc/self/mountinfo for poll(2), but a
// poll before each move would cost a system call a mailbox. So a poll
// request waits on that file in an io_uring whose completion queue is shared
// memory: asking is one load from it. The completion is posted by work the
// kernel runs in this process at its next return from any system call, so a
// mount made before a move into a bucket began is seen once that move has
// returned. Where io_uring cannot be had, a poll(2) with no timeout asks.

#include "relocate/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

bool mount_id(int at, const char *name, uint64_t &id, bool *is_root)
{
    struct statx sx;
    int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
    if (statx(at, name, flags, STATX_MNT_ID, &sx) < 0)
        return false;
    if ((sx.stx_mask & STATX_MNT_ID) == 0) {
        errno = EOPNOTSUPP;
        return false;
    }
    id = sx.stx_mnt_id;
    if (is_root)
        *is_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return true;
}

namespace {

// The ring and the parts of it in shared memory that are used.
struct mount_ring {
    int fd = -1;
    unsigned *sq_tail = nullptr, *sq_mask = nullptr, *sq_array = nullptr;
    unsigned *cq_head = nullptr, *cq_tail = nullptr;
    io_uring_sqe *sqes = nullptr;
};

}  // namespace

static int mountinfo = -2;  // the watched file, -1 if it cannot be opened
static mount_ring ring;

// Asks the kernel to complete a request once the mount table changes.
static bool arm()
{
    unsigned tail = *ring.sq_tail, at = tail & *ring.sq_mask;
    io_uring_sqe &e = ring.sqes[at];
    std::memset(&e, 0, sizeof e);
    e.opcode = IORING_OP_POLL_ADD;
    e.fd = mountinfo;
    e.poll32_events = POLLPRI | POLLERR;
    ring.sq_array[at] = at;
    __atomic_store_n(ring.sq_tail, tail + 1, __ATOMIC_RELEASE);
    return syscall(__NR_io_uring_enter, ring.fd, 1, 0, 0, nullptr, 0) == 1;
}

static bool map_ring()
{
    io_uring_params p = {};
    ring.fd = static_cast<int>(syscall(__NR_io_uring_setup, 1, &p));
    if (ring.fd < 0 || (p.features & IORING_FEAT_SINGLE_MMAP) == 0)
        return false;
    size_t sq = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    size_t cq = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    void *rings = mmap(nullptr, sq > cq ? sq : cq, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring.fd,
                       IORING_OFF_SQ_RING);
    void *sqes = mmap(nullptr, p.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                      ring.fd, IORING_OFF_SQES);
    if (rings == MAP_FAILED || sqes == MAP_FAILED)
        return false;
    char *base = static_cast<char *>(rings);
    ring.sq_tail = reinterpret_cast<unsigned *>(base + p.sq_off.tail);
    ring.sq_mask = reinterpret_cast<unsigned *>(base + p.sq_off.ring_mask);
    ring.sq_array = reinterpret_cast<unsigned *>(base + p.sq_off.array);
    ring.cq_head = reinterpret_cast<unsigned *>(base + p.cq_off.head);
    ring.cq_tail = reinterpret_cast<unsigned *>(base + p.cq_off.tail);
    ring.sqes = static_cast<io_uring_sqe *>(sqes);
    return true;
}

void mounts_watch()
{
    if (mountinfo != -2)
        return;
    mountinfo = open("/proc/self/mountinfo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (mountinfo < 0 || (map_ring() && arm()))
        return;
    // Mapped parts stay unused: the poll(2) below asks instead.
    if (ring.fd >= 0)
        close(ring.fd);
    ring.fd = -1;
}

bool mounts_changed()
{
    if (mountinfo < 0)
        return true;  // nothing tells: every bucket is looked at each time
    if (ring.fd < 0) {
        struct pollfd p = {mountinfo, POLLPRI, 0};
        return poll(&p, 1, 0) != 0;
    }
    unsigned tail = __atomic_load_n(ring.cq_tail, __ATOMIC_ACQUIRE);
    if (tail == *ring.cq_head)
        return false;
    __atomic_store_n(ring.cq_head, tail, __ATOMIC_RELEASE);
    if (!arm()) {
        close(ring.fd);
        ring.fd = -1;
    }
    return true;
}

namespace {

// A file system the run changed, through a directory of it.
struct changed_fs {
    dev_t dev;
    int fd;
    std::string path;
};

}  // namespace

static std::vector<changed_fs> changed;

void note_changed(int fd, dev_t dev, std::string_view path)
{
    for (const changed_fs &c : changed)
        if (c.dev == dev)
            return;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy >= 0)
        changed.push_back({dev, copy, std::string(path)});
}

int lib_syncall()
{
    lib_flushcopies();
    drop_lock_masters();
    int failed = 0;
    for (const changed_fs &c : changed) {
        if (syncfs(c.fd) == 0)
            continue;
        emsg("Could not flush %s to stable storage %s\n", c.path.c_str(), std::strerror(errno));
        failed++;
    }
    return failed;
}

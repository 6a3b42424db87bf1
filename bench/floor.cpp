// Floor for the dry-run benchmark: the least work a dry run can do.  Read
// each directory whole before acting on it, go into one-character
// directories down to two levels below the root, place each other entry
// with tierbox's own placement, and write "Move SRC --> DST" for each one
// out of place, to standard output and to tierbox.log in the working
// directory, through large buffers.  Entries are handled from the last
// listed to the first, as tierbox does, so the lines come in its order.
//
// The benchmark's spools hold only mailboxes and bucket directories: what
// tierbox does with other entries (bin directories, backslashes in names)
// is left out, and so are its other report lines.
//
// usage: floor -hash N -path ROOT

#include "layout/layout.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const std::string& what) {
    std::fprintf(stderr, "floor: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// ---- output ------------------------------------------------------------

constexpr std::size_t sink_size = 1 << 18;

struct sink {
    int fd;
    std::size_t used;
    char data[sink_size];
};

static sink out{STDOUT_FILENO, 0, {}};
static sink log_out{-1, 0, {}};

static void write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) die("write");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

static void flush(sink& s) {
    write_all(s.fd, s.data, s.used);
    s.used = 0;
}

static void open_log() {
    log_out.fd = open("tierbox.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (log_out.fd < 0) die("open tierbox.log");
}

// "Move DIR/NAME --> DST\n", put together in the standard output buffer
// and copied from there to the log's: one line built once, for two outputs.
static void report_move(const std::string& dir, std::string_view name, const std::string& dst) {
    std::size_t n = 5 + dir.size() + 1 + name.size() + 5 + dst.size() + 1;
    if (sink_size - out.used < n) flush(out);
    if (sink_size - log_out.used < n) flush(log_out);
    char* line = out.data + out.used;
    char* p = line;
    std::memcpy(p, "Move ", 5);
    p += 5;
    std::memcpy(p, dir.data(), dir.size());
    p += dir.size();
    *p++ = '/';
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    std::memcpy(p, " --> ", 5);
    p += 5;
    std::memcpy(p, dst.data(), dst.size());
    p += dst.size();
    *p = '\n';
    std::memcpy(log_out.data + log_out.used, line, n);
    out.used += n;
    log_out.used += n;
}

// ---- listing -----------------------------------------------------------

// A directory's entries, read whole: each record is the name's bytes, its
// length in two bytes and a directory flag byte, packed into blocks so that
// millions of names take no allocation each. Blocks grow from 64 KiB, for
// the many small buckets, to 2 MiB huge pages, for the flat directory of
// millions, where small pages would cost thousands of page faults.
constexpr std::size_t first_block = 1 << 16;
constexpr std::size_t huge_block = 1 << 21;
constexpr std::size_t record_extra = 3;

struct block {
    char* data;
    std::size_t size;
    std::size_t used;
};

struct listing {
    std::vector<block> blocks;
    listing() = default;
    listing(const listing&) = delete;
    listing& operator=(const listing&) = delete;
    ~listing() {
        for (block& b : blocks) {
            if (b.size < huge_block)
                std::free(b.data);
            else
                munmap(b.data, b.size);
        }
    }
};

static char* block_alloc(std::size_t size) {
    if (size < huge_block) {
        char* p = static_cast<char*>(std::malloc(size));
        if (p == nullptr) die("malloc");
        return p;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) die("mmap");
    madvise(p, size, MADV_HUGEPAGE);
    return static_cast<char*>(p);
}

static void add_entry(listing& l, std::string_view name, bool is_dir) {
    std::size_t need = name.size() + record_extra;
    if (l.blocks.empty() || l.blocks.back().size - l.blocks.back().used < need) {
        std::size_t size = l.blocks.empty() ? first_block : std::min(l.blocks.back().size * 2, huge_block);
        l.blocks.push_back({block_alloc(size), size, 0});
    }
    block& b = l.blocks.back();
    char* p = b.data + b.used;
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    p[0] = static_cast<char>(name.size() & 0xFF);
    p[1] = static_cast<char>(name.size() >> 8);
    p[2] = static_cast<char>(is_dir);
    b.used += need;
}

// Takes the last record of block b off it.
static std::string_view pop_entry(block& b, bool& is_dir) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data);
    std::size_t len = p[b.used - 3] | static_cast<std::size_t>(p[b.used - 2]) << 8;
    is_dir = p[b.used - 1] != 0;
    b.used -= len + record_extra;
    return {b.data + b.used, len};
}

static bool is_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads the directory with getdents64 into one large buffer: d_type tells
// most entries apart; a link or an untyped entry needs a status query, and
// one that cannot be read is no directory.
static void read_listing(const std::string& dir, listing& l) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) die("open " + dir);
    static char buf[1 << 20];
    for (;;) {
        ssize_t n = getdents64(fd, buf, sizeof buf);
        if (n < 0) die("getdents64");
        if (n == 0) break;
        for (ssize_t at = 0; at < n;) {
            const dirent64* e = reinterpret_cast<const dirent64*>(buf + at);
            at += e->d_reclen;
            if (is_dot(e->d_name)) continue;
            bool d = e->d_type == DT_DIR;
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                struct stat st;
                d = fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            add_entry(l, e->d_name, d);
        }
    }
    if (close(fd) != 0) die("close " + dir);
}

// ---- walk --------------------------------------------------------------

struct run {
    int layout;
    std::string root;
};

static void place_file(const run& r, const std::string& dir, std::string_view name) {
    const std::string& dst = drop_file(name, name, r.layout, r.root);
    // In place when the destination is DIR/NAME.
    if (dst.size() == dir.size() + 1 + name.size() && dst.compare(0, dir.size(), dir) == 0) return;
    report_move(dir, name, dst);
}

static void walk(const run& r, const std::string& dir, int depth);

static void handle_entry(const run& r, const std::string& dir, int depth, std::string_view name, bool is_dir) {
    if (name == "tierbox.log") return;
    if (!is_dir) {
        place_file(r, dir, name);
        return;
    }
    if (name.size() != 1 || depth >= 2) return;
    walk(r, dir + "/" + std::string(name), depth + 1);
}

// depth: 0 for the root, 1 and 2 for the bucket levels below it.
static void walk(const run& r, const std::string& dir, int depth) {
    listing l;
    read_listing(dir, l);
    for (std::size_t i = l.blocks.size(); i > 0; --i) {
        block& b = l.blocks[i - 1];
        while (b.used > 0) {
            bool is_dir = false;
            std::string_view name = pop_entry(b, is_dir);
            handle_entry(r, dir, depth, name, is_dir);
        }
    }
}

// ---- main --------------------------------------------------------------

static bool parse_args(int argc, char** argv, run& r) {
    if (argc != 5 || std::strcmp(argv[1], "-hash") != 0 || std::strcmp(argv[3], "-path") != 0) return false;
    char* end = nullptr;
    long layout = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || layout < 0 || layout > 2) return false;
    r.layout = static_cast<int>(layout);
    r.root = argv[4];
    return !r.root.empty();
}

int main(int argc, char** argv) {
    run r;
    if (!parse_args(argc, argv, r)) {
        std::fprintf(stderr, "usage: floor -hash 0|1|2 -path ROOT\n");
        return 2;
    }
    open_log();
    walk(r, r.root, 0);
    flush(out);
    flush(log_out);
    if (close(log_out.fd) != 0) die("close tierbox.log");
    return 0;
}

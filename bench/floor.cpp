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

static void put(sink& s, std::string_view text) {
    if (sink_size - s.used < text.size()) flush(s);
    if (text.size() > sink_size) {
        write_all(s.fd, text.data(), text.size());
        return;
    }
    std::memcpy(s.data + s.used, text.data(), text.size());
    s.used += text.size();
}

static void open_log() {
    log_out.fd = open("tierbox.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (log_out.fd < 0) die("open tierbox.log");
}

static void report_move(const std::string& src, const std::string& dst) {
    static std::string line;
    line.assign("Move ");
    line += src;
    line += " --> ";
    line += dst;
    line += '\n';
    put(out, line);
    put(log_out, line);
}

// ---- listing -----------------------------------------------------------

// A directory's entries, read whole: each record is the name's bytes, its
// length in two bytes and a directory flag byte, packed into large blocks
// so that millions of names take no allocation each.
constexpr std::size_t block_size = 1 << 18;
constexpr std::size_t record_extra = 3;

struct block {
    std::unique_ptr<char[]> data;
    std::size_t used;
};

using listing = std::vector<block>;

static void add_entry(listing& l, std::string_view name, bool is_dir) {
    std::size_t need = name.size() + record_extra;
    if (l.empty() || block_size - l.back().used < need) {
        l.push_back({std::make_unique_for_overwrite<char[]>(block_size), 0});
    }
    char* p = l.back().data.get() + l.back().used;
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    p[0] = static_cast<char>(name.size() & 0xFF);
    p[1] = static_cast<char>(name.size() >> 8);
    p[2] = static_cast<char>(is_dir);
    l.back().used += need;
}

// Takes the last record of block b off it.
static std::string_view pop_entry(block& b, bool& is_dir) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data.get());
    std::size_t len = p[b.used - 3] | static_cast<std::size_t>(p[b.used - 2]) << 8;
    is_dir = p[b.used - 1] != 0;
    b.used -= len + record_extra;
    return {b.data.get() + b.used, len};
}

// d_type tells most entries apart; a link or an untyped entry needs a
// status query, and one that cannot be read is no directory.
static bool is_directory(DIR* d, const dirent* e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) return false;
    return S_ISDIR(st.st_mode);
}

static bool is_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

static listing read_listing(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) die("opendir " + dir);
    listing l;
    errno = 0;
    while (const dirent* e = readdir(d)) {
        if (!is_dot(e->d_name)) add_entry(l, e->d_name, is_directory(d, e));
        errno = 0;
    }
    if (errno != 0) die("readdir " + dir);
    if (closedir(d) != 0) die("closedir " + dir);
    return l;
}

// ---- walk --------------------------------------------------------------

struct run {
    int layout;
    std::string root;
};

static void place_file(const run& r, const std::string& dir, std::string_view name) {
    static std::string src;
    src.assign(dir);
    src += '/';
    src += name;
    const std::string& dst = drop_file(name, name, r.layout, r.root);
    if (src == dst) return;
    report_move(src, dst);
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
    listing l = read_listing(dir);
    for (std::size_t i = l.size(); i > 0; --i) {
        block& b = l[i - 1];
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

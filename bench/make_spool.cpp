// Makes a spool of mailboxes for the benchmarks, from one process: a
// process per file would take minutes at millions of mailboxes.
//
// usage: make_spool flat|tiers ROOT N [BYTES]
//
// ROOT must not exist. "flat" puts the N mailboxes directly under ROOT;
// "tiers" puts each under ROOT/x/y, x and y the first two letters of its
// name, as layout 2 keeps them (26 * 26 buckets). Mailbox i (1 to N) is
// named by four letters that vary from name to name, as user names do,
// then i in decimal, so that moves spread over all the buckets of either
// layout (no '_': layout 2 takes the first two letters, as "tiers" does).
// Mailboxes are empty, or BYTES long (one message, then filler lines)
// when BYTES is given, so that a copy has something to copy.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const std::string& what) {
    std::fprintf(stderr, "make_spool: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

static std::string mailbox_name(std::uint64_t i) {
    std::uint64_t h = (i * 2654435761u) % 456976u; // 26^4 four-letter prefixes
    std::string name;
    for (int k = 0; k < 4; ++k) {
        name += static_cast<char>('a' + h % 26);
        h /= 26;
    }
    name += std::to_string(i);
    return name;
}

static void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) die("mkdir " + path);
}

// The 26 * 26 two-level buckets under ROOT.
static void make_buckets(const std::string& root) {
    for (char x = 'a'; x <= 'z'; ++x) {
        std::string top = root + "/" + x;
        make_dir(top);
        for (char y = 'a'; y <= 'z'; ++y) make_dir(top + "/" + y);
    }
}

// The path of a mailbox relative to ROOT.
static std::string place(const std::string& name, bool tiers) {
    if (!tiers) return name;
    return std::string{name[0], '/', name[1], '/'} + name;
}

// BYTES of mailbox: a message header, then lines of filler.
static std::string content_of(std::uint64_t bytes) {
    if (bytes == 0) return "";
    std::string text = "From bench@example.org Thu Jan  1 00:00:00 1970\n"
                       "From: bench@example.org\nSubject: benchmark\n\n";
    while (text.size() < bytes) text += "The quick brown fox jumps over the lazy dog.\n";
    text.resize(bytes);
    text.back() = '\n'; // whole lines, as a mailbox has
    return text;
}

static void make_mailbox(int root_fd, const std::string& rel, const std::string& content) {
    int fd = openat(root_fd, rel.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) die("create " + rel);
    if (!content.empty() && write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        die("write " + rel);
    if (close(fd) != 0) die("close " + rel);
}

static bool parse_count(const char* text, std::uint64_t& n) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return false;
    n = v;
    return true;
}

int main(int argc, char** argv) {
    std::uint64_t n = 0, bytes = 0;
    bool args_ok = (argc == 4 || argc == 5) && parse_count(argv[3], n) && (argc == 4 || parse_count(argv[4], bytes));
    std::string kind = args_ok ? argv[1] : "";
    if (kind != "flat" && kind != "tiers") {
        std::fprintf(stderr, "usage: make_spool flat|tiers ROOT N [BYTES]\n");
        return 2;
    }
    std::string root = argv[2];
    bool tiers = kind == "tiers";
    make_dir(root);
    if (tiers) make_buckets(root);
    int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0) die("open " + root);
    std::string content = content_of(bytes);
    for (std::uint64_t i = 1; i <= n; ++i) make_mailbox(root_fd, place(mailbox_name(i), tiers), content);
    if (close(root_fd) != 0) die("close " + root);
    return 0;
}

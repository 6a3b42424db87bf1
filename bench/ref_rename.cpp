// Reference for the -doit benchmark: the least work a move out of a flat
// spool can do.  Read the root once, then one rename(2) per mailbox, with
// each bucket directory made the first time it is needed, and one syncfs(2)
// at the end: tierbox syncs what it changed before it exits, so both leave
// the moves on disk.
//
// usage: ref_rename 1|2 ROOT

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const std::string& what) {
    std::fprintf(stderr, "ref_rename: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Layout-1 bucket: lower-cased first up-to-4 bytes summed as signed chars,
// remainder by 26 keeping the sign of the sum (C++ % truncates).
static std::string layout1_dir(const std::string& key) {
    int sum = 0;
    for (std::size_t i = 0; i < key.size() && i < 4; ++i) {
        char c = key[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        sum += static_cast<signed char>(c);
    }
    return std::string(1, static_cast<char>('a' + sum % 26));
}

// Layout-2 buckets: the first two bytes after the first '_', or of the
// whole name when it has none, as they stand; fewer when there are fewer.
static std::string layout2_dir(const std::string& key) {
    std::size_t us = key.find('_');
    std::string letters = us == std::string::npos ? key : key.substr(us + 1);
    if (letters.size() < 2) return letters;
    return std::string{letters[0], '/', letters[1]};
}

// True when the entry is a regular file; d_type saves a stat on most file
// systems, lstat covers those that leave it unknown.
static bool is_regular(const std::string& root, const dirent* e) {
    if (e->d_type != DT_UNKNOWN) return e->d_type == DT_REG;
    struct stat st;
    if (lstat((root + "/" + e->d_name).c_str(), &st) != 0) die("lstat " + root + "/" + e->d_name);
    return S_ISREG(st.st_mode);
}

// All regular-file names in ROOT, read before any rename so that the
// directory is not changing under readdir.
static std::vector<std::string> list_files(DIR* dir, const std::string& root) {
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (is_regular(root, e)) names.emplace_back(e->d_name);
        errno = 0;
    }
    if (errno != 0) die("readdir " + root);
    return names;
}

// Which buckets are made, by their one or two bytes: a table, so that
// asking costs less than the rename it comes before.
struct made_buckets {
    bool top[256] = {};
    bool below[256 * 256] = {};

    // DIR is "x" or "x/y".
    bool& of(const std::string& dir) {
        unsigned char x = static_cast<unsigned char>(dir[0]);
        if (dir.size() == 1) return top[x];
        return below[x * 256 + static_cast<unsigned char>(dir[2])];
    }
};

static void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir " + path);
}

// Make ROOT/DIR, and for two levels its parent first, once each; one that
// already exists is fine.
static void ensure_bucket(const std::string& root, const std::string& dir, made_buckets& made) {
    bool& done = made.of(dir);
    if (done) return;
    if (dir.size() == 3) ensure_bucket(root, dir.substr(0, 1), made);
    make_dir(root + "/" + dir);
    done = true;
}

static void move_all(const std::string& root, int layout, const std::vector<std::string>& names) {
    static made_buckets made; // 64 KiB: not on the stack
    for (const std::string& name : names) {
        std::string dir = layout == 1 ? layout1_dir(name) : layout2_dir(name);
        if (dir.empty()) continue; // placed at the root, where it is
        ensure_bucket(root, dir, made);
        std::string from = root + "/" + name;
        std::string to = root + "/" + dir + "/" + name;
        if (rename(from.c_str(), to.c_str()) != 0) die("rename " + from + " " + to);
    }
}

int main(int argc, char** argv) {
    std::string layout = argc == 3 ? argv[1] : "";
    if (layout != "1" && layout != "2") {
        std::fprintf(stderr, "usage: ref_rename 1|2 ROOT\n");
        return 2;
    }
    std::string root = argv[2];
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) die("opendir " + root);
    move_all(root, layout[0] - '0', list_files(dir, root));
    // The root's descriptor, still open, names the file system to sync.
    if (syncfs(dirfd(dir)) != 0) die("syncfs " + root);
    if (closedir(dir) != 0) die("closedir " + root);
    return 0;
}

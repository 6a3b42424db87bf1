// Reference for the -doit benchmark: the least work a flat-to-one-level move
// can do.  Read the root once, then one rename(2) per mailbox, with each
// bucket directory made the first time it is needed.
//
// usage: ref_rename ROOT

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

static void die(const std::string& what) {
    std::fprintf(stderr, "ref_rename: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Layout-1 bucket: lower-cased first up-to-4 bytes summed as signed chars,
// remainder by 26 keeping the sign of the sum (C++ % truncates).
static char bucket_of(const std::string& key) {
    int sum = 0;
    for (std::size_t i = 0; i < key.size() && i < 4; ++i) {
        char c = key[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        sum += static_cast<signed char>(c);
    }
    return static_cast<char>('a' + sum % 26);
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
static std::vector<std::string> list_files(const std::string& root) {
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) die("opendir " + root);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (is_regular(root, e)) names.emplace_back(e->d_name);
        errno = 0;
    }
    if (errno != 0) die("readdir " + root);
    if (closedir(dir) != 0) die("closedir " + root);
    return names;
}

// Make ROOT/B once; one that already exists is fine.
static void ensure_bucket(const std::string& root, char b, bool made[256]) {
    unsigned char slot = static_cast<unsigned char>(b);
    if (made[slot]) return;
    std::string dir = root + "/" + b;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir " + dir);
    made[slot] = true;
}

static void move_all(const std::string& root, const std::vector<std::string>& names) {
    bool made[256] = {};
    for (const std::string& name : names) {
        char b = bucket_of(name);
        ensure_bucket(root, b, made);
        std::string from = root + "/" + name;
        std::string to = root + "/" + b + "/" + name;
        if (rename(from.c_str(), to.c_str()) != 0) die("rename " + from + " " + to);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ref_rename ROOT\n");
        return 2;
    }
    std::string root = argv[1];
    move_all(root, list_files(root));
    return 0;
}

// Where tierbox puts each mailbox of a flat spool: for the benchmark that
// moves a spool with GNU mv, one `mv -t BUCKET` per bucket, and for the
// check that a copy left every mailbox where it belongs.  Placement is
// tierbox's own (src/layout/placement.cpp, compiled in), keyed by the
// whole name as tierbox keys it when no separator is given.
//
// usage: place 1|2 ROOT
//
// Prints "BUCKET NAME" for each regular file directly under ROOT, BUCKET
// relative to ROOT ("x" in layout 1, "x/y" in layout 2), in the order the
// directory lists them.  The benchmark's names hold no blanks.

#include "layout/layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const std::string& what) {
    std::fprintf(stderr, "place: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// True when the entry is a regular file; d_type saves a stat on most file
// systems, lstat covers those that leave it unknown.
static bool is_regular(const std::string& root, const dirent* e) {
    if (e->d_type != DT_UNKNOWN) return e->d_type == DT_REG;
    struct stat st;
    if (lstat((root + "/" + e->d_name).c_str(), &st) != 0) die("lstat " + root + "/" + e->d_name);
    return S_ISREG(st.st_mode);
}

int main(int argc, char** argv) {
    std::string layout = argc == 3 ? argv[1] : "";
    if (layout != "1" && layout != "2") {
        std::fprintf(stderr, "usage: place 1|2 ROOT\n");
        return 2;
    }
    std::string root = argv[2];
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) die("opendir " + root);
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (is_regular(root, e)) {
            std::string name = e->d_name;
            // "/BUCKET/NAME" below an empty root: the bucket is what lies
            // between the first '/' and the last.
            const std::string& dst = drop_file(name, name, layout[0] - '0', "");
            std::string bucket = dst.substr(1, dst.size() - name.size() - 2);
            if (std::printf("%s %s\n", bucket.c_str(), name.c_str()) < 0) die("write");
        }
        errno = 0;
    }
    if (errno != 0) die("readdir " + root);
    if (closedir(dir) != 0) die("closedir " + root);
    if (std::fflush(stdout) != 0) die("write");
    return 0;
}

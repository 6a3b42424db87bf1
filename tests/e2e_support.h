// Helpers for the end-to-end tests: scratch spools, runs of the built
// binary, and the tree left on disk. A failed system call throws, which
// fails the running test with the call and its error text.
#pragma once

#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace e2e {

void check(bool ok, const std::string &what);

// A fresh directory under base, removed with its contents.
struct temp_dir {
    std::string path;
    explicit temp_dir(const std::string &base = "/tmp");
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
};

// A tree by relative path: "d/" an empty directory, "l@" a symlink to the
// value, "f|" a FIFO, else a file holding the value. tree() lists files,
// links, FIFOs and empty directories.
using tree_map = std::map<std::string, std::string>;
void plant(const std::string &root, const tree_map &t);
tree_map tree(const std::string &root);

// Mailboxes at these paths, each holding text made from its name so a
// moved one can be recognised; "d/" and "l@target" as for plant().
tree_map boxes(const std::vector<std::string> &paths);

void write_file(const std::string &path, const std::string &content, mode_t mode = 0600);
std::string read_file(const std::string &path);
struct stat lstat_of(const std::string &path);
bool exists(const std::string &path);

struct outcome {
    int status = -1;
    std::string out, err, log;
    bool has_log = false;  // a regular tierbox.log was left in the cwd
};

// Runs the binary with args in cwd under the umask (fork and exec); with
// broken_out, standard output is a pipe nobody reads.
outcome run_tool(const std::vector<std::string> &args, const std::string &cwd, mode_t mask = 022,
                 bool broken_out = false);

// A spool root in a scratch directory, and a fresh cwd for every run.
struct spool {
    temp_dir dir;
    std::string root = dir.path + "/spool";
    int runs = 0;
    spool();
    outcome run(const std::vector<std::string> &args, mode_t mask = 022);
    outcome convert(int layout, bool doit, const std::vector<std::string> &extra = {});
};

// Lines of text starting with prefix, sorted.
std::vector<std::string> lines(const std::string &text, const std::string &prefix = "");
// Every "$R" replaced by root; the vector form is sorted.
std::string rooted(const std::string &root, std::string text);
std::vector<std::string> rooted_all(const std::string &root, std::vector<std::string> v);
// The log's error lines without "ERROR: " and the closing count, sorted.
std::vector<std::string> errors(const outcome &r);

// What holds for any run past its command line: standard output equals the
// log without its ERROR: marks, and the closing line and the exit status
// agree with the errors counted.
void expect_sound(const outcome &r);

}  // namespace e2e

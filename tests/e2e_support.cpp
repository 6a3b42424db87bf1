#include "e2e_support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace e2e {

void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

temp_dir::temp_dir(const std::string &base) : path(base + "/tierbox-test.XXXXXX")
{
    check(mkdtemp(path.data()) != nullptr, "mkdtemp " + path);
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    fs::create_directories(fs::path(path).parent_path());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    check(fd >= 0, "open " + path);
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ok = fchmod(fd, mode) == 0 && ok;
    ok = close(fd) == 0 && ok;
    check(ok, "write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    check(in.good(), "open " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct stat lstat_of(const std::string &path)
{
    struct stat st;
    check(lstat(path.c_str(), &st) == 0, "lstat " + path);
    return st;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void plant(const std::string &root, const tree_map &t)
{
    for (const auto &[rel, value] : t) {
        std::string path = root + "/" + rel;
        char mark = rel.back();
        if (mark != '/' && mark != '@' && mark != '|') {
            write_file(path, value);
            continue;
        }
        path.pop_back();
        fs::create_directories(mark == '/' ? path : fs::path(path).parent_path().string());
        if (mark == '@')
            check(symlink(value.c_str(), path.c_str()) == 0, "symlink " + path);
        if (mark == '|')
            check(mkfifo(path.c_str(), 0600) == 0, "mkfifo " + path);
    }
}

tree_map tree(const std::string &root)
{
    tree_map t;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            t[rel + "@"] = fs::read_symlink(e.path()).string();
        else if (e.is_fifo())
            t[rel + "|"] = "";
        else if (!e.is_directory())
            t[rel] = read_file(e.path());
        else if (fs::is_empty(e.path()))
            t[rel + "/"] = "";
    }
    return t;
}

tree_map boxes(const std::vector<std::string> &paths)
{
    tree_map t;
    for (const std::string &p : paths) {
        size_t at = p.find('@');
        if (at != std::string::npos)
            t[p.substr(0, at + 1)] = p.substr(at + 1);
        else
            t[p] = p.back() == '/' ? "" : "From " + fs::path(p).filename().string() + "\n";
    }
    return t;
}

// Output goes to files, not pipes, so a large report cannot block the run.
outcome run_tool(const std::vector<std::string> &args, const std::string &cwd, mode_t mask, bool broken_out)
{
    temp_dir capture;
    std::string out = capture.path + "/out", err = capture.path + "/err";
    std::vector<std::string> all{TIERBOX_BIN};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT, 0600), e = open(err.c_str(), O_WRONLY | O_CREAT, 0600);
        int p[2];
        if (broken_out) {
            if (pipe(p) < 0)
                _exit(126);
            close(p[0]);
            o = p[1];
        }
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) < 0)
            _exit(126);
        umask(mask);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int st;
    while (waitpid(pid, &st, 0) < 0)
        check(errno == EINTR, "waitpid");
    outcome r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (r.status == 126 || r.status == 127)
        throw std::runtime_error("could not run " + all[0] + " in " + cwd);
    r.out = read_file(out);
    r.err = read_file(err);
    std::string log = cwd + "/tierbox.log";
    r.has_log = exists(log) && S_ISREG(lstat_of(log).st_mode);
    if (r.has_log)
        r.log = read_file(log);
    return r;
}

spool::spool()
{
    fs::create_directories(root);
}

outcome spool::run(const std::vector<std::string> &args, mode_t mask)
{
    std::string cwd = dir.path + "/cwd" + std::to_string(++runs);
    fs::create_directories(cwd);
    return run_tool(args, cwd, mask);
}

outcome spool::convert(int layout, bool doit, const std::vector<std::string> &extra)
{
    std::vector<std::string> args{"-hash", std::to_string(layout), "-path", root};
    args.insert(args.end(), extra.begin(), extra.end());
    if (doit)
        args.push_back("-doit");
    return run(args);
}

std::vector<std::string> lines(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.starts_with(prefix))
            v.push_back(l);
    std::sort(v.begin(), v.end());
    return v;
}

std::string rooted(const std::string &root, std::string text)
{
    for (size_t at = 0; (at = text.find("$R", at)) != std::string::npos; at += root.size())
        text.replace(at, 2, root);
    return text;
}

std::vector<std::string> rooted_all(const std::string &root, std::vector<std::string> v)
{
    for (std::string &l : v)
        l = rooted(root, l);
    std::sort(v.begin(), v.end());
    return v;
}

static const std::string mark = "ERROR: ";
static const std::string closing = "Warning, see tierbox.log, ";

std::vector<std::string> errors(const outcome &r)
{
    std::vector<std::string> v;
    for (const std::string &l : lines(r.log, mark))
        if (!l.starts_with(mark + closing))
            v.push_back(l.substr(mark.size()));
    return v;
}

void expect_sound(const outcome &r)
{
    ASSERT_TRUE(r.has_log) << "no tierbox.log";
    std::string unmarked, last;
    size_t counted = 0;
    std::istringstream in(r.log);
    for (std::string l; std::getline(in, l); last = l) {
        bool error = l.starts_with(mark);
        counted += error;
        unmarked += (error ? l.substr(mark.size()) : l) + "\n";
    }
    EXPECT_EQ(unmarked, r.out) << "standard output and tierbox.log differ";
    EXPECT_EQ(r.status == 1, counted > 0) << "status " << r.status << "\n" << r.out;
    if (counted == 0)
        return;
    EXPECT_EQ(last, mark + closing + std::to_string(counted - 1) + " possibly fatal errors occured");
}

}  // namespace e2e

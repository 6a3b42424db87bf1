// End to end: the built binary on spools made in scratch directories, on
// /tmp and on /dev/shm (another file system here) for moves across them.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using specs = std::vector<std::string>;

void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct scratch {
    std::string path;
    explicit scratch(const std::string &base = "/tmp") : path(base + "/tierbox-test.XXXXXX")
    {
        check(mkdtemp(path.data()) != nullptr, "mkdtemp");
    }
    ~scratch()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string mail_of(const std::string &path)
{
    return "From " + fs::path(path).filename().string() + "\n";
}

std::string subst(std::string text, const std::string &var, const std::string &value)
{
    for (size_t at = 0; (at = text.find(var, at)) != std::string::npos; at += value.size())
        text.replace(at, var.size(), value);
    return text;
}

// A tree as sorted specs: "d/" an empty directory, "l@target" a link,
// "h#other" a hard link to another entry, "f|" a FIFO, "m=text" a file,
// "m" a mailbox holding mail_of(its name). "$O" in a spec stands for other.
void plant(const std::string &root, const specs &tree, const std::string &other = "")
{
    for (std::string s : tree) {
        s = subst(s, "$O", other);
        size_t at = s.find_first_of("@#=");
        std::string path = root + "/" + s.substr(0, at);
        char mark = at == std::string::npos ? s.back() : s[at];
        if (mark == '/' || mark == '|')
            path.pop_back();
        fs::create_directories(mark == '/' ? path : fs::path(path).parent_path().string());
        if (mark == '@')
            check(symlink(s.substr(at + 1).c_str(), path.c_str()) == 0, "symlink " + path);
        else if (mark == '#')
            check(link((root + "/" + s.substr(at + 1)).c_str(), path.c_str()) == 0, "link " + path);
        else if (mark == '|')
            check(mkfifo(path.c_str(), 0600) == 0, "mkfifo " + path);
        else if (mark != '/')
            std::ofstream(path) << (mark == '=' ? s.substr(at + 1) : mail_of(path));
    }
}

specs tree(const std::string &root)
{
    specs t;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            t.push_back(rel + "@" + fs::read_symlink(e.path()).string());
        else if (e.is_fifo())
            t.push_back(rel + "|");
        else if (e.is_directory() && fs::is_empty(e.path()))
            t.push_back(rel + "/");
        else if (!e.is_directory())
            t.push_back(read_file(e.path()) == mail_of(rel) ? rel : rel + "=" + read_file(e.path()));
    }
    std::sort(t.begin(), t.end());
    return t;
}

specs sorted(specs v)
{
    std::sort(v.begin(), v.end());
    return v;
}

struct outcome {
    int status = -1;
    std::string out, err, log;
    bool has_log = false;
};

// Runs the binary in cwd; with broken_out, standard output is a pipe that
// nobody reads.
outcome run(const specs &args, const std::string &cwd, mode_t mask = 022, bool broken_out = false)
{
    scratch capture;
    std::string out = capture.path + "/out", err = capture.path + "/err";
    specs all{TIERBOX_BIN};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT, 0600), e = open(err.c_str(), O_WRONLY | O_CREAT, 0600), p[2];
        if (broken_out && pipe(p) == 0) {
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
    check(waitpid(pid, &st, 0) == pid, "waitpid");
    outcome r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(out);
    r.err = read_file(err);
    struct stat log;
    r.has_log = lstat((cwd + "/tierbox.log").c_str(), &log) == 0 && S_ISREG(log.st_mode);
    r.log = r.has_log ? read_file(cwd + "/tierbox.log") : "";
    return r;
}

// A spool root and a fresh working directory for each run.
struct spool {
    scratch dir;
    std::string root = dir.path + "/spool";
    int runs = 0;
    spool() { fs::create_directories(root); }
    outcome run(const specs &args, mode_t mask = 022, bool broken_out = false)
    {
        std::string cwd = dir.path + "/cwd" + std::to_string(++runs);
        fs::create_directories(cwd);
        return ::run(args, cwd, mask, broken_out);
    }
    outcome convert(int layout, specs extra = {})
    {
        extra.insert(extra.begin(), {"-hash", std::to_string(layout), "-path", root});
        return run(extra);
    }
    specs rooted(specs v) const
    {
        for (std::string &l : v)
            l = subst(l, "$R", root);
        return v;
    }
};

specs lines(const std::string &text, const std::string &prefix = "")
{
    specs v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.starts_with(prefix))
            v.push_back(l.substr(prefix == "ERROR: " ? prefix.size() : 0));
    return sorted(v);
}

// Standard output equals the log less its ERROR: marks; the closing line
// and the exit status agree with the errors counted. Returns the errors
// but the closing count.
specs expect_sound(const outcome &r)
{
    EXPECT_TRUE(r.has_log);
    specs errors = lines(r.log, "ERROR: ");
    EXPECT_EQ(subst(r.log, "ERROR: ", ""), r.out);
    EXPECT_EQ(r.status == 1, !errors.empty()) << r.status << "\n" << r.out;
    std::string closing = "Warning, see tierbox.log, " + std::to_string(errors.size() - 1) + " possibly fatal errors occured";
    if (!errors.empty()) {
        EXPECT_TRUE(r.out.ends_with(closing + "\n")) << r.out;
    }
    std::erase(errors, closing);
    return errors;
}

TEST(E2e, CommandLineStatusAndLog)
{
    struct {
        specs args, box, cwd;  // cwd: planted in the working directory
        int status;
        std::string tail;  // the last line of standard output, "$R" the root
        bool log;
        specs cwd_after;  // but a log written there
    } cases[] = {
        {{}, {}, {}, 0, "-doit = Actually perform the operation, by default it just prints what it would do", false, {}},
        {{"-hash", "1", "-x"}, {}, {}, 2, "Invalid option (-x)", false, {}},
        {{"-hash", "1", "-path"}, {}, {}, 2, "Missing value for option (-path)", false, {}},
        {{"-hash", "1"}, {}, {}, 2, "Path not specified", true, {}},
        {{"-path", "$R", "-hash", "-1"}, {}, {}, 2, "hash number not specified", true, {}},
        {{"-hash", "1", "-path", "$R/none"}, {}, {}, 0, "Unable to open dir ($R/none) No such file or directory", true, {}},
        // A log from an earlier run is replaced; a link or a FIFO planted
        // in its place is neither followed nor blocked on.
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe"}, {"tierbox.log=" + std::string(9999, 'x')}, 0,
         "Processing Directory $R/c", true, {}},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {"victim=mail", "tierbox.log@victim"}, 0, "Move $R/jdoe --> $R/c/jdoe",
         false, {"tierbox.log@victim", "victim=mail"}},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {"tierbox.log|"}, 0, "Move $R/jdoe --> $R/c/jdoe", false, {"tierbox.log|"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        spool s;
        scratch cwd;
        plant(s.root, c.box);
        plant(cwd.path, c.cwd);
        outcome r = run(s.rooted(c.args), cwd.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out.ends_with(s.rooted({c.tail})[0] + "\n")) << r.out;
        EXPECT_EQ(r.has_log, c.log);
        if (r.has_log)
            expect_sound(r);
        specs left = tree(cwd.path);
        std::erase_if(left, [&](const std::string &e) { return r.has_log && e.starts_with("tierbox.log"); });
        EXPECT_EQ(left, c.cwd_after);
        EXPECT_EQ(tree(s.root), sorted(c.box)) << "a dry run changed the spool";
    }
}

TEST(E2e, DryRunReportsExactlyTheMisplaced)
{
    struct {
        int layout;
        specs extra, box, body;  // body: every line after the first, "$R" the root
    } cases[] = {
        {1, {}, {"jdoe", "JDoe", "ab", "a", "bob.bin", "jdoexyz", "\xE7", "\xFB", "c/jdoe2"},
         {"Processing Directory $R", "Processing Directory $R/c", "Move $R/jdoe --> $R/c/jdoe",
          "Move $R/JDoe --> $R/c/JDoe", "Move $R/ab --> $R/n/ab", "Move $R/a --> $R/t/a", "Move $R/bob.bin --> $R/p/bob.bin",
          "Move $R/jdoexyz --> $R/c/jdoexyz", "Move $R/\xE7 --> $R/H/\xE7", "Move $R/\xFB --> $R///\xFB"}},
        {1, {"-sep", "_"}, {"dom_jdoe", "x_", "org_ab_x"},
         {"Using prefix separator (_)", "Processing Directory $R", "Move $R/dom_jdoe --> $R/c/dom_jdoe",
          "Move $R/x_ --> $R/a/x_", "Move $R/org_ab_x --> $R/u/org_ab_x"}},
        {2, {}, {"dom_jdoe", "x_Q", "dom_", "a_b_c", "j/d/jdoe"},
         {"Processing Directory $R", "Processing Directory $R/j", "Processing Directory $R/j/d",
          "Move $R/dom_jdoe --> $R/j/d/dom_jdoe", "Move $R/x_Q --> $R/Q/x_Q", "Move $R/dom_ --> $R//dom_",
          "Move $R/a_b_c --> $R/b/_/a_b_c"}},
        {7, {}, {"c/jdoe", "top"}, {"Processing Directory $R", "Processing Directory $R/c", "Move $R/c/jdoe --> $R/jdoe"}},
        {1, {}, {"tierbox.log", "c/tierbox.log", "jdoe.Bin/x", "a/zz/x", "a/b/c/jdoe", "BOX.BIN/x", "store/jdoe", "x@store",
                 "ab@store/jdoe", "bob@nowhere"},
         {"Processing Directory $R", "Processing Directory $R/c", "Skipping long directory name jdoe.Bin",
          "Processing Directory $R/a", "Skipping long directory name zz", "Processing Directory $R/a/b",
          "$R/a/b/c Too deep, can't be email hashing", "Processing Bin Directory BOX.BIN", "Move $R/BOX.BIN --> $R/l/BOX.BIN",
          "Skipping long directory name store", "Processing Directory $R/x", "Move $R/x/jdoe --> $R/c/jdoe",
          "Move $R/ab --> $R/n/ab", "Move $R/bob --> $R/v/bob"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.box));
        spool s;
        plant(s.root, c.box);
        specs before = tree(s.root);
        outcome r = s.convert(c.layout, c.extra);
        expect_sound(r);
        EXPECT_EQ(lines(r.out.substr(r.out.find('\n') + 1)), sorted(s.rooted(c.body)));
        EXPECT_EQ(tree(s.root), before);
    }
}

bool other_fs(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev != sb.st_dev;
}

// -doit: the moves match the dry run, nothing existing is ever replaced,
// copies to another file system ("$O", on /dev/shm) keep the mail or leave
// both sides as they were, and a second run finds nothing more to move.
TEST(E2e, DoitMovesOrRefuses)
{
    const std::string exdev = "Rename failed Invalid cross-device link";
    struct {
        int layout;
        specs box, other, errors, box_after, other_after;
        size_t again = 0;  // Move lines the second run still prints
    } cases[] = {
        {1, {"jdoe", "JDoe", "ab", "bob.bin/inbox", "bob.bin/sub/x", "\xFB"}, {}, {},
         {"c/jdoe", "c/JDoe", "n/ab", "p/bob.bin/inbox", "p/bob.bin/sub/x", "\xFB"}, {}, 1},
        {0, {"c/jdoe", "n/ab", "p/bob.bin/inbox"}, {}, {}, {"jdoe", "ab", "bob.bin/inbox", "c/", "n/", "p/"}, {}},
        {2, {"c/jdoe", "q/x_Q", "bob.bin/inbox"}, {}, {}, {"j/d/jdoe", "Q/x_Q", "c/", "q/", "b/o/bob.bin/inbox"}, {}},
        {1, {"j/d/jdoe", "a/b/ab"}, {}, {}, {"c/jdoe", "n/ab", "j/d/", "a/b/"}, {}},
        {1, {"store/jdoe", "x@store", "bob@nowhere"}, {}, {}, {"c/jdoe", "store/", "x@store", "v/bob@nowhere"}, {}},
        {1, {"jdoe", "c/jdoe#jdoe"}, {}, {}, {"c/jdoe", "jdoe"}, {}, 1},  // the same file: nothing to do
        {1, {"jdoe=new", "c/jdoe=old"}, {}, {"Rename failed File exists"}, {"c/jdoe=old", "jdoe=new"}, {}},
        {1, {"jdoe", "c/jdoe@nowhere"}, {}, {"Rename failed File exists"}, {"c/jdoe@nowhere", "jdoe"}, {}},
        {1, {"bob.bin/", "p/bob.bin/"}, {}, {"Rename FAILED File exists $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p/bob.bin/"}, {}},
        {1, {"a\\b"}, {}, {"Skipping $R/a\\b, its path holds a backslash"}, {"a\\b"}, {}},
        {1, {"jdoe", "c@$O"}, {}, {}, {"c@$O"}, {"jdoe"}},
        {1, {"jdoe=new", "c@$O"}, {"jdoe=old"}, {"Cannot copy as dst file exists already $R/c/jdoe Invalid cross-device link", exdev},
         {"c@$O", "jdoe=new"}, {"jdoe=old"}},
        {1, {"jdoe=new", "c@$O"}, {"jdoe@/dev/null"},  // a device is never opened
         {"Cannot copy as dst file exists already $R/c/jdoe File exists", exdev}, {"c@$O", "jdoe=new"}, {"jdoe@/dev/null"}},
        {1, {"jdoe|", "c@$O"}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, {"c@$O", "jdoe|"}, {}},
        {1, {"jdoe@/dev/null", "c@$O"}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, {"c@$O", "jdoe@/dev/null"}, {}},
        {1, {"jdoe@nowhere", "c@$O"}, {}, {"Rename failed No such file or directory"}, {"c@$O", "jdoe@nowhere"}, {}},
        {1, {"bob.bin/", "p@$O"}, {}, {"Rename FAILED Invalid cross-device link $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p@$O"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.box) + " " + ::testing::PrintToString(c.other));
        spool s;
        scratch other("/dev/shm");
        bool crossing = std::ranges::any_of(c.box, [](const std::string &e) { return e.ends_with("@$O"); });
        if (crossing && !other_fs(s.root, other.path)) {
            std::printf("skipped: /tmp and /dev/shm are one file system here\n");
            continue;
        }
        plant(s.root, c.box, other.path);
        plant(other.path, c.other);
        specs before = tree(s.root);
        outcome dry = s.convert(c.layout);
        EXPECT_EQ(tree(s.root), before) << "a dry run changed the spool";
        outcome r = s.convert(c.layout, {"-doit"});
        EXPECT_EQ(lines(r.out, "Move "), lines(dry.out, "Move "));
        EXPECT_EQ(expect_sound(r), sorted(s.rooted(c.errors)));
        specs box_after = c.box_after;
        for (std::string &e : box_after)
            e = subst(e, "$O", other.path);
        EXPECT_EQ(tree(s.root), sorted(box_after));
        EXPECT_EQ(tree(other.path), sorted(c.other_after));
        if (c.errors.empty()) {
            EXPECT_EQ(lines(s.convert(c.layout, {"-doit"}).out, "Move ").size(), c.again);
        }
    }
}

TEST(E2e, CopyKeepsOwnerModeAndTimes)
{
    spool s;
    scratch other("/dev/shm");
    if (!other_fs(s.root, other.path))
        GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
    plant(s.root, {"c@" + other.path, "jdoe=" + std::string(200000, 'm')});
    std::string src = s.root + "/jdoe";
    check(chmod(src.c_str(), 0640) == 0 && chown(src.c_str(), 1234, 4321) == 0, "chown");
    const struct timespec times[2] = {{1000000000, 111}, {1200000000, 222}};
    check(utimensat(AT_FDCWD, src.c_str(), times, 0) == 0, "utimensat");
    auto kept = [](const std::string &path) {
        struct stat st;
        check(stat(path.c_str(), &st) == 0, "stat " + path);
        return std::tuple(st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                          st.st_atim.tv_sec, st.st_atim.tv_nsec);
    };
    auto was = kept(src);
    expect_sound(s.convert(1, {"-doit"}));
    EXPECT_EQ(kept(other.path + "/jdoe"), was);
    EXPECT_EQ(tree(s.root), specs{"c@" + other.path});
}

TEST(E2e, FailedCopyLeavesNoPartialMailbox)
{
    spool s;
    std::string small = s.dir.path + "/small";
    fs::create_directories(small);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs " + small + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    plant(s.root, {"c@" + small, "jdoe=" + std::string(1 << 20, 'm')});
    outcome r = s.convert(1, {"-doit"});
    specs left = tree(small);
    EXPECT_EQ(std::system(("umount " + small).c_str()), 0);
    EXPECT_EQ(expect_sound(r), specs{"Rename failed No space left on device"});
    EXPECT_EQ(left, specs{});
    EXPECT_EQ(read_file(s.root + "/jdoe"), std::string(1 << 20, 'm'));
}

// Buckets are 0770 less the umask, owned like the directory they are made
// in; a reader of the report that goes away stops neither moves nor log.
TEST(E2e, BucketsAndBrokenReport)
{
    spool s;
    plant(s.root, {"jdoe", "ab"});
    check(chown(s.root.c_str(), 1234, 4321) == 0 || geteuid() != 0, "chown");
    outcome r = s.run({"-hash", "2", "-path", s.root, "-doit"}, 027, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tierbox: error writing standard output: Broken pipe\n");
    EXPECT_EQ(lines(r.log, "Move ").size(), 2u);
    EXPECT_EQ(tree(s.root), specs({"a/b/ab", "j/d/jdoe"}));
    for (const char *bucket : {"/a", "/j/d"}) {
        struct stat st;
        check(stat((s.root + bucket).c_str(), &st) == 0, "stat");
        EXPECT_EQ(st.st_mode, S_IFDIR | 0750u) << bucket;
        if (geteuid() == 0) {
            EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(1234u, 4321u)) << bucket;
        }
    }
}

// No fixed limit: a path of nearly 4 KB is used and reported whole.
TEST(E2e, LongPathsWhole)
{
    spool s;
    std::string deep = s.root;
    for (int i = 0; i < 15; i++)
        deep += "/" + std::string(250, 'd');
    plant(deep, {"jdoe"});
    outcome r = s.run({"-hash", "1", "-path", deep, "-doit"});
    EXPECT_EQ(expect_sound(r), specs{});
    EXPECT_EQ(lines(r.out, "Move "), specs{"Move " + deep + "/jdoe --> " + deep + "/c/jdoe"});
    EXPECT_EQ(tree(deep), specs{"c/jdoe"});
}

}  // namespace

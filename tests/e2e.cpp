// End to end: the built binary on spools made in scratch directories, on
// /tmp and on /dev/shm (another file system here) for moves across them.

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using texts = std::vector<std::string>;

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

// An account that owns nothing here: what it owns in a spool, root must
// not trust.
const uid_t stranger = 4242;

// A tree as sorted texts, one per entry: "d/" an empty directory, "l@target" a link,
// "h#other" a hard link to another entry, "f|" a FIFO, "m=text" a file,
// "m" a mailbox holding mail_of(its name). "$O" in a text stands for other.
// Once all is planted, an entry whose text ends in "!" is handed to the
// stranger, and one that ends in "%NNN" gets that mode.
void plant(const std::string &root, const texts &tree, const std::string &other = "")
{
    std::vector<std::pair<std::string, std::string>> after;
    for (std::string s : tree) {
        s = subst(s, "$O", other);
        size_t how = s.ends_with('!') ? s.size() - 1 : s.size() > 4 && s[s.size() - 4] == '%' ? s.size() - 4 : s.size();
        std::string last = s.substr(how);
        s.resize(how);
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
        after.emplace_back(path, last);
    }
    for (const auto &[path, last] : after) {
        if (last == "!")
            check(lchown(path.c_str(), stranger, stranger) == 0, "lchown " + path);
        else if (!last.empty())
            check(chmod(path.c_str(), static_cast<mode_t>(std::stoi(last.substr(1), nullptr, 8))) == 0, "chmod " + path);
    }
}

// Rows that hand entries to the stranger need root.
bool beyond_us(const texts &tree)
{
    return geteuid() != 0 && std::ranges::any_of(tree, [](const std::string &e) { return e.ends_with('!'); });
}

texts tree(const std::string &root)
{
    texts t;
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

texts sorted(texts v)
{
    std::sort(v.begin(), v.end());
    return v;
}

struct outcome {
    int status = -1;
    std::string out, err, log;
    bool has_log = false;
};

// A spool root in a scratch directory, and a fresh working directory for
// each run of the binary, holding what the run is given to find there.
struct spool {
    scratch dir;
    std::string root = dir.path + "/spool", cwd;
    int runs = 0;
    // Rewires the child before exec; watches it from the parent meanwhile.
    std::function<void()> in_child = [] {};
    std::function<void(pid_t)> meanwhile = [](pid_t) {};
    bool as_stranger = false;  // the stranger runs it, in a scratch directory of his
    spool() { fs::create_directories(root); }
    outcome run(texts args, mode_t mask = 022, const texts &in_cwd = {})
    {
        std::string at = dir.path + "/run" + std::to_string(++runs), out = at + ".out", err = at + ".err";
        cwd = at;
        fs::create_directories(cwd);
        plant(cwd, in_cwd);
        if (as_stranger) {
            check(lchown(dir.path.c_str(), stranger, stranger) == 0, "lchown");
            for (const fs::directory_entry &e : fs::recursive_directory_iterator(dir.path))
                check(lchown(e.path().c_str(), stranger, stranger) == 0, "lchown");
        }
        args.insert(args.begin(), TIERBOX_BIN);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = fork();
        check(pid >= 0, "fork");
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT, 0600), e = open(err.c_str(), O_WRONLY | O_CREAT, 0600);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) < 0)
                _exit(126);
            umask(mask);
            if (as_stranger && (setgroups(0, nullptr) < 0 || setgid(stranger) < 0 || setuid(stranger) < 0))
                _exit(125);
            in_child();
            execv(argv[0], argv.data());
            _exit(127);
        }
        meanwhile(pid);
        int st;
        check(waitpid(pid, &st, 0) == pid, "waitpid");
        outcome r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), read_file(out), read_file(err), "", false};
        struct stat log;
        r.has_log = lstat((cwd + "/tierbox.log").c_str(), &log) == 0 && S_ISREG(log.st_mode);
        r.log = r.has_log ? read_file(cwd + "/tierbox.log") : "";
        return r;
    }
    outcome convert(int layout, texts extra = {})
    {
        extra.insert(extra.begin(), {"-hash", std::to_string(layout), "-path", root});
        return run(extra);
    }
    texts rooted(texts v) const
    {
        for (std::string &l : v)
            l = subst(l, "$R", root);
        return v;
    }
};

texts lines(const std::string &text, const std::string &prefix = "")
{
    texts v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.starts_with(prefix))
            v.push_back(l.substr(prefix == "ERROR: " ? prefix.size() : 0));
    return sorted(v);
}

// Standard output equals the log less its ERROR: marks; the closing line
// and the exit status agree with the errors counted. Returns the errors
// but the closing count.
texts expect_sound(const outcome &r)
{
    EXPECT_TRUE(r.has_log);
    texts errors = lines(r.log, "ERROR: ");
    EXPECT_EQ(subst("\n" + r.log, "\nERROR: ", "\n").substr(1), r.out);
    EXPECT_EQ(r.status == 1 || r.status > 128, !errors.empty()) << r.status << "\n" << r.out;
    std::string closing = "Warning, see tierbox.log, " + std::to_string(errors.size() - 1) + " possibly fatal errors occured";
    if (!errors.empty()) {
        EXPECT_TRUE(r.out.ends_with(closing + "\n")) << r.out;
    }
    std::erase(errors, closing);
    return errors;
}

TEST(E2e, CommandLineStatusAndLog)
{
    std::string deep;  // no fixed limit: a path of nearly 4 KB is used whole
    for (int i = 0; i < 15; i++)
        deep += "/" + std::string(250, 'd');
    struct {
        texts args, box, cwd;  // cwd: planted in the working directory
        int status;
        std::string said;  // a line of standard output, "$R" the root
        bool log;
        texts cwd_after;  // but a log written there
        std::string err = "";
        bool as_stranger = false;  // run by an account, not by root
    } cases[] = {
        {{}, {}, {}, 0, "-doit = Actually perform the operation, by default it just prints what it would do", false, {}},
        {{"-hash", "1", "-\x1b[2J"}, {}, {}, 2, "Invalid option (-\\033[2J)", false, {}},
        {{"-hash", "1", "-path"}, {}, {}, 2, "Missing value for option (-path)", false, {}},
        {{"-hash", "1"}, {}, {}, 2, "Path not specified", true, {}},
        {{"-path", "$R", "-hash", "-1"}, {}, {}, 2, "hash number not specified", true, {}},
        // A spool that cannot be read whole is no success.
        {{"-hash", "1", "-path", "$R/none"}, {}, {}, 1, "Unable to open dir ($R/none) No such file or directory", true, {}},
        {{"-hash", "1", "-path", "$R/f"}, {"f=x"}, {}, 1, "Unable to open dir ($R/f) Not a directory", true, {}},
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe", "c/%000"}, {}, 1, "Unable to open dir ($R/c) Permission denied", true, {},
         "", true},
        {{"-hash", "1", "-path", "$R" + deep}, {deep.substr(1) + "/jdoe"}, {}, 0, "Move $R" + deep + "/jdoe --> $R" + deep + "/c/jdoe",
         true, {}},
        // A log from an earlier run is replaced; a link or a FIFO planted
        // in its place is neither followed nor blocked on, and -doit says so.
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe"}, {"tierbox.log=" + std::string(9999, 'x')}, 0,
         "Processing Directory $R/c", true, {}},
        {{"-hash", "1", "-path", "$R", "-doit"}, {"c/jdoe"}, {"victim=mail", "tierbox.log@victim"}, 0, "Processing Directory $R/c",
         false, {"tierbox.log@victim", "victim=mail"}, "tierbox: cannot open tierbox.log: Too many levels of symbolic links\n"},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {"tierbox.log|"}, 0, "Move $R/jdoe --> $R/c/jdoe", false, {"tierbox.log|"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (c.as_stranger && geteuid() != 0) {
            std::printf("skipped: running as another account needs root\n");
            continue;
        }
        spool s;
        plant(s.root, c.box);
        s.as_stranger = c.as_stranger;
        outcome r = s.run(s.rooted(c.args), 022, c.cwd);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(s.rooted({c.said})[0] + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.has_log, c.log);
        if (r.has_log)
            expect_sound(r);
        texts left = tree(s.cwd);
        std::erase_if(left, [&](const std::string &e) { return r.has_log && e.starts_with("tierbox.log"); });
        EXPECT_EQ(left, c.cwd_after);
        texts box = c.box;
        std::erase_if(box, [](const std::string &e) { return e.ends_with("/%000"); });
        EXPECT_EQ(tree(s.root), sorted(box)) << "a dry run changed the spool";
    }
}

bool other_fs(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev != sb.st_dev;
}

// A dry run changes nothing and reports what -doit then moves; nothing
// existing is ever replaced; copies to another file system ("$O", on
// /dev/shm) keep the mail or leave both sides as they were; a second run
// finds nothing more to move.
TEST(E2e, DryRunThenDoit)
{
    const std::string exdev = "Rename failed Invalid cross-device link";
    const std::string untrusted_c = "Skipping $R/c, owned by neither root nor the spool's owner";
    struct {
        int layout;
        texts extra, box, other;
        texts said;  // dry-run lines but the first, Move and Processing Directory
        texts errors, box_after, other_after;
        size_t again = 0;  // Move lines the second run still prints
        texts moves = {};  // the dry run's Move lines, where they matter
    } cases[] = {
        {1, {}, {"jdoe", "JDoe", "ab", "\xE7", "\xFB", "bob.bin/inbox", "bob.bin/sub/x"}, {},
         {"Processing Bin Directory bob.bin"}, {},
         {"c/jdoe", "c/JDoe", "n/ab", "H/\xE7", "\xFB", "p/bob.bin/inbox", "p/bob.bin/sub/x"}, {}, 1},
        {1, {"-sep", "_"}, {"dom_jdoe", "x_"}, {}, {"Using prefix separator (_)"}, {}, {"c/dom_jdoe", "a/x_"}, {}},
        {0, {}, {"c/jdoe", "n/ab", "p/bob.bin/"}, {}, {"Processing Bin Directory bob.bin"}, {},
         {"jdoe", "ab", "bob.bin/", "c/", "n/", "p/"}, {}},
        {7, {}, {"c/jdoe"}, {}, {}, {}, {"jdoe", "c/"}, {}},
        {2, {}, {"c/jdoe", "q/x_Q", "a_b_c", "dom_"}, {}, {}, {}, {"j/d/jdoe", "Q/x_Q", "b/_/a_b_c", "dom_", "c/", "q/"}, {}, 1},
        {1, {}, {"j/d/jdoe", "a/b/ab", "a/b/c/jdoe", "a/zz/x", "jdoe.Bin/x", "tierbox.log", "c/tierbox.log"}, {},
         {"$R/a/b/c Too deep, can't be email hashing", "Skipping long directory name zz", "Skipping long directory name jdoe.Bin"}, {},
         {"c/jdoe", "c/tierbox.log", "n/ab", "j/d/", "a/b/c/jdoe", "a/zz/x", "jdoe.Bin/x", "tierbox.log"}, {}},
        {1, {}, {"store/jdoe", "x@store", "bob@nowhere"}, {}, {"Skipping long directory name store"}, {},
         {"c/jdoe", "store/", "x@store", "v/bob@nowhere"}, {}},
        {1, {}, {"jdoe", "c/jdoe#jdoe"}, {}, {}, {}, {"c/jdoe", "jdoe"}, {}, 1},  // the same file: nothing to do
        {1, {}, {"jdoe=new", "c/jdoe=old"}, {}, {}, {"Rename failed File exists"}, {"c/jdoe=old", "jdoe=new"}, {}},
        {1, {}, {"jdoe", "c/jdoe@nowhere"}, {}, {}, {"Rename failed File exists"}, {"c/jdoe@nowhere", "jdoe"}, {}},
        {1, {}, {"bob.bin/", "p/bob.bin/"}, {}, {"Processing Bin Directory bob.bin", "Processing Bin Directory bob.bin"},
         {"Rename FAILED File exists $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p/bob.bin/"}, {}},
        {1, {}, {"a\\b"}, {}, {"Skipping $R/a\\b, its path holds a backslash", "Warning, see tierbox.log, 1 possibly fatal errors occured"},
         {"Skipping $R/a\\b, its path holds a backslash"}, {"a\\b"}, {}},
        {1, {}, {"jdoe", "c@$O"}, {}, {}, {}, {"c@$O"}, {"jdoe"}},
        {1, {}, {"jdoe=new", "c@$O"}, {"jdoe=old"}, {},
         {"Cannot copy as dst file exists already $R/c/jdoe Invalid cross-device link", exdev}, {"c@$O", "jdoe=new"}, {"jdoe=old"}},
        {1, {}, {"jdoe=new", "c@$O"}, {"jdoe@/dev/null"}, {},  // a device is never opened
         {"Cannot copy as dst file exists already $R/c/jdoe File exists", exdev}, {"c@$O", "jdoe=new"}, {"jdoe@/dev/null"}},
        {1, {}, {"jdoe|", "c@$O"}, {}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, {"c@$O", "jdoe|"}, {}},
        {1, {}, {"jdoe@/dev/null", "c@$O"}, {}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, {"c@$O", "jdoe@/dev/null"}, {}},
        {1, {}, {"jdoe@nowhere", "c@$O"}, {}, {}, {"Rename failed No such file or directory"}, {"c@$O", "jdoe@nowhere"}, {}},
        {1, {}, {"bob.bin/", "p@$O"}, {}, {"Processing Bin Directory bob.bin"},
         {"Rename FAILED Invalid cross-device link $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p@$O"}, {}},
        // What others own is neither walked, nor moved into, nor copied
        // through; what lies outside the spool stays as it was.
        {1, {}, {"jdoe", "c/!"}, {}, {untrusted_c, untrusted_c, "Warning, see tierbox.log, 2 possibly fatal errors occured"},
         {untrusted_c, untrusted_c}, {"c/", "jdoe"}, {}},
        {1, {}, {"jdoe", "c@$O!"}, {"x=secret"}, {untrusted_c, untrusted_c, "Warning, see tierbox.log, 2 possibly fatal errors occured"},
         {untrusted_c, untrusted_c}, {"c@$O", "jdoe"}, {"x=secret"}},
        {1, {}, {"bob@$O/secret!", "v@$O/v"}, {"secret=shadow%600", "v/"}, {},
         {"Skipping $R/bob, owned by neither root nor the spool's owner", exdev}, {"bob@$O/secret", "v@$O/v"},
         {"secret=shadow", "v/"}},
        {1, {}, {"bob.bin@$O!"}, {"inbox"}, {"Processing Bin Directory bob.bin"}, {}, {"p/bob.bin@$O"}, {"inbox"}},
        // Another program's lock is honoured; a copy that a killed run
        // completed finishes the move.
        {1, {}, {"jdoe", "jdoe.lock=1", "c@$O"}, {}, {"Skipping lock file $R/jdoe.lock"},
         {"Cannot copy $R/jdoe, it is locked by another program", exdev}, {"c@$O", "jdoe", "jdoe.lock=1"}, {}},
        {1, {}, {"jdoe=same", "c@$O"}, {"jdoe=same"}, {}, {}, {"c@$O"}, {"jdoe=same"}},
        // Names cannot forge report lines nor reach the terminal.
        {1, {}, {"a\nERROR: x", "t\tb", "e\x1b[31m", "\xc3\xa9t\xe9"}, {}, {}, {},
         {"k/a\nERROR: x", "p/t\tb", "k/e\x1b[31m", "^/\xc3\xa9t\xe9"}, {}, 0,
         {"Move $R/a\\012ERROR: x --> $R/k/a\\012ERROR: x", "Move $R/t\\011b --> $R/p/t\\011b",
          "Move $R/e\\033[31m --> $R/k/e\\033[31m", "Move $R/\xc3\xa9t\xe9 --> $R/^/\xc3\xa9t\xe9"}},
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
        if (beyond_us(c.box) || beyond_us(c.other)) {
            std::printf("skipped: handing entries to another account needs root\n");
            continue;
        }
        plant(s.root, c.box, other.path);
        plant(other.path, c.other);
        texts before = tree(s.root);
        outcome dry = s.convert(c.layout, c.extra);
        EXPECT_EQ(tree(s.root), before) << "a dry run changed the spool";
        texts said = lines(dry.out.substr(dry.out.find('\n') + 1));
        std::erase_if(said, [](const std::string &l) { return l.starts_with("Move ") || l.starts_with("Processing Directory "); });
        EXPECT_EQ(said, sorted(s.rooted(c.said)));
        if (!c.moves.empty()) {
            EXPECT_EQ(lines(dry.out, "Move "), sorted(s.rooted(c.moves)));
        }
        texts doit = c.extra;
        doit.push_back("-doit");
        outcome r = s.convert(c.layout, doit);
        EXPECT_EQ(lines(r.out, "Move "), lines(dry.out, "Move "));
        EXPECT_EQ(expect_sound(r), sorted(s.rooted(c.errors)));
        texts box_after = c.box_after;
        for (std::string &e : box_after)
            e = subst(e, "$O", other.path);
        EXPECT_EQ(tree(s.root), sorted(box_after));
        EXPECT_EQ(tree(other.path), sorted(c.other_after));
        if (c.errors.empty()) {
            EXPECT_EQ(lines(s.convert(c.layout, doit).out, "Move ").size(), c.again);
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
    check(chmod(src.c_str(), 0640) == 0 && (geteuid() != 0 || chown(src.c_str(), 1234, 4321) == 0), "chown");
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
    EXPECT_EQ(tree(s.root), texts{"c@" + other.path});
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
    texts left = tree(small);
    EXPECT_EQ(std::system(("umount " + small).c_str()), 0);
    EXPECT_EQ(expect_sound(r), texts{"Rename failed No space left on device"});
    EXPECT_EQ(left, texts{});
    EXPECT_EQ(read_file(s.root + "/jdoe"), std::string(1 << 20, 'm'));
}

// Buckets are 0770 less the umask, owned like the directory they are made
// in; a reader of the report that goes away stops neither moves nor log.
TEST(E2e, BucketsAndBrokenReport)
{
    spool s;
    plant(s.root, {"jdoe", "ab"});
    check(chown(s.root.c_str(), 1234, 4321) == 0 || geteuid() != 0, "chown");
    s.in_child = [] {  // standard output: a pipe that nobody reads
        int p[2];
        if (pipe(p) == 0 && close(p[0]) == 0)
            dup2(p[1], 1);
    };
    outcome r = s.run({"-hash", "2", "-path", s.root, "-doit"}, 027);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tierbox: error writing standard output: Broken pipe\n");
    EXPECT_EQ(lines(r.log, "Move ").size(), 2u);
    EXPECT_EQ(tree(s.root), texts({"a/b/ab", "j/d/jdoe"}));
    for (const char *bucket : {"/a", "/j/d"}) {
        struct stat st;
        check(stat((s.root + bucket).c_str(), &st) == 0, "stat");
        EXPECT_EQ(st.st_mode, S_IFDIR | 0750u) << bucket;
        if (geteuid() == 0) {
            EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(1234u, 4321u)) << bucket;
        }
    }
}

std::string drain(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        text.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return text;
}

// The status line and its summary reach the operator's terminal only when
// the report goes elsewhere; the report and the log stay as without them.
TEST(E2e, ProgressOnlyOnTerminal)
{
    struct {
        texts doit;
        bool out_on_tty;  // else only standard error is the terminal
        std::string tty_tail;
    } cases[] = {
        {{}, false, "tierbox: 2 directories, 4 entries, 2 to move, 0 errors\n"},
        {{"-doit"}, false, "tierbox: 2 directories, 4 entries, 2 moved, 0 errors\n"},
        {{}, true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tty_tail);
        spool s;
        plant(s.root, {"jdoe", "ab", "c/jdoe2"});
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0, "pty");
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        check(slave >= 0, "open pty");
        s.in_child = [&] {
            dup2(slave, 2);
            if (c.out_on_tty)
                dup2(slave, 1);
        };
        std::string on_tty;
        s.meanwhile = [&](pid_t) {
            close(slave);
            on_tty = drain(master);  // to EIO, once the run has closed it
            std::erase(on_tty, '\r');  // the terminal's own, and the status line's
        };
        outcome r = s.convert(1, c.doit);
        close(master);
        EXPECT_EQ(lines(r.log, "Move ").size(), 2u);
        EXPECT_EQ(c.out_on_tty ? on_tty : r.out, r.log) << "the report is not the log";
        EXPECT_TRUE(on_tty.ends_with(c.tty_tail)) << on_tty;
    }
}

// Sources and destinations of the Move lines of a log, less the root.
std::map<std::string, std::string> moves_in(const std::string &log, const std::string &root)
{
    std::map<std::string, std::string> m;
    for (const std::string &l : lines(subst(log, root + "/", ""), "Move ")) {
        size_t arrow = l.find(" --> ");
        m[l.substr(5, arrow - 5)] = l.substr(arrow + 5);
    }
    return m;
}

// A signal stops a -doit run between two moves: the report and the log
// are complete and name exactly the moves made, and the same command run
// again finishes the work. A hang-up ignored from the start (nohup) stays
// ignored.
TEST(E2e, InterruptedRunFinishesLater)
{
    const int n = 2000;  // their report fills the output buffer and a pipe
    struct {
        int sig;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.ignored ? ", ignored" : ""));
        spool s;
        texts box;
        for (int i = 0; i < n; i++)
            box.push_back(std::to_string(i) + std::string(120, 'u'));
        plant(s.root, box);
        int p[2];
        check(pipe(p) == 0, "pipe");
        s.in_child = [&] {
            dup2(p[1], 1);
            signal(c.sig, c.ignored ? SIG_IGN : SIG_DFL);
        };
        std::string report;
        // Nothing reads the report until the signal is sent, so the run is
        // still under way then, its first block of report out.
        s.meanwhile = [&](pid_t pid) {
            close(p[1]);
            struct pollfd wait_out = {p[0], POLLIN, 0};
            check(poll(&wait_out, 1, -1) == 1 && kill(pid, c.sig) == 0, "poll, kill");
            report = drain(p[0]);
            close(p[0]);
        };
        outcome r = s.convert(1, {"-doit"});
        r.out = report;
        auto first = moves_in(r.log, s.root);
        if (c.ignored) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(first.size(), size_t{n});
            continue;
        }
        EXPECT_EQ(r.status, 128 + c.sig);
        EXPECT_EQ(expect_sound(r), texts{"Interrupted, run the same command again to finish"});
        EXPECT_GT(first.size(), 0u);
        EXPECT_LT(first.size(), size_t{n});
        s.in_child = [] {};
        s.meanwhile = [](pid_t) {};
        outcome again = s.convert(1, {"-doit"});
        EXPECT_EQ(expect_sound(again), texts{});
        auto all = moves_in(again.log, s.root);
        all.insert(first.begin(), first.end());
        EXPECT_EQ(all.size(), size_t{n}) << "a mailbox moved twice or not at all";
        texts after;
        for (const std::string &b : box)
            after.push_back(all.count(b) ? all[b] : b);
        EXPECT_EQ(tree(s.root), sorted(after));
    }
}

// Others may swap a bucket for their link to a directory outside the spool
// at any moment: every move lands in the bucket that was checked, or is not
// made, and no mailbox is lost.
TEST(E2e, SwappedBucketLeadsNowhere)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "handing a link to another account needs root";
    const int n = 3000;  // "jdoe..." all go to bucket c
    for (int round = 0; round < 4; round++) {
        spool s;
        std::string victim = s.dir.path + "/victim";
        texts box = {"c/", "swap@$O!"}, want;
        for (int i = 0; i < n; i++) {
            box.push_back("jdoe" + std::to_string(i));
            want.push_back(mail_of(box.back()));
        }
        plant(s.root, box, victim);
        plant(victim, {"keep=root's"});
        pid_t swapper = fork();
        check(swapper >= 0, "fork");
        if (swapper == 0)
            for (std::string c = s.root + "/c", w = s.root + "/swap";;)
                renameat2(AT_FDCWD, c.c_str(), AT_FDCWD, w.c_str(), RENAME_EXCHANGE);
        s.convert(1, {"-doit"});
        kill(swapper, SIGKILL);
        waitpid(swapper, nullptr, 0);
        EXPECT_EQ(tree(victim), texts{"keep=root's"});
        texts found;
        for (const fs::directory_entry &e : fs::recursive_directory_iterator(s.root))
            if (e.is_regular_file())
                found.push_back(read_file(e.path()));
        EXPECT_EQ(sorted(found), sorted(want));
    }
}

// Delivers n messages to the mailbox wherever it is, at its old place or its
// new one, locking it as mail programs do: dot-lock, fcntl, flock.
void deliver(const std::string &old_box, const std::string &new_box, int n)
{
    for (int i = 0; i < n; usleep(100)) {
        for (const std::string &box : {new_box, old_box}) {
            std::string dot = box + ".lock", msg = "From " + std::to_string(i) + "\n";
            int d = open(dot.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (d < 0)
                break;
            close(d);
            int fd = open(box.c_str(), O_WRONLY | O_APPEND);
            struct flock fl = {};
            fl.l_type = F_WRLCK;
            bool ok = fd >= 0 && fcntl(fd, F_SETLKW, &fl) == 0 && flock(fd, LOCK_EX) == 0 &&
                      write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size());
            i += ok;
            if (fd >= 0)
                close(fd);
            unlink(dot.c_str());
            if (ok)
                break;
        }
    }
}

// A mailbox that another program holds locked stays where it is until the
// lock goes; mail delivered while a mailbox is copied arrives in it.
TEST(E2e, LockedMailboxWaits)
{
    for (int kind : {0, 1, 2, 3}) {  // fcntl, flock, dot-lock held; a delivery under way
        SCOPED_TRACE(kind);
        spool s;
        scratch other("/dev/shm");
        if (!other_fs(s.root, other.path))
            GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
        std::string box = s.root + "/jdoe", big(kind == 3 ? 16 << 20 : 1, 'm'), want = big;
        plant(s.root, {"jdoe=" + big, "c@" + other.path});
        int fd = open(box.c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        check(kind == 0 ? fcntl(fd, F_SETLK, &fl) == 0 : kind == 1 ? flock(fd, LOCK_EX) == 0 : true, "lock");
        if (kind == 2)
            plant(s.root, {"jdoe.lock="});
        pid_t appender = -1;
        s.meanwhile = [&](pid_t) {
            if (kind == 3 && (appender = fork()) == 0) {
                deliver(box, other.path + "/jdoe", 2000);
                _exit(0);
            }
        };
        outcome r = s.convert(1, {"-doit"});
        close(fd);
        fs::remove(box + ".lock");
        if (kind == 3) {
            check(waitpid(appender, nullptr, 0) == appender, "waitpid");
            for (int i = 0; i < 2000; i++)
                want += "From " + std::to_string(i) + "\n";
            EXPECT_EQ(expect_sound(r), texts{});
            EXPECT_TRUE(read_file(other.path + "/jdoe") == want) << "a message was lost";
            continue;
        }
        EXPECT_EQ(expect_sound(r), s.rooted({"Cannot copy $R/jdoe, it is locked by another program",
                                             "Rename failed Invalid cross-device link"}));
        EXPECT_EQ(expect_sound(s.convert(1, {"-doit"})), texts{});
        EXPECT_EQ(tree(other.path), texts{"jdoe=m"});
    }
}

// Makes every open with O_TMPFILE fail, as on a file system without it.
void refuse_tmpfile()
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(std::size(code)), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) < 0)
        _exit(124);
}

// A run killed at any moment of a copy leaves nothing that the same command
// run again does not finish: the mailbox whole and once, nothing partial,
// no lock, and the record of the copy in the log.
TEST(E2e, KilledCopyFinishesLater)
{
    const std::string big(16 << 20, 'k');
    for (bool tmpfile : {true, false}) {
        for (int ms : {-1, 0, 10, 30, 60, 120}) {  // -1: once the copy has its name
            SCOPED_TRACE(std::to_string(ms) + (tmpfile ? " ms" : " ms, no O_TMPFILE"));
            spool s;
            scratch other("/dev/shm");
            if (!other_fs(s.root, other.path))
                GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
            std::string src = s.root + "/jdoe", dst = other.path + "/jdoe";
            plant(s.root, {"jdoe=" + big, "c@" + other.path});
            s.in_child = [&] {
                if (!tmpfile)
                    refuse_tmpfile();
            };
            s.meanwhile = [&](pid_t pid) {
                for (int i = 0; ms < 0 && i < 500000 && !fs::exists(dst); i++)
                    usleep(10);
                usleep(static_cast<useconds_t>(std::max(ms, 0) * 1000));
                kill(pid, SIGKILL);
            };
            outcome first = s.convert(1, {"-doit"});
            bool both = fs::exists(src) && fs::exists(dst);
            if (fs::exists(dst) || fs::exists(other.path + "/.tierbox-partial.jdoe")) {
                EXPECT_NE(first.log.find("Move " + src + " --> " + s.root + "/c/jdoe\n"), std::string::npos);
            }
            s.meanwhile = [](pid_t) {};
            outcome again = s.convert(1, {"-doit"});
            EXPECT_EQ(expect_sound(again), texts{});
            EXPECT_EQ(again.out.find("Removed " + src + ", its copy " + s.root + "/c/jdoe is complete\n") != std::string::npos,
                      both);
            EXPECT_EQ(tree(s.root), texts{"c@" + other.path});
            texts names;
            for (const fs::directory_entry &e : fs::directory_iterator(other.path))
                names.push_back(e.path().filename());
            EXPECT_EQ(names, texts{"jdoe"});
            EXPECT_TRUE(read_file(dst) == big) << "the mailbox is not whole";
        }
    }
}

}  // namespace

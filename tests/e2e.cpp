// End to end: the built binary on spools made in scratch directories, on
// /tmp and on /dev/shm (another file system here) for moves across them.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using texts = std::vector<std::string>;

// An account that owns nothing here: what it owns in a spool, root must
// not trust.
const uid_t stranger = 4242;

void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

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

texts sorted(texts v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// A tree as sorted texts, one per entry: "d/" an empty directory, "l@target" a link,
// "h#other" a hard link to another entry, "f|" a FIFO, "m=text" a file,
// "m" a mailbox holding mail_of(its name). Once all is planted, an entry
// whose text ends in "!" is handed to the stranger, and one that ends in
// "%NNN" gets that mode.
void plant(const std::string &root, const texts &tree)
{
    std::vector<std::pair<std::string, std::string>> after;
    for (std::string s : tree) {
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
    return sorted(t);
}

// What the files of a tree hold, links not followed: each mailbox once.
texts contents(const std::string &root)
{
    texts found;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root))
        if (!e.is_symlink() && e.is_regular_file())
            found.push_back(read_file(e.path()));
    return sorted(found);
}

struct scratch {
    std::string path;
    explicit scratch(const std::string &base) : path(base + "/tierbox-test.XXXXXX")
    {
        check(mkdtemp(path.data()) != nullptr, "mkdtemp");
    }
    ~scratch()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

struct outcome {
    int status = -1;
    std::string out, err, log;
    bool has_log = false;
};

// A spool root "$R" in a scratch directory, a directory "$O" on /dev/shm for
// moves across file systems, and a fresh working directory for each run of
// the binary, holding what the run is given to find there.
struct spool {
    scratch dir{"/tmp"}, other{"/dev/shm"};
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
        if (as_stranger)
            for (const fs::directory_entry &e : fs::recursive_directory_iterator(dir.path))
                check(lchown(e.path().c_str(), stranger, stranger) == 0, "lchown");
        check(!as_stranger || chown(dir.path.c_str(), stranger, stranger) == 0, "chown");
        // Another account may not reach the build directory (a clone in /root).
        std::string bin = as_stranger ? dir.path + "/tierbox" : TIERBOX_BIN;
        if (as_stranger)
            fs::copy_file(TIERBOX_BIN, bin, fs::copy_options::overwrite_existing);
        args.insert(args.begin(), bin);
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
            l = subst(subst(l, "$R", root), "$O", other.path);
        return v;
    }
    // Whether /tmp and /dev/shm are two file systems here, as copies need.
    bool crossing() const
    {
        struct stat a, b;
        return stat(root.c_str(), &a) == 0 && stat(other.path.c_str(), &b) == 0 && a.st_dev != b.st_dev;
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
    EXPECT_TRUE(errors.empty() || r.out.ends_with(closing + "\n")) << r.out;
    std::erase(errors, closing);
    return errors;
}

// The lock file that a run of root's takes for a directory.
int open_run_lock(const std::string &dir, const std::string &kind)
{
    struct stat st;
    if (stat(dir.c_str(), &st) < 0 || (mkdir("/run/tierbox", 0700) < 0 && errno != EEXIST))
        return -1;
    std::string name = kind + "." + std::to_string(major(st.st_dev)) + "." + std::to_string(minor(st.st_dev)) + "." +
                       std::to_string(st.st_ino);
    return open(("/run/tierbox/" + name).c_str(), O_RDONLY | O_CREAT, 0600);
}

TEST(E2e, CommandLineStatusAndLog)
{
    std::string deep;  // no fixed limit: a path of nearly 4 KB is used whole
    for (int i = 0; i < 15; i++)
        deep += "/" + std::string(250, 'd');
    const std::string busy = "Another run (process $P) is working on $R, try again when it has finished\n";
    struct {
        texts args, box, cwd;  // cwd: planted in the working directory
        int status;
        std::string said;  // lines of standard output; "" for none at all
        bool log;
        texts cwd_after;  // but a log written there
        std::string err = "";
        bool as_stranger = false;  // run by an account, not by root
        char held = 0;  // another run holds the spool ('x' alone, 's' shared) or the log ('.'); anyone the root ('R') or '.' ('W')
        mode_t mask = 022;
    } cases[] = {
        {{}, {}, {}, 0, "-prune = With -doit, remove the bucket directories that the run left empty", false, {}},
        {{"--help"}, {}, {}, 0, "Usage: tierbox -hash n -path /var/spool/mail [-sep _] -doit", false, {}},
        {{"-path", "$R", "-version"}, {}, {}, 0, "tierbox " TIERBOX_VERSION, false, {}},
        {{"-hash", "1", "-\x1b[2J"}, {}, {}, 2, "Invalid option (-\\033[2J)", false, {}},
        {{"-hash", "1", "-Hash"}, {}, {}, 2, "Invalid option (-Hash)", false, {}},
        {{"-hash", "1", "-path", "$R", "-stage", "-doit"}, {}, {}, 2, "Invalid option (-stage)", false, {}},
        {{"-doit", "-path"}, {}, {}, 2, "Missing value for option (-path)", false, {}},
        // A typo in the layout is refused, never read as a number.
        {{"-hash", "x"}, {}, {}, 2, "Invalid value for option (-hash): x", false, {}},
        {{"-path", "$R", "-hash", ""}, {}, {}, 2, "Invalid value for option (-hash): ", false, {}},
        {{"-hash", "1x", "-path", "$R"}, {}, {}, 2, "Invalid value for option (-hash): 1x", false, {}},
        {{"-hash", "99999999999999999999"}, {}, {}, 2, "Invalid value for option (-hash): 99999999999999999999", false, {}},
        {{"-hash", "+1", "-sep", "_x"}, {}, {}, 2, "() to hash 1\nUsing prefix separator (_)\nPath not specified", true, {}},
        {{"-hash", " 2", "-sep", ""}, {}, {}, 2, "() to hash 2\nPath not specified", true, {}},
        {{"-hash", "-7", "-sep", "\xe9", "-path", "$R"}, {}, {}, 2, "to hash -7\nhash number not specified", true, {}},
        {{"-hash", "1", "-hash", "0", "-path", "-doit"}, {}, {}, 1, "Pretending to convert files under (-doit) to hash 0", true, {}},
        // A spool that cannot be read whole is no success.
        {{"-hash", "1", "-path", "$R/none"}, {}, {}, 1, "Unable to open dir ($R/none) No such file or directory", true, {}},
        {{"-hash", "1", "-path", "$R/f"}, {"f=x"}, {}, 1, "Unable to open dir ($R/f) Not a directory", true, {}},
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe", "c/%000"}, {}, 1, "Unable to open dir ($R/c) Permission denied", true, {},
         "", true},
        {{"-hash", "1", "-path", "$R" + deep}, {deep.substr(1) + "/jdoe"}, {}, 0, "Move $R" + deep + "/jdoe --> $R" + deep + "/c/jdoe",
         true, {}},
        // The log is a new file that takes the name: what stood there, a
        // link, a FIFO or another name of a file, is never written through.
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe"}, {"tierbox.log=" + std::string(9999, 'x')}, 0,
         "Processing Directory $R/c", true, {}},
        {{"-hash", "1", "-path", "$R", "-doit"}, {"c/jdoe"}, {"victim=mail", "tierbox.log@victim"}, 0, "Processing Directory $R/c",
         true, {"victim=mail"}},
        {{"-hash", "1", "-path", "$R", "-doit"}, {"c/jdoe"}, {"victim=mail", "tierbox.log#victim"}, 0, "Processing Directory $R/c",
         true, {"victim=mail"}},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {"tierbox.log|"}, 0, "Move $R/jdoe --> $R/c/jdoe", true, {}},
        // One run at a time on a spool, dry runs side by side; one per log.
        {{"-hash", "1", "-path", "$R", "-doit"}, {"jdoe"}, {}, 1, "", false, {}, busy, false, 'x'},
        {{"-hash", "1", "-path", "$R", "-doit"}, {"jdoe"}, {}, 1, "", false, {}, busy, false, 's'},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {}, 0, "Move $R/jdoe --> $R/c/jdoe", true, {}, "", false, 's'},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {}, 1, "", false, {}, "Another run (process $P) is writing tierbox.log here\n", false, '.'},
        // An flock that anyone may take on a directory he can open stops
        // no run; the log is the runner's alone whatever the umask.
        {{"-hash", "1", "-path", "$R", "-doit"}, {"c/jdoe"}, {}, 0, "Processing Directory $R/c", true, {}, "", false, 'R'},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {}, 0, "Move $R/jdoe --> $R/c/jdoe", true, {}, "", false, 'W', 0},
        {{"-hash", "1", "-path", "$R"}, {"jdoe"}, {}, 0, "Move $R/jdoe --> $R/c/jdoe", true, {}, "", false, 0, 0777},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        spool s;
        s.as_stranger = c.as_stranger && geteuid() == 0;  // only root can run it as another
        bool run_lock = c.held != 0 && std::strchr("xs.", c.held) != nullptr;  // root's alone
        if (c.as_stranger != s.as_stranger || (run_lock && geteuid() != 0)) {
            std::printf("skipped: running as another account, or holding root's run lock, needs root\n");
            continue;
        }
        plant(s.root, c.box);
        // Held as another process holds it, through a descriptor the binary inherits.
        s.in_child = [&] {
            std::string dir = c.held == '.' || c.held == 'W' ? "." : s.root;
            int fd = c.held == 0 ? 0 : run_lock ? open_run_lock(dir, c.held == '.' ? "log" : "spool") : open(dir.c_str(), O_RDONLY);
            if (c.held != 0 && (fd < 0 || flock(fd, c.held == 's' ? LOCK_SH : LOCK_EX) < 0))
                _exit(123);
        };
        pid_t pid = 0;
        s.meanwhile = [&](pid_t p) { pid = p; };
        outcome r = s.run(s.rooted(c.args), c.mask, c.cwd);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(c.said.empty() ? r.out.empty() : r.out.find(s.rooted({c.said})[0] + "\n") != std::string::npos) << r.out;
        EXPECT_EQ(r.err, subst(s.rooted({c.err})[0], "$P", std::to_string(pid)));
        EXPECT_EQ(r.has_log, c.log);
        struct stat log;
        EXPECT_TRUE(!r.has_log || (stat((s.cwd + "/tierbox.log").c_str(), &log) == 0 && (log.st_mode & 07777) == 0600));
        if (r.has_log)
            expect_sound(r);
        texts left = tree(s.cwd), box = c.box;
        std::erase_if(left, [&](const std::string &e) { return r.has_log && e.starts_with("tierbox.log"); });
        EXPECT_EQ(left, c.cwd_after);
        std::erase_if(box, [](const std::string &e) { return e.ends_with("/%000"); });
        EXPECT_EQ(tree(s.root), sorted(box)) << "a dry run changed the spool";
    }
}

// Unmounts whatever a case mounted under dir.
void unmount_under(const std::string &dir)
{
    std::ifstream mounts("/proc/self/mounts");
    texts points;
    for (std::string dev, point, rest; mounts >> dev >> point && std::getline(mounts, rest);)
        if (point.starts_with(dir))
            points.push_back(point);
    for (auto p = points.rbegin(); p != points.rend(); ++p)
        check(umount2(p->c_str(), MNT_DETACH) == 0, "umount " + *p);
}

// A dot-lock as a run of ours writes it, left by a boot that is not this one.
std::string earlier_boot_lock()
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return "1 tierbox " + std::string(host) + " 00000000-0000-0000-0000-000000000000\n";
}

// Whether every program that the shell commands cmds start is installed;
// says which is not.
bool have_programs(const std::string &cmds)
{
    std::string sh = "for p in $(echo '" + cmds + "' | grep -oE '(^|&&|[|!]) *[a-z]+' | grep -oE '[a-z]+$'); do " +
                     "command -v $p >/dev/null || { echo \"skipped: $p is not installed\"; exit 1; }; done";
    return std::system(sh.c_str()) == 0;
}

// A dry run changes nothing and reports what -doit then moves, and what it
// will refuse for a taken destination; nothing existing is ever replaced;
// copies to another file system ("$O") keep the mail and what guards it, or
// leave both sides as they were; a last run finds nothing to move.
TEST(E2e, DryRunThenDoit)
{
    signal(SIGIO, SIG_IGN);  // told when the binary asks for a file we lease
    const std::string exdev = "Rename failed Invalid cross-device link", exists = "Cannot copy as dst file exists already $R/c/";
    const std::string c = "Skipping $R/c, owned by neither root nor the spool's owner", n = subst(c, "/c,", "/n,"), t = subst(c, "/c,", "/t,");
    const std::string locked = "Cannot copy $R/jdoe, it is locked by another program", mbyte(1 << 20, 'm');
    const std::string in_use = "Cannot copy $R/jdoe, it is in use by another program", lock = "jdoe.lock=" + earlier_boot_lock();
    const std::string names = "Cannot copy $R/jdoe, it has other names", warn = "Warning, see tierbox.log, 2 possibly fatal errors occured";
    const std::string same = "Cannot move $R/q/od, $R/d/od is the same entry reached another way";
    const std::string ready = "Staged copies: 1 ready, 0 outdated", outdated = "Staged copies: 0 ready, 1 outdated";
    const std::string bound = "Cannot move $R/jdoe, $R/c/jdoe is the same entry reached another way";
    const std::string beyond = "Skipping $R/c, it leads out of the spool to a directory the spool's owner does not own";
    // More mailboxes than a batch holds under a low limit, all bound for c.
    texts many = {"c@$O"}, many_moved, staged_many = {"Staged copies: 40 ready, 0 outdated"};
    for (int i = 100; i < 140; i++) {
        many.push_back("jdoe" + std::to_string(i));
        many_moved.push_back(many.back());
        staged_many.push_back("Staged $R/c/" + many.back());
    }
    struct {
        int layout;
        texts extra, box, other;
        texts said;  // dry-run lines but the first, Move and Processing Directory
        texts errors, box_after, other_after;
        size_t again = 0;  // Move lines the last run still prints
        texts moves = {};  // the dry run's Move lines, where they matter
        int hold = 0;      // F_WRLCK: $R/jdoe locked by fcntl, F_SETLEASE: $R/jdoe.lock leased, till the last run
        std::string setup = "";  // run once all is planted
        std::string check = "";  // must succeed after -doit
        rlim_t fsize = 0;        // a limit on the size of the files the runs write
        std::string staged = "";  // what changes after a first -stage run
        rlim_t nofile = 0;        // a limit on the descriptors the runs hold
    } cases[] = {
        {1, {}, {"jdoe", "JDoe", "ab", "\xE7", "\xFB", "bob.bin/inbox", "bob.bin/sub/x"}, {},
         {"Processing Bin Directory bob.bin"}, {},
         {"c/jdoe", "c/JDoe", "n/ab", "H/\xE7", "\xFB", "p/bob.bin/inbox", "p/bob.bin/sub/x"}, {}, 1},
        {1, {"-sep", "_"}, {"dom_jdoe", "x_"}, {}, {"Using prefix separator (_)"}, {}, {"c/dom_jdoe", "a/x_"}, {}},
        {0, {}, {"c/jdoe", "n/ab", "p/bob.bin/"}, {}, {"Processing Bin Directory bob.bin"}, {},
         {"jdoe", "ab", "bob.bin/", "c/", "n/", "p/"}, {}},
        // -prune removes the buckets the walk left empty, and no other.
        {0, {"-prune"}, {"c/jdoe", "n/ab", "q/x.lock", "k/stuff/!"}, {},
         {"Skipping lock file $R/q/x.lock", "Skipping long directory name stuff"}, {}, {"jdoe", "ab", "q/x.lock", "k/stuff/"}, {}},
        {2, {"-prune"}, {"c/jdoe", "n/ab"}, {}, {}, {}, {"j/d/jdoe", "a/b/ab"}, {}},
        {7, {}, {"c/jdoe"}, {}, {}, {}, {"jdoe", "c/"}, {}},
        {2, {}, {"c/jdoe", "q/x_Q", "a_b_c", "dom_"}, {}, {}, {}, {"j/d/jdoe", "Q/x_Q", "b/_/a_b_c", "dom_", "c/", "q/"}, {}, 1},
        {1, {}, {"j/d/jdoe", "a/b/ab", "a/b/c/jdoe", "a/zz/x", "jdoe.Bin/x", "tierbox.log", "c/tierbox.log"}, {},
         {"$R/a/b/c Too deep, can't be email hashing", "Skipping long directory name zz", "Skipping long directory name jdoe.Bin"}, {},
         {"c/jdoe", "c/tierbox.log", "n/ab", "j/d/", "a/b/c/jdoe", "a/zz/x", "jdoe.Bin/x", "tierbox.log"}, {}},
        {1, {}, {"store/jdoe", "x@store", "bob@nowhere"}, {}, {"Skipping long directory name store"}, {},
         {"c/jdoe", "store/", "x@store", "v/bob@nowhere"}, {}},
        // The same file under two names loses the misplaced one; a taken
        // destination is refused, and the dry run says so first.
        {1, {}, {"jdoe", "c/jdoe#jdoe"}, {}, {}, {}, {"c/jdoe"}, {}},
        {1, {}, {"jdoe1=new", "c/jdoe1=old", "jdoe2", "c/jdoe2@nowhere"}, {}, {"Rename failed File exists", "Rename failed File exists", warn},
         {"Rename failed File exists", "Rename failed File exists"}, {"c/jdoe1=old", "jdoe1=new", "c/jdoe2@nowhere", "jdoe2"}, {}},
        {1, {}, {"bob.bin/", "p/bob.bin/"}, {}, {"Processing Bin Directory bob.bin", "Processing Bin Directory bob.bin",
         "Rename FAILED File exists $R/bob.bin $R/p/bob.bin", "Warning, see tierbox.log, 1 possibly fatal errors occured"},
         {"Rename FAILED File exists $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p/bob.bin/"}, {}},
        {1, {}, {"a\\b"}, {}, {"Skipping $R/a\\b, its path holds a backslash", "Warning, see tierbox.log, 1 possibly fatal errors occured"},
         {"Skipping $R/a\\b, its path holds a backslash"}, {"a\\b"}, {}},
        {1, {}, {"jdoe1=new", "jdoe2=new", "jdoe3|", "jdoe4@/dev/null", "jdoe5@nowhere", "jdoe6@nowhere", "c@$O"},
         {"jdoe1=old", "jdoe2@/dev/null", "jdoe6=old"},
         {exists + "jdoe1 Invalid cross-device link", exists + "jdoe2 File exists", exists + "jdoe6 Invalid cross-device link", exdev,
          exdev, exdev, subst(warn, "2 ", "6 ")},
         {exists + "jdoe1 Invalid cross-device link", exists + "jdoe2 File exists", exists + "jdoe6 Invalid cross-device link",
          "Cannot copy $R/jdoe3, not a regular file", "Cannot copy $R/jdoe4, not a regular file",
          "Rename failed No such file or directory", exdev, exdev, exdev, exdev, exdev},
         {"c@$O", "jdoe1=new", "jdoe2=new", "jdoe3|", "jdoe4@/dev/null", "jdoe5@nowhere", "jdoe6@nowhere"},
         {"jdoe1=old", "jdoe2@/dev/null", "jdoe6=old"}},
        {1, {}, {"bob.bin/", "p@$O"}, {}, {"Processing Bin Directory bob.bin", "Rename FAILED Invalid cross-device link $R/bob.bin $R/p/bob.bin",
         subst(warn, "2 ", "1 ")}, {"Rename FAILED Invalid cross-device link $R/bob.bin $R/p/bob.bin"}, {"bob.bin/", "p@$O"}, {}},
        // Two entries of one name: the first goes ($F), the second ($L) finds its place taken.
        {1, {}, {"x/jdoe", "q/jdoe"}, {}, {"Rename failed File exists", subst(warn, "2 ", "1 ")}, {"Rename failed File exists"},
         {"c/jdoe", "$F/", "$L/jdoe"}, {}},
        {1, {}, {"x/jdoe%600", "q/jdoe", "c@$O"}, {}, {exists + "jdoe Invalid cross-device link", exdev, warn},
         {exists + "jdoe Invalid cross-device link", exdev}, {"c@$O", "$F/", "$L/jdoe"}, {"jdoe"}},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {}, {"Rename failed No space left on device"}, {"c@$O", "jdoe=" + mbyte}, {}, 0, {}, 0,
         "mount -t tmpfs -o size=64k tmpfs $O"},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {}, {"Rename failed File too large"}, {"c@$O", "jdoe=" + mbyte}, {}, 0, {}, 0, "", "",
         64 << 10},
        {1, {}, {"jdoe=x", "c@$O"}, {}, {"Skipping long directory name lost+found"}, {"Cannot copy $R/jdoe, its extended attributes do not fit on $R/c/jdoe", exdev},
         {"c@$O", "jdoe=x"}, {"lost+found/"}, 0, {}, 0,
         "truncate -s 4M $O.img && mkfs.ext4 -q -b 1024 $O.img && mount -o loop $O.img $O && rm $O.img && "
         "python3 -c \"import os; os.setxattr('$R/jdoe', 'user.big', b'x' * 3000)\""},
        // A copy takes what the source takes, and carries its ACL, never
        // one the bucket would hand down.
        {1, {}, {"jdoe=x", "c@$O"}, {}, {}, {}, {"c@$O"}, {"jdoe=x" + std::string((8 << 20) - 1, '\0')}, 0, {}, 0,
         "mount -t tmpfs -o size=64k tmpfs $O && truncate -s 8M $R/jdoe"},
        {1, {}, {"jdoe%600", "ab", "c@$O/c", "n@$O/n"}, {"c/", "n/"}, {}, {}, {"c@$O/c", "n@$O/n"}, {"c/jdoe", "n/ab"}, 0, {}, 0,
         "setfacl -m u:4242:r $R/jdoe && setfacl -d -m u:4242:rw $O/c $O/n",
         "getfacl -cp $O/c/jdoe | grep -qx user:4242:r-- && ! getfacl -cp $O/n/ab | grep -q 4242"},
        {1, {}, {"jdoe", "jdoe2#jdoe", "c@$O"}, {}, {}, {names, subst(names, "jdoe,", "jdoe2,"), exdev, exdev},
         {"jdoe", "jdoe2=From jdoe\n", "c@$O"}, {}},
        // What others own is neither walked, nor moved into, nor copied
        // through, nor is a route that they can steer; what lies outside
        // the spool stays as it was.
        {1, {}, {"jdoe", "c/!", "ab", "n@$O!", "a", "t@$O/x"}, {"x/!", "secret=s"},
         {c, c, n, n, t, t, "Warning, see tierbox.log, 6 possibly fatal errors occured"}, {c, c, n, n, t, t},
         {"c/", "jdoe", "ab", "n@$O", "a", "t@$O/x"}, {"x/", "secret=s"}},
        {1, {}, {"bob@$O/secret!", "v@$O/v"}, {"secret=shadow%600", "v/"}, {},
         {subst(c, "/c,", "/bob,"), exdev}, {"bob@$O/secret", "v@$O/v"},
         {"secret=shadow", "v/"}},
        {1, {}, {"bob.bin@$O!"}, {"inbox"}, {"Processing Bin Directory bob.bin"}, {}, {"p/bob.bin@$O"}, {"inbox"}},
        {1, {}, {"jdoe", "c@$O/g/c"}, {"g/c/", "g/%775"}, {c, c, warn}, {c, c}, {"jdoe", "c@$O/g/c"}, {"g/c/"}},
        {1, {}, {"jdoe", "c@$O/t/c"}, {"t/c@$O/v!", "v/keep"}, {c, c, warn}, {c, c}, {"jdoe", "c@$O/t/c"},
         {"t/c@$O/v", "v/keep"}, 0, {}, 0, "chmod 1777 $O/t"},
        {1, {}, {"../lnk@$O", "r#../lnk"}, {"keep"}, {subst(c, "/c,", "/r,"), subst(warn, "2 ", "1 ")}, {subst(c, "/c,", "/r,")},
         {"r@$O"}, {"keep"}},
        {1, {}, {"q/od", "d@$O/b"}, {}, {same, subst(warn, "2 ", "1 ")}, {same}, {"q/od", "d@$O/b"}, {"b/od"}, 0, {}, 0,
         "mkdir $O/b && mount --bind $R/q $O/b"},
        {1, {}, {"jdoe", "c@$O/c"}, {"c/jdoe=x"}, {bound, subst(warn, "2 ", "1 ")}, {bound}, {"jdoe", "c@$O/c"}, {"c/jdoe"}, 0, {},
         0, "mount --bind $R/jdoe $O/c/jdoe"},
        // A spool owner who is not root leads root only where that owner may go.
        {1, {}, {"jdoe", "c@$O/etc!"}, {"etc/00-base.sh=x"}, {beyond, beyond, warn}, {beyond, beyond}, {"jdoe", "c@$O/etc"},
         {"etc/00-base.sh=x"}, 0, {}, 0, "chown 4242 $R"},
        // Another program's lock, or its hold on the file, is honoured
        // until it goes; a killed run's dot-lock and complete copy are not.
        {1, {}, {"jdoe", "jdoe.lock=1", "c@$O"}, {".tierbox-partial.x=half"}, {"Skipping lock file $R/jdoe.lock"},
         {locked, exdev}, {"c@$O", "jdoe", "jdoe.lock=1"}, {".tierbox-partial.x=half"}},
        {1, {}, {"jdoe", "c@$O"}, {}, {}, {in_use, exdev}, {"c@$O", "jdoe"}, {}, 1, {}, F_WRLCK},
        {1, {}, {"jdoe", lock, ".tierbox-lock.1=" + lock.substr(10), ".tierbox-partial..tierbox-lock.1=" + lock.substr(10), "c@$O"},
         {}, {"Skipping lock file $R/jdoe.lock"}, {}, {"c@$O"}, {"jdoe"}},
        {1, {}, {"jdoe", lock, "c@$O"}, {}, {"Skipping lock file $R/jdoe.lock"}, {locked, exdev}, {"c@$O", "jdoe", lock}, {}, 1, {},
         F_SETLEASE},
        {1, {}, {"jdoe=same", "c@$O"}, {"jdoe=same"}, {}, {}, {"c@$O"}, {"jdoe=same"}},
        // A copy staged ahead is used as far as it still fits, and what
        // others planted or forged never is.
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {"Staged $R/c/jdoe", ready}, {}, {"c@$O"}, {"jdoe=" + mbyte}, 0, {}, 0, "", "", 0, "true"},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {outdated}, {}, {"c@$O"}, {"jdoe=" + mbyte + "tail\n"}, 0, {}, 0, "", "", 0,
         "echo tail >> $R/jdoe"},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {outdated}, {}, {"c@$O"}, {"jdoe=mmmmmXm" + mbyte.substr(7)}, 0, {}, 0,
         "touch -d @1000000000 $R/jdoe", "", 0, "printf X | dd of=$R/jdoe bs=1 seek=5 conv=notrunc && touch -d @1000000000 $R/jdoe"},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {outdated}, {}, {"c@$O"}, {"jdoe=mmm"}, 0, {}, 0, "", "", 0, "truncate -s 3 $R/jdoe"},
        {1, {}, {"jdoe=" + mbyte, "c@$O"}, {}, {outdated}, {}, {"c@$O"}, {"jdoe=new\n"}, 0, {}, 0, "", "", 0,
         "echo new > $R/x && mv $R/x $R/jdoe"},
        {1, {}, {"jdoe=mail", "c@$O"}, {".tierbox-staged.jdoe=forged"}, {}, {}, {"c@$O"}, {"jdoe=mail"}},
        // Batches and their sources retiring fit in few descriptors.
        {1, {}, many, {}, {}, {}, {"c@$O"}, many_moved, 0, {}, 0, "", "", 0, "", 128},
        {1, {}, many, {}, staged_many, {}, {"c@$O"}, many_moved, 0, {}, 0, "", "", 0, "true", 128},
        {1, {}, {"jdoe=mail", "c@$O"}, {".tierbox-staged.jdoe=lies"}, {}, {}, {"c@$O"}, {"jdoe=mail"}, 0, {}, 0,
         "python3 -c \"import os; s = os.stat('$R/jdoe'); os.setxattr('$O/.tierbox-staged.jdoe', 'trusted.tierbox.staged', "
         "b'1 %d %d 4 %d %d %d %d\\\\n' % (s.st_dev, s.st_ino, s.st_mtime_ns // 10**9, s.st_mtime_ns % 10**9, s.st_ctime_ns // 10**9, "
         "s.st_ctime_ns % 10**9))\" && chown 4242 $O/.tierbox-staged.jdoe && chmod 600 $O/.tierbox-staged.jdoe"},
        {1, {}, {"jdoe=same", "stuff/x#jdoe", "c@$O"}, {"jdoe=same"}, {"Skipping long directory name stuff", names, exdev, warn},
         {names, exdev}, {"c@$O", "jdoe=same", "stuff/x=same"}, {"jdoe=same"}},
        {1, {}, {"jdoe=same", "stuff/x#jdoe", "c@$O"}, {"jdoe=sane"}, {"Skipping long directory name stuff", names, exdev, warn},
         {names, exdev}, {"c@$O", "jdoe=same", "stuff/x=same"}, {"jdoe=sane"}},
        // Names cannot forge report lines nor reach the terminal.
        {1, {}, {"a\nERROR: x", "t\tb", "e\x1b[31m", "\xc3\xa9t\xe9", "\xc2\x85x", "a\x9b", "\u202ex", "y\u2069"}, {}, {}, {},
         {"k/a\nERROR: x", "p/t\tb", "k/e\x1b[31m", "^/\xc3\xa9t\xe9", "T/\xc2\x85x", "]/a\x9b", "Q/\u202ex", "N/y\u2069"}, {}, 0,
         {"Move $R/\\342\\200\\256x --> $R/Q/\\342\\200\\256x", "Move $R/y\\342\\201\\251 --> $R/N/y\\342\\201\\251",
          "Move $R/a\\012ERROR: x --> $R/k/a\\012ERROR: x", "Move $R/t\\011b --> $R/p/t\\011b",
          "Move $R/e\\033[31m --> $R/k/e\\033[31m", "Move $R/\xc3\xa9t\xe9 --> $R/^/\xc3\xa9t\xe9",
          "Move $R/\\302\\205x --> $R/T/\\302\\205x", "Move $R/a\\233 --> $R/]/a\\233"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.box) + " " + ::testing::PrintToString(c.other));
        spool s;
        auto any = [](const texts &t, const char *mark) { return std::ranges::any_of(t, [&](const std::string &e) { return e.find(mark) != std::string::npos; }); };
        if ((any(c.box, "@$O") && !s.crossing()) || ((any(c.box, "!") || any(c.other, "!") || !c.setup.empty()) && geteuid() != 0)) {
            std::printf("skipped: needs /tmp and /dev/shm apart, or root\n");
            continue;
        }
        plant(s.root, s.rooted(c.box));
        plant(s.other.path, s.rooted(c.other));
        if (!have_programs(c.setup + " && " + c.check) || (!c.setup.empty() && std::system(s.rooted({c.setup})[0].c_str()) != 0)) {
            std::printf("skipped: this machine cannot run: %s\n", c.setup.c_str());
            unmount_under(s.other.path);
            continue;
        }
        struct rlimit fsize = {c.fsize, c.fsize}, nofile = {c.nofile, c.nofile};
        s.in_child = [&] {
            if ((c.fsize != 0 && setrlimit(RLIMIT_FSIZE, &fsize) < 0) || (c.nofile != 0 && setrlimit(RLIMIT_NOFILE, &nofile) < 0))
                _exit(122);
        };
        if (!c.staged.empty()) {
            outcome staged = s.convert(c.layout, {"-stage"});
            EXPECT_EQ(expect_sound(staged), texts{});
            EXPECT_EQ(tree(s.root), sorted(s.rooted(c.box))) << "staging changed the spool";
            check(std::system(s.rooted({c.staged})[0].c_str()) == 0, c.staged.c_str());
        }
        texts before = tree(s.root);
        outcome dry = s.convert(c.layout, c.extra);
        EXPECT_EQ(tree(s.root), before) << "a dry run changed the spool";
        texts said = lines(dry.out.substr(dry.out.find('\n') + 1));
        std::erase_if(said, [](const std::string &l) { return l.starts_with("Move ") || l.starts_with("Processing Directory "); });
        EXPECT_EQ(said, sorted(s.rooted(c.said)));
        EXPECT_TRUE(c.moves.empty() || lines(dry.out, "Move ") == sorted(s.rooted(c.moves))) << dry.out;
        texts from;  // the directories of the dry run's Move lines, in order
        for (size_t at = 0; (at = dry.out.find("\nMove " + s.root + "/", at)) != std::string::npos; at++)
            from.push_back(dry.out.substr(at + 7 + s.root.size(), dry.out.find('/', at + 7 + s.root.size()) - at - 7 - s.root.size()));
        texts box_after = s.rooted(c.box_after);
        for (std::string &l : box_after)
            l = from.empty() ? l : subst(subst(l, "$F", from.front()), "$L", from.back());
        texts doit = c.extra;
        doit.push_back("-doit");
        // Taken last: closing any descriptor of the file drops an fcntl lock.
        // Held through the run only: the lease would hold up our own reads.
        int held = c.hold == 0 ? -1 : open((s.root + (c.hold == F_SETLEASE ? "/jdoe.lock" : "/jdoe")).c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        check(c.hold == 0 || (c.hold == F_WRLCK ? fcntl(held, F_SETLK, &fl) : fcntl(held, F_SETLEASE, F_WRLCK)) == 0, "hold");
        outcome r = s.convert(c.layout, doit);
        if (held >= 0)
            close(held);  // before a read of ours waits on our own lease
        EXPECT_EQ(lines(r.out, "Move "), lines(dry.out, "Move "));
        EXPECT_EQ(expect_sound(r), sorted(s.rooted(c.errors)));
        EXPECT_EQ(tree(s.root), sorted(box_after));
        EXPECT_EQ(tree(s.other.path), sorted(s.rooted(c.other_after)));
        EXPECT_TRUE(c.check.empty() || std::system(s.rooted({c.check})[0].c_str()) == 0) << c.check;
        if (c.errors.empty() || c.hold != 0) {
            outcome again = s.convert(c.layout, doit);
            EXPECT_EQ(expect_sound(again), texts{});
            EXPECT_EQ(lines(again.out, "Move ").size(), c.again);
        }
        unmount_under(s.other.path);
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

// The report goes to a file ('f'), a pipe that nobody reads ('p') or the
// operator's terminal ('t'): a status line reaches the terminal only while
// the report goes elsewhere, and the closing counts whenever it can; a
// reader that goes away stops neither the moves nor the log; and buckets
// are made like the directory they are made in, its mode whatever the umask.
TEST(E2e, ReportElsewhere)
{
    struct {
        texts args;
        char out, err;
        std::string tail;  // of standard error, on the terminal or not
        texts after;
        mode_t mode;  // of the root
    } cases[] = {
        {{"-hash", "2", "-doit"}, 'p', 'f', "tierbox: error writing standard output: Broken pipe\n",
         {"a/b/ab", "c/", "j/d/jdoe", "j/d/jdoe2"}, 02775},
        {{"-hash", "1"}, 'f', 't', "tierbox: 2 directories, 4 entries, 2 to move, 0 errors\n", {"ab", "c/jdoe2", "jdoe"}, 0770},
        {{"-hash", "1", "-doit"}, 'f', 't', "tierbox: 2 directories, 4 entries, 2 moved, 0 errors\n", {"c/jdoe", "c/jdoe2", "n/ab"},
         01777},
        {{"-hash", "1"}, 't', 't', "tierbox: 2 directories, 4 entries, 2 to move, 0 errors\n", {"ab", "c/jdoe2", "jdoe"}, 0770},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.tail);
        spool s;
        plant(s.root, {"jdoe", "ab", "c/jdoe2"});
        check((chown(s.root.c_str(), 1234, 4321) == 0 || geteuid() != 0) && chmod(s.root.c_str(), c.mode) == 0, "chown");
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), p[2];
        check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && pipe(p) == 0, "pty, pipe");
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        s.in_child = [&] {
            close(p[0]);
            if (c.out != 'f')
                dup2(c.out == 'p' ? p[1] : slave, 1);
            if (c.err == 't')
                dup2(slave, 2);
        };
        std::string on_tty;
        s.meanwhile = [&](pid_t) {
            close(slave);
            close(p[0]);
            close(p[1]);
            on_tty = drain(master);  // to EIO, once the run has closed it
            std::erase(on_tty, '\r');  // the terminal's own, and the status line's
        };
        c.args.insert(c.args.end(), {"-path", s.root});
        outcome r = s.run(c.args, 027);
        close(master);
        EXPECT_EQ(r.status, c.out == 'p');
        EXPECT_EQ(lines(r.log, "Move ").size(), c.out == 'p' ? 3u : 2u);
        std::string report = c.out == 't' ? on_tty.substr(0, on_tty.size() - c.tail.size()) : c.out == 'p' ? r.log : r.out;
        EXPECT_EQ(report, r.log) << "the report is not the log";
        EXPECT_TRUE((c.err == 't' ? on_tty : r.err).ends_with(c.tail)) << on_tty << r.err;
        EXPECT_EQ(tree(s.root), c.after);
        for (const fs::directory_entry &e : fs::recursive_directory_iterator(s.root)) {
            struct stat st;
            check(stat(e.path().c_str(), &st) == 0, "stat");
            if (S_ISDIR(st.st_mode) && e.path().filename() != "c") {
                EXPECT_EQ(st.st_mode, S_IFDIR | c.mode) << e.path();
                EXPECT_TRUE(geteuid() != 0 || (st.st_uid == 1234 && st.st_gid == 4321)) << e.path();
            }
        }
    }
}

// A signal stops a -doit run between two moves: the report and the log
// are complete and name exactly the moves made, the terminal is told, and
// the same command run again finishes the work. A hang-up ignored from the
// start (nohup) stays ignored.
TEST(E2e, InterruptedRunFinishesLater)
{
    const size_t n = 2000;  // their report fills the output buffer and a pipe
    struct {
        int sig;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.ignored ? ", ignored" : ""));
        spool s;
        texts box, want;
        for (size_t i = 0; i < n; i++) {
            box.push_back(std::to_string(i) + std::string(120, 'u'));
            want.push_back(mail_of(box.back()));
        }
        plant(s.root, box);
        int p[2], master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(pipe(p) == 0 && master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0, "pipe, pty");
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        s.in_child = [&] {
            dup2(p[1], 1);
            dup2(slave, 2);  // the operator's terminal
            signal(c.sig, c.ignored ? SIG_IGN : SIG_DFL);
        };
        std::string report, on_tty;
        // Nothing reads the report until the signal is sent, so the run is
        // still under way then, its first block of report out.
        s.meanwhile = [&](pid_t pid) {
            close(p[1]);
            close(slave);
            struct pollfd wait_out = {p[0], POLLIN, 0};
            check(poll(&wait_out, 1, -1) == 1 && kill(pid, c.sig) == 0, "poll, kill");
            report = drain(p[0]);
            close(p[0]);
            on_tty = drain(master);
            close(master);
        };
        outcome r = s.convert(1, {"-doit"});
        r.out = report;
        EXPECT_EQ(on_tty.ends_with("; interrupted, run the same command again to finish\r\n"), !c.ignored) << on_tty;
        size_t left = 0;
        for (const fs::directory_entry &e : fs::directory_iterator(s.root))
            left += e.is_regular_file();
        EXPECT_EQ(r.status, c.ignored ? 0 : 128 + c.sig);
        EXPECT_EQ(lines(r.log, "Move ").size(), n - left) << "the log does not name the moves made";
        EXPECT_EQ(expect_sound(r), c.ignored ? texts{} : texts{"Interrupted, run the same command again to finish"});
        EXPECT_TRUE(c.ignored ? left == 0 : left > 0 && left < n) << left;
        s.in_child = [] {};
        s.meanwhile = [](pid_t) {};
        outcome again = s.convert(1, {"-doit"});
        EXPECT_EQ(expect_sound(again), texts{});
        EXPECT_EQ(lines(again.log, "Move ").size(), left);
        EXPECT_EQ(contents(s.root), sorted(want)) << "a mailbox moved twice or not at all";
    }
}

// Others may swap a bucket for their link to a directory outside the spool,
// or move it out of the spool, at any moment, and root may mount a file
// system over it or detach the one it is: every move lands in the bucket
// that was checked and still stands in the spool, or is not made, and no
// mailbox is lost.
TEST(E2e, SwappedBucketLeadsNowhere)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "handing a link to another account needs root";
    for (int round = 0; round < 8; round++) {
        // Moved out once, after the first moves into it; mounted over; or
        // a mount of its own, detached, after the first copy into it.
        bool away = round == 4 || round == 5, over = round == 6, detach = round == 7;
        SCOPED_TRACE(round);
        spool s;
        texts box = {"c/", "swap@" + s.other.path + "!"}, want;
        for (int i = 0; i < 3000; i++) {  // "jdoe..." all go to bucket c
            box.push_back("jdoe" + std::to_string(i));
            want.push_back(mail_of(box.back()));
        }
        plant(s.root, box);
        plant(s.other.path, {"keep=root's"});
        std::string c = s.root + "/c", w = s.root + "/swap", out = s.dir.path + "/away";
        std::string probe = detach ? c : s.dir.path + "/m";  // a try for over
        fs::create_directories(probe);
        if ((over || detach) &&
            (mount("tmpfs", probe.c_str(), "tmpfs", 0, nullptr) != 0 || (over && umount2(probe.c_str(), 0) != 0))) {
            std::printf("skipped: cannot mount a tmpfs here\n");
            continue;
        }
        // The directory that c is now, as it will be once covered or detached.
        int was = open(c.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string held = "/proc/self/fd/" + std::to_string(was);
        // What went in before it left may stay with it; nothing after. A run
        // is held up by a report that nobody reads till the mount is changed.
        int p[2];
        check(pipe2(p, O_CLOEXEC) == 0, "pipe");
        s.in_child = [&] { dup2(p[1], 1); };
        auto leave = [&](pid_t run) {
            while (fs::is_empty(c))
                ;
            check(run == 0 || (kill(run, SIGSTOP) == 0 && waitpid(run, nullptr, WUNTRACED) == run), "stop");
            if (away ? rename(c.c_str(), out.c_str()) != 0 : over ? mount("tmpfs", c.c_str(), "tmpfs", 0, nullptr) != 0
                                                               : umount2(c.c_str(), MNT_DETACH) != 0)
                _exit(1);
            std::ofstream taken(s.dir.path + "/taken");
            for (const std::string &m : contents(away ? out : held))
                taken << m;
            check(run == 0 || kill(run, SIGCONT) == 0, "continue");
            close(p[1]);
            if (run != 0)
                drain(p[0]);
        };
        if (over || detach)
            s.meanwhile = leave;
        else
            s.in_child = [] {};
        pid_t swapper = round >= 6 ? 1 : fork();
        check(swapper >= 0, "fork");
        if (swapper == 0 && away) {
            leave(0);
            _exit(0);
        }
        if (swapper == 0)
            for (;;)
                renameat2(AT_FDCWD, c.c_str(), AT_FDCWD, w.c_str(), RENAME_EXCHANGE);
        s.convert(1, {"-doit"});
        if (round < 4)
            kill(swapper, SIGKILL);
        if (round < 6)
            waitpid(swapper, nullptr, 0);
        EXPECT_EQ(tree(s.other.path), texts{"keep=root's"});
        texts found = contents(s.root);
        if (over)
            unmount_under(c);
        texts left = away && fs::exists(out) ? contents(out) : over || detach ? contents(held) : texts{};
        close(was);
        close(p[0]);
        texts taken = lines(read_file(s.dir.path + "/taken"));
        for (const std::string &m : left)
            EXPECT_TRUE(std::ranges::binary_search(taken, m.substr(0, m.size() - 1))) << m << " went into a bucket that had left";
        found.insert(found.end(), left.begin(), left.end());
        EXPECT_EQ(sorted(found), sorted(want));
    }
}

// Delivers n messages to the mailbox wherever it is, at its old place or its
// new one, locking it as mail programs do: dot-lock, fcntl, flock; or, as
// some do, opening it first, then waiting for the fcntl lock, then for the
// dot-lock.
void deliver(const std::string &old_box, const std::string &new_box, int n, bool open_first)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    for (int i = 0; i < n; usleep(100)) {
        for (const std::string &box : {new_box, old_box}) {
            std::string dot = box + ".lock", msg = "From " + std::to_string(i) + "\n";
            int fd = open_first ? open(box.c_str(), O_WRONLY | O_APPEND) : -1, d;
            if (open_first && (fd < 0 || fcntl(fd, F_SETLKW, &fl) < 0)) {
                close(fd);
                continue;
            }
            while ((d = open(dot.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) < 0 && open_first)
                usleep(100);
            if (d < 0 || close(d) < 0)
                break;
            if (!open_first)
                fd = open(box.c_str(), O_WRONLY | O_APPEND);
            bool ok = fd >= 0 && fcntl(fd, F_SETLKW, &fl) == 0 && flock(fd, LOCK_EX) == 0 &&
                      write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size());
            i += ok;
            close(fd);
            unlink(dot.c_str());
            if (ok)
                break;
        }
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

// What a copy must keep of a mailbox.
auto kept(const std::string &path)
{
    struct stat st;
    check(stat(path.c_str(), &st) == 0, "stat " + path);
    return std::tuple(st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                      st.st_atim.tv_sec, st.st_atim.tv_nsec);
}

// A run killed at any moment of a copy leaves nothing that the same command
// run again does not finish: the mailbox whole and once, with its owner,
// mode and times, nothing partial, no lock, and the record of the copy in
// the log. A run asked to stop abandons the copy under way whole, and so
// does one whose source another program opens; mail delivered meanwhile,
// as mail programs deliver it, arrives in one mailbox; a partial copy that
// others exchange for their file never takes the mailbox's name.
TEST(E2e, KilledCopyFinishesLater)
{
    const std::string big(16 << 20, 'k');
    const struct timespec times[2] = {{1000000000, 111}, {1200000000, 222}};
    for (bool tmpfile : {true, false}) {
        // -1: once the copy has its name; -2, -3: amid it, SIGTERM or not; -4: amid it, written to without a
        // lock; -5, -6: no kill, but 2,000 messages delivered meanwhile, dot-lock first or open first; -7: the
        // partial copy exchanged for another's file; -8: written to, once it has its name, through the old name
        for (int ms : {-8, -7, -6, -5, -4, -3, -2, -1, 0, 10, 30, 60, 120}) {
            SCOPED_TRACE(std::to_string(ms) + (tmpfile ? " ms" : " ms, no O_TMPFILE"));
            spool s;
            if (!s.crossing())
                GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
            bool delivery = ms == -5 || ms == -6, amid = (ms < -1 && ms > -5) || ms == -7;
            if (amid && tmpfile)
                continue;  // an unnamed copy cannot be seen under way
            std::string src = s.root + "/jdoe", dst = s.other.path + "/jdoe", partial = s.other.path + "/.tierbox-partial.jdoe";
            std::string evil = s.other.path + "/zz/evil";  // where the walk does not go
            plant(s.root, {"jdoe=" + big + "%640", "c@" + s.other.path});
            plant(s.other.path, ms == -7 ? texts{"zz/evil=evil%666"} : texts{});
            check((geteuid() != 0 || chown(src.c_str(), 1234, 4321) == 0) && utimensat(AT_FDCWD, src.c_str(), times, 0) == 0,
                  "chown, utimensat");
            auto was = kept(src);
            std::string whole = big + (ms == -4 || ms == -8 ? "x" : "");
            pid_t appender = -1;
            bool late = false;
            s.in_child = [&] {
                if (!tmpfile)
                    refuse_tmpfile();
            };
            s.meanwhile = [&](pid_t pid) {
                if (delivery && (appender = fork()) == 0) {
                    deliver(src, dst, 2000, ms == -6);
                    _exit(0);
                }
                for (int i = 0; (amid || ms == -1 || ms == -8) && i < 500000 && !fs::exists(amid ? partial : dst); i++)
                    usleep(10);
                // Appended to, and -8 rewritten in place as deliverers keep
                // their books; late, the old name is gone and nothing written.
                int fd = ms == -4 || ms == -8 ? open(src.c_str(), O_WRONLY) : -1;
                late = fd < 0 && ms == -8;
                off_t end = static_cast<off_t>(big.size());
                if (fd >= 0 && (pwrite(fd, "x", 1, end) != 1 || (ms == -8 && pwrite(fd, "K", 1, 0) != 1) || close(fd) != 0))
                    ADD_FAILURE() << "cannot write to the mailbox";
                if (ms == -7)
                    renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, evil.c_str(), RENAME_EXCHANGE);
                if (ms <= -4)
                    return;
                usleep(static_cast<useconds_t>(std::max(ms, 0) * 1000));
                kill(pid, ms == -2 ? SIGTERM : SIGKILL);
            };
            outcome first = s.convert(1, {"-doit"});
            // The source set aside by a run killed just before its removal counts as the source.
            bool both = (fs::exists(src) || fs::exists(s.root + "/.tierbox-old.jdoe")) && fs::exists(dst);
            EXPECT_TRUE((!fs::exists(dst) && !fs::exists(partial)) ||
                        first.log.find("Move " + src + " --> " + s.root + "/c/jdoe\n") != std::string::npos) << "no record of the copy";
            if (ms == -2) {
                EXPECT_EQ(first.status, 128 + SIGTERM);
                EXPECT_TRUE(kept(src) == was && !fs::exists(dst) && !fs::exists(partial)) << "the copy stopped is not undone";
            }
            const texts refused = {"Cannot copy " + src + ", it is in use by another program", "Rename failed Invalid cross-device link"};
            if (ms == -4) {
                EXPECT_EQ(expect_sound(first), refused);
                was = kept(src);
            }
            if (ms == -7) {
                EXPECT_EQ(expect_sound(first), sorted({"Cannot copy " + src + ", another file took the name " + s.root + "/c/jdoe",
                                                       refused[1]}));
                EXPECT_TRUE(read_file(dst) == "evil" && kept(src) == was) << "the exchanged file took the mailbox's place";
                both = fs::remove(dst) && fs::remove_all(s.other.path + "/zz") && false;
            }
            if (ms == -8) {
                EXPECT_EQ(expect_sound(first), texts{});
                EXPECT_EQ(first.out.find("Added to " + s.root + "/c/jdoe what was written to " + src + " after it was copied\n") ==
                              std::string::npos, late) << first.out;
                whole = late ? big : "K" + big.substr(1) + "x";
                was = kept(dst);
            }
            for (int i = 0; delivery && i < 2000; i++)
                whole += "From " + std::to_string(i) + "\n";
            if (delivery) {
                check(waitpid(appender, nullptr, 0) == appender, "waitpid");
                texts errors = expect_sound(first);
                EXPECT_TRUE(errors.empty() || (ms == -6 && errors == refused)) << ::testing::PrintToString(errors);
                was = kept(fs::exists(dst) ? dst : src);
            }
            s.meanwhile = [](pid_t) {};
            outcome again = s.convert(1, {"-doit"});
            EXPECT_EQ(expect_sound(again), texts{});
            EXPECT_EQ(again.out.find("Removed " + src + ", its copy " + s.root + "/c/jdoe is complete\n") != std::string::npos,
                      both);
            EXPECT_EQ(tree(s.root), texts{"c@" + s.other.path});
            EXPECT_EQ(std::distance(fs::directory_iterator(s.other.path), fs::directory_iterator()), 1);
            EXPECT_EQ(kept(dst), was);  // before reading it, which may touch its access time
            EXPECT_TRUE(read_file(dst) == whole) << "the mailbox is not whole";
        }
    }
}

}  // namespace

// Moves whose bucket lies on another file system: the spool on /tmp, its
// bucket a link to a directory on /dev/shm or on a small tmpfs.

#include "e2e_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

using namespace e2e;

namespace {

class CrossFs : public ::testing::Test {
protected:
    spool s;
    temp_dir other{"/dev/shm"};

    void SetUp() override
    {
        if (lstat_of(s.root).st_dev == lstat_of(other.path).st_dev)
            GTEST_SKIP() << s.root << " and " << other.path << " are on one file system";
        plant(s.root, {{"c@", other.path}, {"p@", other.path}});
    }
};

TEST_F(CrossFs, CopyKeepsContentOwnerModeAndTimes)
{
    std::string src = s.root + "/jdoe", dst = other.path + "/jdoe";
    std::string mail;
    for (int i = 0; mail.size() < 200000; i++)
        mail += "From jdoe " + std::to_string(i) + "\n";
    write_file(src, mail, 0640);
    if (geteuid() == 0)
        check(chown(src.c_str(), 1234, 4321) == 0, "chown " + src);
    const struct timespec times[2] = {{1000000000, 111}, {1200000000, 222}};
    check(utimensat(AT_FDCWD, src.c_str(), times, 0) == 0, "utimensat " + src);
    auto kept = [](const struct stat &st) {
        return std::tuple(st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                          st.st_atim.tv_sec, st.st_atim.tv_nsec);
    };
    auto was = kept(lstat_of(src));

    outcome r = s.convert(1, true);
    expect_sound(r);
    EXPECT_FALSE(exists(src)) << "the source is still there";
    EXPECT_EQ(kept(lstat_of(dst)), was);
    EXPECT_EQ(read_file(dst), mail);
}

struct refused_case {
    tree_map spool, other;
    std::vector<std::string> errors;  // "$R" the root
    bool perror;  // the failed open is also told on standard error
};

TEST_F(CrossFs, RefusedCopiesLeaveBoth)
{
    const std::string exdev = "Rename failed Invalid cross-device link";
    const refused_case cases[] = {
        {{{"jdoe", "new"}}, {{"jdoe", "old"}},
         {"Cannot copy as dst file exists already $R/c/jdoe Invalid cross-device link", exdev}, false},
        {{{"jdoe", "new"}}, {{"jdoe@", "nowhere"}},
         {"Cannot copy as dst file exists already $R/c/jdoe File exists", exdev}, false},
        {{{"jdoe", "new"}}, {{"jdoe@", "/dev/null"}},  // a device is never opened
         {"Cannot copy as dst file exists already $R/c/jdoe File exists", exdev}, false},
        {{{"jdoe|", ""}}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, false},
        {{{"jdoe@", "/dev/null"}}, {}, {"Cannot copy $R/jdoe, not a regular file", exdev}, false},
        {{{"jdoe@", "nowhere"}}, {}, {"Rename failed No such file or directory"}, true},
        {{{"bob.bin/inbox", "new"}}, {}, {"Rename FAILED Invalid cross-device link $R/bob.bin $R/p/bob.bin"}, false},
    };
    for (const refused_case &c : cases) {
        SCOPED_TRACE(c.errors[0]);
        temp_dir sub(other.path);
        spool t;
        plant(t.root, {{"c@", sub.path}, {"p@", sub.path}});
        plant(t.root, c.spool);
        plant(sub.path, c.other);
        tree_map root_before = tree(t.root), other_before = tree(sub.path);
        outcome r = t.convert(1, true);
        expect_sound(r);
        EXPECT_EQ(errors(r), rooted_all(t.root, c.errors));
        EXPECT_EQ(r.err.empty(), !c.perror) << r.err;
        EXPECT_EQ(tree(t.root), root_before);
        EXPECT_EQ(tree(sub.path), other_before);
    }
}

// A copy that runs out of space leaves no partial mailbox and keeps the source.
TEST(CrossFsFull, FailedCopyLeavesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    spool s;
    std::string small = s.dir.path + "/small";
    check(mkdir(small.c_str(), 0700) == 0, "mkdir " + small);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs " + small).c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    plant(s.root, {{"c@", small}});
    std::string mail(1 << 20, 'm');
    write_file(s.root + "/jdoe", mail);

    outcome r = s.convert(1, true);
    tree_map left = tree(small);
    EXPECT_EQ(std::system(("umount " + small).c_str()), 0);
    expect_sound(r);
    EXPECT_EQ(errors(r), std::vector<std::string>{"Rename failed No space left on device"});
    EXPECT_EQ(left, tree_map{}) << "a partial copy was left";
    EXPECT_EQ(read_file(s.root + "/jdoe"), mail);
}

}  // namespace

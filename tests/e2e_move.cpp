// Runs with -doit on one file system: conversions between layouts,
// collisions, and the buckets made on the way.

#include "e2e_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace e2e;

namespace {

struct convert_case {
    int layout;
    std::vector<std::string> extra;
    std::vector<std::string> before, after;  // as for boxes()
};

// Every mailbox ends in its place with its content, the moves match the
// dry run, and a second run finds nothing to move.
TEST(Doit, ConvertsBetweenLayouts)
{
    const convert_case cases[] = {
        {1, {}, {"jdoe", "JDoe", "ab", "bob.bin/inbox", "bob.bin/sub/x"},
         {"c/jdoe", "c/JDoe", "n/ab", "p/bob.bin/inbox", "p/bob.bin/sub/x"}},
        {1, {"-sep", "_"}, {"dom_jdoe", "org_ab"}, {"c/dom_jdoe", "n/org_ab"}},
        {0, {}, {"c/jdoe", "n/ab", "p/bob.bin/inbox"}, {"jdoe", "ab", "bob.bin/inbox", "c/", "n/", "p/"}},
        {2, {}, {"c/jdoe", "c/JDoe", "q/x_Q"}, {"j/d/jdoe", "J/D/JDoe", "Q/x_Q", "c/", "q/"}},
        {1, {}, {"j/d/jdoe", "Q/x_Q", "a/b/ab"}, {"c/jdoe", "q/x_Q", "n/ab", "j/d/", "Q/", "a/b/"}},
        {2, {}, {"jdoe", "dom_", "bob.bin/inbox"}, {"j/d/jdoe", "dom_", "b/o/bob.bin/inbox"}},
        {1, {}, {"store/jdoe", "x@store", "bob@nowhere"}, {"c/jdoe", "store/", "x@store", "v/bob@nowhere"}},
    };
    for (const convert_case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.before));
        spool s;
        plant(s.root, boxes(c.before));
        outcome dry = s.convert(c.layout, false, c.extra);
        outcome first = s.convert(c.layout, true, c.extra);
        outcome second = s.convert(c.layout, true, c.extra);
        for (const outcome *r : {&dry, &first, &second})
            expect_sound(*r);
        EXPECT_EQ(first.status, 0);
        EXPECT_EQ(lines(first.out, "Move "), lines(dry.out, "Move "));
        EXPECT_EQ(tree(s.root), boxes(c.after));
        // "dom_" belongs in root//dom_, which is where it is: reported, not moved.
        for (const std::string &l : lines(second.out, "Move "))
            EXPECT_EQ(l, rooted(s.root, "Move $R/dom_ --> $R//dom_"));
    }
}

TEST(Doit, RelativeRootAndBackslashBucket)
{
    spool s;
    plant(s.root, boxes({"jdoe", "\xFB"}));
    outcome r = s.run({"-hash", "1", "-path", "../spool", "-doit"});
    expect_sound(r);
    EXPECT_EQ(tree(s.root), boxes({"c/jdoe", "\xFB"}));
}

// An existing destination is never replaced; both entries stay.
TEST(Doit, CollisionsRefused)
{
    const std::pair<tree_map, std::string> cases[] = {
        {{{"jdoe", "new"}, {"c/jdoe", "old"}}, "Rename failed File exists"},
        {{{"jdoe", "new"}, {"c/jdoe@", "nowhere"}}, "Rename failed File exists"},
        {{{"bob.bin/inbox", "new"}, {"p/bob.bin/inbox", "old"}}, "Rename FAILED File exists $R/bob.bin $R/p/bob.bin"},
        {{{"bob.bin/", ""}, {"p/bob.bin/", ""}}, "Rename FAILED File exists $R/bob.bin $R/p/bob.bin"},
    };
    for (const auto &[spool_tree, error] : cases) {
        SCOPED_TRACE(error);
        spool s;
        plant(s.root, spool_tree);
        outcome r = s.convert(1, true);
        expect_sound(r);
        EXPECT_EQ(errors(r), std::vector<std::string>{rooted(s.root, error)});
        EXPECT_EQ(tree(s.root), spool_tree);
    }
}

TEST(Doit, SameFileInBothPlacesIsNoError)
{
    spool s;
    plant(s.root, boxes({"jdoe", "c/"}));
    check(link((s.root + "/jdoe").c_str(), (s.root + "/c/jdoe").c_str()) == 0, "link");
    outcome r = s.convert(1, true);
    expect_sound(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(tree(s.root), boxes({"jdoe", "c/jdoe"}));
}

// A reader that goes away does not stop the moves nor cut the log short.
TEST(Doit, ReportReaderGone)
{
    spool s;
    plant(s.root, boxes({"jdoe", "ab", "bob"}));
    temp_dir cwd;
    outcome r = run_tool({"-hash", "1", "-path", s.root, "-doit"}, cwd.path, 022, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tierbox: error writing standard output: Broken pipe\n");
    EXPECT_EQ(lines(r.log, "Move ").size(), 3u);
    EXPECT_EQ(tree(s.root), boxes({"c/jdoe", "n/ab", "v/bob"}));
}

// Buckets made by root are 0770 less the umask, owned like their parent.
TEST(Doit, BucketsModeAndOwner)
{
    spool s;
    plant(s.root, boxes({"jdoe"}));
    bool root = geteuid() == 0;
    if (root)
        check(chown(s.root.c_str(), 1234, 4321) == 0, "chown " + s.root);
    outcome r = s.run({"-hash", "2", "-path", s.root, "-doit"}, 027);
    expect_sound(r);
    for (const char *bucket : {"/j", "/j/d"}) {
        struct stat st = lstat_of(s.root + bucket);
        EXPECT_EQ(st.st_mode, S_IFDIR | 0750) << bucket;
        if (!root)
            continue;
        EXPECT_EQ(st.st_uid, 1234u) << bucket;
        EXPECT_EQ(st.st_gid, 4321u) << bucket;
    }
}

}  // namespace

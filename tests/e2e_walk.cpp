// Dry runs: what the walk visits and reports, and where each entry goes.
// A dry run must leave the spool exactly as it was.

#include "e2e_support.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

struct walk_case {
    const char *what;
    int layout;
    std::vector<std::string> extra;  // more arguments
    std::vector<std::string> spool;  // as for boxes()
    std::vector<std::string> body;   // every line after the first, "$R" the root
    size_t errors = 0;
};

const walk_case walk_cases[] = {
    {"flat to layout 1", 1, {}, {"jdoe", "JDoe", "ab", "a", "bob", "bob.bin", "jdoexyz"},
     {"Processing Directory $R", "Move $R/jdoe --> $R/c/jdoe", "Move $R/JDoe --> $R/c/JDoe",
      "Move $R/ab --> $R/n/ab", "Move $R/a --> $R/t/a", "Move $R/bob --> $R/v/bob",
      "Move $R/bob.bin --> $R/p/bob.bin", "Move $R/jdoexyz --> $R/c/jdoexyz"}},
    {"placed entries are not reported", 1, {}, {"c/jdoe", "n/ab", "c/ab"},
     {"Processing Directory $R", "Processing Directory $R/c", "Processing Directory $R/n",
      "Move $R/c/ab --> $R/n/ab"}},
    {"bytes above 0x7f count as negative", 1, {}, {"\xC3\xA9lise", "\xE7", "\xFF"},
     {"Processing Directory $R", "Move $R/\xC3\xA9lise --> $R/n/\xC3\xA9lise", "Move $R/\xE7 --> $R/H/\xE7",
      "Move $R/\xFF --> $R/`/\xFF"}},
    {"the backslash bucket becomes a slash", 1, {}, {"\xFB"},
     {"Processing Directory $R", "Move $R/\xFB --> $R///\xFB"}},
    {"key after the first separator", 1, {"-sep", "_"}, {"dom_jdoe", "jdoe", "x_", "org_ab_x"},
     {"Using prefix separator (_)", "Processing Directory $R", "Move $R/dom_jdoe --> $R/c/dom_jdoe",
      "Move $R/jdoe --> $R/c/jdoe", "Move $R/x_ --> $R/a/x_", "Move $R/org_ab_x --> $R/u/org_ab_x"}},
    {"layout 2", 2, {}, {"dom_jdoe", "x_Q", "dom_", "a_b_c", "c/carol", "j/d/jdoe"},
     {"Processing Directory $R", "Processing Directory $R/c", "Processing Directory $R/j",
      "Processing Directory $R/j/d", "Move $R/dom_jdoe --> $R/j/d/dom_jdoe", "Move $R/x_Q --> $R/Q/x_Q",
      "Move $R/dom_ --> $R//dom_", "Move $R/a_b_c --> $R/b/_/a_b_c", "Move $R/c/carol --> $R/c/a/carol"}},
    {"other layouts place like 0", 7, {}, {"c/jdoe", "top"},
     {"Processing Directory $R", "Processing Directory $R/c", "Move $R/c/jdoe --> $R/jdoe"}},
    {"depth, bin and long directories, the log", 1, {},
     {"tierbox.log", "c/tierbox.log", "jdoe.Bin/inbox", "a/zz/jdoe", "a/b/ab", "a/b/c/jdoe", "bob.bin/inbox",
      "BOX.BIN/inbox"},
     {"Processing Directory $R", "Processing Directory $R/a", "Processing Directory $R/a/b",
      "Processing Directory $R/c", "$R/a/b/c Too deep, can't be email hashing", "Move $R/a/b/ab --> $R/n/ab",
      "Skipping long directory name jdoe.Bin", "Skipping long directory name zz", "Processing Bin Directory bob.bin",
      "Move $R/bob.bin --> $R/p/bob.bin", "Processing Bin Directory BOX.BIN", "Move $R/BOX.BIN --> $R/l/BOX.BIN"}},
    {"symbolic links", 1, {}, {"store/jdoe", "x@store", "yy@store", "ab@store/jdoe", "bob@nowhere"},
     {"Processing Directory $R", "Skipping long directory name store", "Skipping long directory name yy",
      "Processing Directory $R/x", "Move $R/x/jdoe --> $R/c/jdoe", "Move $R/ab --> $R/n/ab",
      "Move $R/bob --> $R/v/bob"}},
    {"a link to an ancestor stops at the depth limit", 1, {}, {"x@."},
     {"Processing Directory $R", "Processing Directory $R/x", "Processing Directory $R/x/x",
      "$R/x/x/x Too deep, can't be email hashing"}},
    {"a backslash in the path is never moved", 1, {}, {"a\\b", "\\/jdoe"},
     {"Processing Directory $R", "Processing Directory $R/\\", "Skipping $R/a\\b, its path holds a backslash",
      "Skipping $R/\\/jdoe, its path holds a backslash", "Warning, see tierbox.log, 2 possibly fatal errors occured"},
     2},
};

TEST(DryRun, ReportsExactlyTheMisplacedEntries)
{
    for (const walk_case &c : walk_cases) {
        SCOPED_TRACE(c.what);
        spool s;
        plant(s.root, boxes(c.spool));
        tree_map before = tree(s.root);
        outcome r = s.convert(c.layout, false, c.extra);
        expect_sound(r);
        std::vector<std::string> body = lines(r.out.substr(r.out.find('\n') + 1));
        EXPECT_EQ(body, rooted_all(s.root, c.body));
        EXPECT_EQ(errors(r).size(), c.errors);
        EXPECT_EQ(tree(s.root), before);
    }
}

// Paths longer than any fixed buffer are used and reported whole.
TEST(DryRun, LongPathsWhole)
{
    spool s;
    std::string deep = s.root;
    for (int i = 0; i < 15; i++)
        deep += "/" + std::string(250, 'd');
    plant(deep, boxes({"jdoe"}));
    outcome r = s.run({"-hash", "1", "-path", deep, "-doit"});
    expect_sound(r);
    EXPECT_EQ(lines(r.out, "Move "), std::vector<std::string>{"Move " + deep + "/jdoe --> " + deep + "/c/jdoe"});
    EXPECT_TRUE(exists(deep + "/c/jdoe"));
}

}  // namespace

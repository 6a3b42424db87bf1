// Placement, the command line, the packed listing and a copy asked to stop.

#include "layout/layout.h"
#include "relocate/files.h"
#include "run/run.h"
#include "walk/walk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

// Where an entry goes: the key taken from its name (the text after the
// first separator in force), hashed under each layout.
TEST(Unit, Placement)
{
    struct {
        int layout, sep;
        std::string name, want;  // want is below /var/spool/mail
    } cases[] = {
        {0, 0, "jdoe", "/jdoe"},
        {1, '_', "jdoe", "/c/jdoe"},
        {1, 0, "JDoe", "/c/JDoe"},
        {1, 0, "ab", "/n/ab"},
        {1, 0, "a", "/t/a"},
        {1, '_', "dom_jdoe", "/c/dom_jdoe"},
        {1, 0, "dom_jdoe", "/z/dom_jdoe"},  // no separator in force
        {1, -23, "x\xe9y", "/k/x\xe9y"},  // nor with a negative one
        {1, 0, "jdoex", "/c/jdoex"},        // four bytes at most
        {1, '_', "dom_", "/a/dom_"},
        {1, 0, "bob.bin", "/p/bob.bin"},
        {1, 0, "\xff", "/`/\xff"},  // signed bytes: -1, -25, -5
        {1, 0, "\xe7", "/H/\xe7"},
        {1, 0, "\xfb", "/\\/\xfb"},
        {1, 0, "\xc0", "/U/\xc0"},  // only A-Z are lowered
        {2, 0, "dom_jdoe", "/j/d/dom_jdoe"},
        {2, 0, "x_Q", "/Q/x_Q"},
        {2, '_', "x_jdoe", "/j/d/x_jdoe"},
        {2, 0, "dom_", "//dom_"},
        {2, '_', "a_b_cd", "/c/d/a_b_cd"},  // the first separator counts
        {2, 0, "a_.b", "/./b/a_.b"},
        {5, 0, "jdoe", "/jdoe"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(drop_file(entry_key(c.name, c.sep), c.name, c.layout, "/var/spool/mail"), "/var/spool/mail" + c.want)
            << c.name;
    EXPECT_EQ(drop_file("jdoe", "jdoe", 1, "/r/"), "/r//c/jdoe");  // the root as typed
}

TEST(Unit, Options)
{
    struct {
        std::vector<std::string> args;
        parse_result result;
        int layout, sep, doit;
        std::string root_or_bad;
    } cases[] = {
        {{"-hash", "1", "-path", "/s", "-doit"}, parse_ok, 1, -1, 1, "/s"},
        {{"-hash", "1", "-hash", "abc", "-path", "-doit"}, parse_ok, 0, -1, 0, "-doit"},
        {{"-hash", " 7x", "-sep", "_x"}, parse_ok, 7, '_', 0, ""},
        {{"-hash", "4294967297", "-sep", ""}, parse_ok, INT_MAX, 0, 0, ""},
        {{"-hash", "-99999999999", "-sep", "\xe9"}, parse_ok, INT_MIN, -23, 0, ""},
        {{"-hash", "1", "-Hash"}, parse_invalid, 1, -1, 0, "-Hash"},
        {{"-doit", "-path"}, parse_missing_value, -1, -1, 1, "-path"},
    };
    for (auto c : cases) {
        c.args.insert(c.args.begin(), "tierbox");
        std::vector<char *> argv;
        for (auto &a : c.args)
            argv.push_back(a.data());
        options opt;
        std::string bad;
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), opt, bad), c.result);
        EXPECT_EQ((c.result == parse_ok ? opt.root : bad), c.root_or_bad);
        EXPECT_EQ(opt.layout, c.layout);
        EXPECT_EQ(opt.sep, c.sep);
        EXPECT_EQ(opt.doit, c.doit);
    }
}

// Names of every length, over several blocks, come back newest first.
TEST(Unit, ListingBackwardsAcrossBlocks)
{
    listing l;
    std::vector<std::pair<std::string, int>> added, got;
    for (int i = 0; i < 5000; i++) {
        added.emplace_back(std::string(static_cast<size_t>(i % 255) + 1, static_cast<char>('a' + i % 26)), i % 3 == 0);
        word_add(l, added.back().first, added.back().second);
    }
    listing_pos pos = word_last(l);
    std::string_view name;
    int is_dir;
    while (word_prev(l, pos, name, is_dir))
        got.emplace_back(std::string(name), is_dir);
    std::reverse(added.begin(), added.end());
    EXPECT_GT(l.blocks.size(), 1u);
    EXPECT_EQ(got, added);
}

// A copy under way when the run is asked to stop is abandoned whole: no
// partial mailbox, the source untouched, and an error for the move.
TEST(Unit, StoppedCopyLeavesNothing)
{
    std::string dir = "/tmp/tierbox-unit.XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    xpath = dir;
    std::ofstream(dir + "/jdoe") << std::string(1 << 20, 'm');
    std::filesystem::create_directory(dir + "/c");
    fd_owner from(lib_openroot(dir)), to(open((dir + "/c").c_str(), O_RDONLY | O_DIRECTORY));
    stop_signal = SIGINT;
    int why = 0;
    EXPECT_EQ(lib_copy(from.fd, "jdoe", dir + "/jdoe", to.fd, dir + "/c/jdoe", &why), 0);
    stop_signal = 0;
    EXPECT_EQ(why, EINTR);
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/c"));
    EXPECT_EQ(std::filesystem::file_size(dir + "/jdoe"), 1u << 20);
    std::filesystem::remove_all(dir);
}

}  // namespace

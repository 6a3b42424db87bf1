// Placement and the packed listing.

#include "layout/layout.h"
#include "relocate/relocate.h"
#include "walk/walk.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

// Where an entry goes: the key taken from its name (the text after the
// first separator in force), hashed under each layout. The end-to-end
// tables place more names, moving them.
TEST(Unit, Placement)
{
    struct {
        int layout, sep;
        std::string name, want;  // want is below /var/spool/mail
    } cases[] = {
        {1, '_', "jdoe", "/c/jdoe"},
        {1, 0, "a", "/t/a"},
        {1, 0, "dom_jdoe", "/z/dom_jdoe"},  // no separator in force
        {1, -23, "x\xe9y", "/k/x\xe9y"},  // nor with a negative one
        {1, 0, "jdoex", "/c/jdoex"},        // four bytes at most
        {1, 0, "\xff", "/`/\xff"},  // signed bytes: -1, -5
        {1, 0, "\xfb", "/\\/\xfb"},
        {1, 0, "\xc0", "/U/\xc0"},  // only A-Z are lowered
        {2, 0, "dom_jdoe", "/j/d/dom_jdoe"},
        {2, '_', "x_jdoe", "/j/d/x_jdoe"},
        {2, '_', "a_b_cd", "/c/d/a_b_cd"},  // the first separator counts
        {2, 0, "a_.b", "/./b/a_.b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(drop_file(entry_key(c.name, c.sep), c.name, c.layout, "/var/spool/mail"), "/var/spool/mail" + c.want)
            << c.name;
    EXPECT_EQ(drop_file("jdoe", "jdoe", 1, "/r/"), "/r//c/jdoe");  // the root as typed
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

}  // namespace

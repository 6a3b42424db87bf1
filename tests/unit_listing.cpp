#include "walk/walk.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<std::pair<std::string, int>> backwards(const listing &l)
{
    std::vector<std::pair<std::string, int>> out;
    listing_pos pos = word_last(l);
    std::string_view name;
    int is_dir;
    while (word_prev(l, pos, name, is_dir))
        out.emplace_back(std::string(name), is_dir);
    return out;
}

TEST(Listing, ReverseOrderAcrossBlocks)
{
    // Enough long names to fill several blocks.
    listing l;
    std::vector<std::pair<std::string, int>> added;
    for (int i = 0; i < 5000; i++) {
        std::string name = std::string(static_cast<size_t>(i % 255) + 1, 'x') + std::to_string(i);
        name.resize(std::min<size_t>(name.size(), 255));
        added.emplace_back(name, i % 3 == 0);
        word_add(l, name, i % 3 == 0);
    }
    ASSERT_GT(l.blocks.size(), 1u);
    std::vector<std::pair<std::string, int>> got = backwards(l);
    std::reverse(added.begin(), added.end());
    EXPECT_EQ(got, added);
}

TEST(Listing, EmptyListing)
{
    listing l;
    EXPECT_TRUE(backwards(l).empty());
}

}  // namespace

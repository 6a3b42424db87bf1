#include "walk/walk.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
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

TEST(Listing, DirectoryFlagFollowsLinks)
{
    char tmpl[] = "/tmp/tierbox-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string d = tmpl;
    ASSERT_EQ(mkdir((d + "/sub").c_str(), 0700), 0);
    int fd = open((d + "/file").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(symlink("sub", (d + "/todir").c_str()), 0);
    ASSERT_EQ(symlink("file", (d + "/tofile").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);

    std::vector<std::pair<std::string, int>> got = backwards(dir_scan(d));
    std::sort(got.begin(), got.end());
    std::vector<std::pair<std::string, int>> want = {
        {"dangling", 0}, {"file", 0}, {"sub", 1}, {"todir", 1}, {"tofile", 0}};
    EXPECT_EQ(got, want);
    std::system(("rm -rf '" + d + "'").c_str());
}

}  // namespace

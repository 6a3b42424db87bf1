#include "layout/layout.h"
#include "relocate/relocate.h"

#include <gtest/gtest.h>

namespace {

struct placement_case {
    int layout;
    std::string key;
    std::string name;
    std::string want;
};

const std::string root = "/var/spool/mail";

TEST(Placement, WorkedValuesAndEdges)
{
    const placement_case cases[] = {
        {0, "jdoe", "jdoe", "/var/spool/mail/jdoe"},
        {1, "jdoe", "jdoe", "/var/spool/mail/c/jdoe"},
        {1, "JDoe", "JDoe", "/var/spool/mail/c/JDoe"},
        {1, "ab", "ab", "/var/spool/mail/n/ab"},
        {1, "a", "a", "/var/spool/mail/t/a"},
        {1, "jdoe", "dom_jdoe", "/var/spool/mail/c/dom_jdoe"},
        {1, "jdoex", "jdoex", "/var/spool/mail/c/jdoex"},  // four bytes at most
        {1, "", "dom_", "/var/spool/mail/a/dom_"},
        {1, "bob", "bob", "/var/spool/mail/v/bob"},
        {1, "bob.bin", "bob.bin", "/var/spool/mail/p/bob.bin"},
        {1, "jdoe.bin", "jdoe.bin", "/var/spool/mail/c/jdoe.bin"},
        // Signed bytes: -1 gives the grave accent, -25 'H', -5 a backslash.
        {1, "\xff", "\xff", "/var/spool/mail/`/\xff"},
        {1, "\xe7", "\xe7", "/var/spool/mail/H/\xe7"},
        {1, "\xfb", "\xfb", "/var/spool/mail/\\/\xfb"},
        // Only A-Z lower; the sum of "\xc0" stays -64, rem -12, 'U'.
        {1, "\xc0", "\xc0", "/var/spool/mail/U/\xc0"},
        {2, "dom_jdoe", "dom_jdoe", "/var/spool/mail/j/d/dom_jdoe"},
        {2, "x_Q", "x_Q", "/var/spool/mail/Q/x_Q"},
        {2, "jdoe", "jdoe", "/var/spool/mail/j/d/jdoe"},
        {2, "JDoe", "JDoe", "/var/spool/mail/J/D/JDoe"},
        {2, "dom_", "dom_", "/var/spool/mail//dom_"},
        {2, "", "x_", "/var/spool/mail//x_"},
        {2, "b_cd", "a_b_cd", "/var/spool/mail/c/d/a_b_cd"},
        {2, "a_.b", "a_.b", "/var/spool/mail/./b/a_.b"},
        {5, "jdoe", "jdoe", "/var/spool/mail/jdoe"},
        {-3, "jdoe", "jdoe", "/var/spool/mail/jdoe"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(drop_file(c.key, c.name, c.layout, root), c.want) << "layout " << c.layout << " key " << c.key;
}

TEST(Placement, RootAsTyped)
{
    EXPECT_EQ(drop_file("jdoe", "jdoe", 1, "/var/spool/mail/"), "/var/spool/mail//c/jdoe");
    EXPECT_EQ(drop_file("jdoe", "jdoe", 0, "."), "./jdoe");
}

struct key_case {
    std::string name;
    int sep;
    std::string want;
};

TEST(Key, SeparatorRule)
{
    const key_case cases[] = {
        {"dom_jdoe", '_', "jdoe"},
        {"a_b_cd", '_', "b_cd"},   // first separator only
        {"jdoe", '_', "jdoe"},     // absent: the whole name
        {"dom_", '_', ""},         // last byte: empty key
        {"dom_jdoe", -1, "dom_jdoe"},
        {"dom_jdoe", 0, "dom_jdoe"},
        {"x\xe9y", static_cast<signed char>('\xe9'), "x\xe9y"},  // negative: none
    };
    for (const auto &c : cases)
        EXPECT_EQ(entry_key(c.name, c.sep), c.want) << c.name << " sep " << c.sep;
}

}  // namespace

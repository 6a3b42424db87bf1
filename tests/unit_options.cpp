#include "run/run.h"

#include <climits>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct parsed {
    parse_result result;
    options opt;
    std::string bad;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tierbox");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parsed p;
    p.result = parse_options(static_cast<int>(args.size()), argv.data(), p.opt, p.bad);
    return p;
}

struct option_case {
    std::vector<std::string> args;
    parse_result result;
    int layout;
    std::string root;
    int sep;
    int doit;
    std::string bad;
};

TEST(Options, Table)
{
    const option_case cases[] = {
        {{"-hash", "1", "-path", "/s", "-doit"}, parse_ok, 1, "/s", -1, 1, ""},
        {{"-path", "/s/", "-hash", "2"}, parse_ok, 2, "/s/", -1, 0, ""},
        {{"-hash", "1", "-hash", "2"}, parse_ok, 2, "", -1, 0, ""},       // later wins
        {{"-hash", "abc"}, parse_ok, 0, "", -1, 0, ""},
        {{"-hash", "  7x"}, parse_ok, 7, "", -1, 0, ""},
        {{"-hash", "-1"}, parse_ok, -1, "", -1, 0, ""},
        {{"-path", "-doit"}, parse_ok, -1, "-doit", -1, 0, ""},          // value taken whole
        {{"-sep", "_x"}, parse_ok, -1, "", '_', 0, ""},
        {{"-sep", ""}, parse_ok, -1, "", 0, 0, ""},
        {{"-sep", "\xe9"}, parse_ok, -1, "", -23, 0, ""},
        {{"-hash", "1", "-bogus"}, parse_invalid, 1, "", -1, 0, "-bogus"},
        {{"-Hash", "1"}, parse_invalid, -1, "", -1, 0, "-Hash"},
        {{"-doit", "-path"}, parse_missing_value, -1, "", -1, 1, "-path"},
        {{"-sep"}, parse_missing_value, -1, "", -1, 0, "-sep"},
    };
    for (const auto &c : cases) {
        parsed p = parse(c.args);
        std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, c.result) << what;
        EXPECT_EQ(p.bad, c.bad) << what;
        if (c.result != parse_ok)
            continue;
        EXPECT_EQ(p.opt.layout, c.layout) << what;
        EXPECT_EQ(p.opt.root, c.root) << what;
        EXPECT_EQ(p.opt.sep, c.sep) << what;
        EXPECT_EQ(p.opt.doit, c.doit) << what;
    }
}

TEST(Options, LayoutClampsToIntRange)
{
    EXPECT_EQ(parse_layout("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(parse_layout("4294967297"), INT_MAX);  // not wrapped to 1
    EXPECT_EQ(parse_layout("-99999999999999999999999"), INT_MIN);
    EXPECT_EQ(parse_layout(""), 0);
}

}  // namespace

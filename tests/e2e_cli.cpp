// The command line, the exit statuses and the run log.

#include "e2e_support.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

struct status_case {
    std::vector<std::string> args;  // "$R" the spool root
    std::vector<std::string> spool;
    int status;
    std::string tail;  // the last line of standard output
    bool log;
};

TEST(Cli, ExitStatusAndLog)
{
    const status_case cases[] = {
        {{}, {}, 0, "-doit = Actually perform the operation, by default it just prints what it would do", false},
        {{"-hash", "1", "-x"}, {}, 2, "Invalid option (-x)", false},
        {{"-hash", "1", "-path"}, {}, 2, "Missing value for option (-path)", false},
        {{"-hash", "1"}, {}, 2, "Path not specified", true},
        {{"-path", "$R", "-hash", "-1"}, {}, 2, "hash number not specified", true},
        {{"-hash", "1", "-path", "$R"}, {"c/jdoe"}, 0, "Processing Directory $R/c", true},
        {{"-hash", "1", "-path", "$R"}, {"a\\b"}, 1, "Warning, see tierbox.log, 1 possibly fatal errors occured", true},
        {{"-hash", "1", "-path", "$R/none"}, {}, 0, "Unable to open dir ($R/none) No such file or directory", true},
    };
    for (const status_case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        spool s;
        plant(s.root, boxes(c.spool));
        std::vector<std::string> args;
        for (const std::string &a : c.args)
            args.push_back(rooted(s.root, a));
        outcome r = s.run(args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.out.ends_with(rooted(s.root, c.tail) + "\n")) << r.out;
        EXPECT_EQ(r.has_log, c.log);
        if (c.log)
            expect_sound(r);
        EXPECT_EQ(tree(s.root), boxes(c.spool)) << "the spool changed";
    }
}

// The log is opened in the cwd, where others may have planted a link or a
// FIFO: a run as root must neither follow nor block on it.
TEST(Cli, LogNeverFollowedNorBlocked)
{
    const tree_map cases[] = {
        {{"victim", "precious\n"}, {"tierbox.log@", "victim"}},
        {{"tierbox.log@", "victim"}},
        {{"tierbox.log|", ""}},
    };
    for (const tree_map &planted : cases) {
        spool s;
        plant(s.root, boxes({"jdoe"}));
        temp_dir cwd;
        plant(cwd.path, planted);
        outcome r = run_tool({"-hash", "1", "-path", s.root}, cwd.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lines(r.out, "Move "), rooted_all(s.root, {"Move $R/jdoe --> $R/c/jdoe"}));
        EXPECT_EQ(tree(cwd.path), planted) << "the working directory changed";
    }
}

TEST(Cli, StaleLogReplaced)
{
    spool s;
    temp_dir cwd;
    write_file(cwd.path + "/tierbox.log", std::string(100000, 'x'));
    outcome r = run_tool({"-hash", "0", "-path", s.root}, cwd.path);
    expect_sound(r);
}

}  // namespace

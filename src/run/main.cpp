// tierbox: re-arranges a mail spool into the hashed layout asked for.

#include "run/run.h"
#include "walk/walk.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

// Exit statuses.
enum { exit_ok = 0, exit_errors = 1, exit_refused = 2 };

static char outbuf[1 << 18];

static void usage()
{
    std::printf("Usage: tierbox -hash n -path /var/spool/mail [-sep _] -doit\n");
    std::printf("-hash n = 0 ./jdoe, 1 ./x/jdoe, ./j/d/jdoe\n");
    std::printf("-path path = root to convert to new hashing type\n");
    std::printf("-sep c = optional separater for prefix's which are not hashed\n");
    std::printf("-doit = Actually perform the operation, by default it just prints what it would do\n");
}

// A report or log that could not be written whole must not pass for a
// clean run.
static int finish(int status)
{
    int err = out_finish();
    if (err != 0) {
        std::fprintf(stderr, "tierbox: error writing standard output: %s\n", std::strerror(err));
        status = exit_errors;
    }
    err = log_finish();
    if (err != 0) {
        std::fprintf(stderr, "tierbox: error writing tierbox.log: %s\n", std::strerror(err));
        status = exit_errors;
    }
    return status;
}

int main(int argc, char **argv)
{
    // A report of millions of lines goes out in large blocks; a terminal
    // keeps its line buffering so the operator sees each line.
    if (!isatty(STDOUT_FILENO))
        setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);

    if (argc < 2) {
        usage();
        return finish(exit_ok);
    }

    options opt;
    std::string bad;
    switch (parse_options(argc, argv, opt, bad)) {
    case parse_ok:
        break;
    case parse_invalid:
        std::printf("Invalid option (%s)\n", bad.c_str());
        return finish(exit_refused);
    case parse_missing_value:
        std::printf("Missing value for option (%s)\n", bad.c_str());
        return finish(exit_refused);
    }

    if (opt.doit)
        imsg("Converting files under (%s) to hash %d\n", opt.root.c_str(), opt.layout);
    else
        imsg("Pretending to convert files under (%s) to hash %d\n", opt.root.c_str(), opt.layout);
    if (opt.sep > 0)
        imsg("Using prefix separator (%c)\n", opt.sep);
    if (opt.root.empty()) {
        imsg("Path not specified\n");
        return finish(exit_refused);
    }
    if (opt.layout < 0) {
        imsg("hash number not specified\n");
        return finish(exit_refused);
    }

    xpath = opt.root;
    do_convert(opt.root, opt.layout, opt.sep, opt.doit);

    if (nfatal > 0) {
        emsg("Warning, see tierbox.log, %d possibly fatal errors occured\n", nfatal);
        return finish(exit_errors);
    }
    return finish(exit_ok);
}

// tierbox: re-arranges a mail spool into the hashed layout asked for.

#include "run/run.h"
#include "walk/walk.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Exit statuses.
enum { exit_ok = 0, exit_errors = 1, exit_refused = 2 };

static void usage()
{
    put_stdout("Usage: tierbox -hash n -path /var/spool/mail [-sep _] -doit\n");
    put_stdout("-hash n = 0 ./jdoe, 1 ./x/jdoe, ./j/d/jdoe\n");
    put_stdout("-path path = root to convert to new hashing type\n");
    put_stdout("-sep c = optional separater for prefix's which are not hashed\n");
    put_stdout("-doit = Actually perform the operation, by default it just prints what it would do\n");
}

// Started with standard input, output or error closed, the log would be
// opened on one of them and the report written into it.
static void keep_std_fds_open()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0)
            _exit(exit_errors);
    }
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
    keep_std_fds_open();
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
        put_stdout("Invalid option (" + bad + ")\n");
        return finish(exit_refused);
    case parse_missing_value:
        put_stdout("Missing value for option (" + bad + ")\n");
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

    // A reader that goes away (a pager quit, "| head") must not kill a run
    // that is moving mail: the moves go on and the log records them all.
    if (opt.doit)
        signal(SIGPIPE, SIG_IGN);

    xpath = opt.root;
    do_convert(opt.root, opt.layout, opt.sep, opt.doit);

    if (nfatal > 0) {
        emsg("Warning, see tierbox.log, %d possibly fatal errors occured\n", nfatal);
        return finish(exit_errors);
    }
    return finish(exit_ok);
}

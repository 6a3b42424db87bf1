// tierbox: re-arranges a mail spool into the hashed layout asked for.

#include "relocate/relocate.h"
#include "run/run.h"
#include "walk/walk.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Exit statuses; a run stopped by a signal ends with 128 + its number.
enum { exit_ok = 0, exit_errors = 1, exit_refused = 2, exit_signal_base = 128 };

static void usage()
{
    put_stdout("Usage: tierbox -hash n -path /var/spool/mail [-sep _] -doit\n");
    put_stdout("-hash n = 0 ./jdoe, 1 ./x/jdoe, ./j/d/jdoe\n");
    put_stdout("-path path = root to convert to new hashing type\n");
    put_stdout("-sep c = optional separater for prefix's which are not hashed\n");
    put_stdout("-doit = Actually perform the operation, by default it just prints what it would do\n");
    put_stdout("-prune = With -doit, remove the bucket directories that the run left empty\n");
    put_stdout("-stage = Instead of -doit, copy ahead what -doit will copy to other file systems, moving nothing\n");
}

// The refusal of an argument (and of its value), on standard output only.
static void refuse(const char *what, const std::string &arg, const char *value = nullptr)
{
    std::string line = what;
    append_shown(line, arg);
    line += ")";
    if (value != nullptr) {
        line += ": ";
        append_shown(line, value);
    }
    line += "\n";
    put_stdout(line);
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
// clean run; a stopped run keeps its status, which asks for another run.
static int finish(int status)
{
    bool failed = false;
    int err = out_finish();
    if (err != 0) {
        std::fprintf(stderr, "tierbox: error writing standard output: %s\n", std::strerror(err));
        failed = true;
    }
    err = log_finish();
    if (err != 0) {
        std::fprintf(stderr, "tierbox: error writing tierbox.log: %s\n", std::strerror(err));
        failed = true;
    }
    if (failed && status < exit_signal_base)
        status = exit_errors;
    return status;
}

static void on_stop(int sig)
{
    stop_signal = sig;
}

// Interrupting, hanging up or terminating must not cut a move in half or
// lose the log's tail: the walk stops after the move in progress and the
// run ends as usual. A signal ignored at start (nohup) stays ignored.
static void catch_stops()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

int main(int argc, char **argv)
{
    keep_std_fds_open();
    // A file-size limit must not kill a run amid a copy or the log: a write
    // past it fails with EFBIG instead, and is reported like any other.
    signal(SIGXFSZ, SIG_IGN);
    if (argc < 2) {
        usage();
        return finish(exit_ok);
    }

    options opt;
    std::string bad, value;
    switch (parse_options(argc, argv, opt, bad, value)) {
    case parse_ok:
        break;
    case parse_invalid:
        refuse("Invalid option (", bad);
        return finish(exit_refused);
    case parse_missing_value:
        refuse("Missing value for option (", bad);
        return finish(exit_refused);
    case parse_bad_value:
        refuse("Invalid value for option (", bad, value.c_str());
        return finish(exit_refused);
    case parse_help:
        usage();
        return finish(exit_ok);
    case parse_version:
        put_stdout("tierbox " TIERBOX_VERSION "\n");
        return finish(exit_ok);
    }

    if (opt.stage && opt.doit) {
        refuse("Invalid option (", "-stage");
        return finish(exit_refused);
    }
    bool walks = !opt.root.empty() && opt.layout >= 0;
    if (int status = take_run_locks(opt, walks); status != 0)
        return status;
    if (opt.doit) {
        report_live();
        imsg("Converting files under (%s) to hash %d\n", opt.root.c_str(), opt.layout);
    } else if (opt.stage) {
        report_live();
        imsg("Staging copies of files under (%s) for hash %d\n", opt.root.c_str(), opt.layout);
    } else {
        imsg("Pretending to convert files under (%s) to hash %d\n", opt.root.c_str(), opt.layout);
    }
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
    if (opt.doit || opt.stage)
        signal(SIGPIPE, SIG_IGN);

    catch_stops();
    xpath = opt.root;
    progress_begin(opt.doit);
    if (opt.stage)
        lib_stage_mode();
    do_convert(opt.root, opt.layout, opt.sep, opt.doit, opt.prune);
    if (stop_signal != 0)
        emsg("Interrupted, run the same command again to finish\n");
    // What -doit changed is on stable storage before it says how it ended.
    if (opt.doit || opt.stage)
        lib_syncall();
    progress_end();

    int status = exit_ok;
    if (nfatal > 0) {
        emsg("Warning, see tierbox.log, %d possibly fatal errors occured\n", nfatal);
        status = exit_errors;
    }
    if (stop_signal != 0)
        status = exit_signal_base + stop_signal;
    return finish(status);
}

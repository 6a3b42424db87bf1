// Run control: the run's settings, the messages and the run log.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <unistd.h>

// The conversion root, set once by main before the walk starts.
extern std::string xpath;

// Errors reported so far through emsg.
extern int nfatal;

// Information message: to standard output and to the log, as formatted.
void imsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Error message: as imsg, with "ERROR: " in front in the log; counted.
void emsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The information message "Move DIR/NAME --> DST\n", its parts already as
// reports show them: put together in place, for lines reported by the
// million.
void imsg_move(std::string_view dir, std::string_view name, std::string_view dst);

// A control byte, which messages never write as it is: 0x01 to 0x1F, 0x7F.
constexpr bool is_control(char c)
{
    return (c > 0 && c < 0x20) || c == 0x7F;
}

// Whether append_shown may write the byte otherwise than as it is: a
// control byte, or one of 0x80 and above, which it looks at in context.
constexpr bool maybe_escaped(char c)
{
    return is_control(c) || static_cast<unsigned char>(c) >= 0x80;
}

// Appends text as every message shows a name or a path: each control byte
// as a backslash and three octal digits ("\012" for a newline); C0 controls
// (0x01 to 0x1F, 0x7F) and C1 controls alike, the latter being the bytes
// 0x80 to 0x9F outside a valid UTF-8 sequence and the UTF-8 forms of U+0080
// to U+009F, and the bidirectional controls U+202A to U+202E and U+2066 to
// U+2069 byte by byte. Every other byte, other UTF-8 among them, is written
// as it is.
void append_shown(std::string &out, std::string_view text);

// Writes text to standard output only, as the usage text and the refusal
// of a command line are.
void put_stdout(std::string_view text);

// Writes all of text to fd, through short writes and interruptions.
// Returns 0, or the error number of the write that failed.
int write_all(int fd, std::string_view text);

// The system's error text for errno after path, on standard error only,
// on a line of its own even while a status line is shown.
void syserr(const std::string &path);

// Appends text to "tierbox.log", opening it on first use. Returns 1.
int imsg_log(std::string_view text);

// With -doit the report and the log must keep up with the moves, so that
// a kill or a power cut loses at most the last second of them: from then
// on, standard output (unless a terminal) and the log are written out at
// least once a second, and report_flush writes them out at once.
void report_live();
void report_flush();

// Flush standard output and the log. Each returns 0, or the error number
// of the first write that failed.
int out_finish();
int log_finish();

// The number of the signal (SIGINT, SIGTERM, SIGHUP) that asked the run to
// stop, else 0. The move in progress finishes, a copy in progress is
// abandoned, and the walk goes no further.
extern volatile sig_atomic_t stop_signal;

// Progress of the walk. While standard error is a terminal and standard
// output is not, a status line on standard error shows the counts; whenever
// standard error is a terminal, progress_end writes a summary line there,
// which says so when the run was stopped. Nothing of it reaches standard
// output or the log.
void progress_begin(int doit);
void progress_dir();    // a directory walked
void progress_entry();  // an entry seen in a listing
void progress_move();   // a move reported (dry run) or made (-doit)
void progress_end();

// Closes a file descriptor when it goes out of scope.
struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    fd_owner(fd_owner &&o) noexcept : fd(o.release()) {}
    fd_owner &operator=(fd_owner &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
};

// The command line, read into the run's settings.
struct options {
    int layout = -1;   // -hash; negative means not given
    std::string root;  // -path
    int sep = -1;      // -sep, one byte taken as signed; in force when > 0
    int doit = 0;      // -doit
    int prune = 0;     // -prune: with -doit, remove the buckets left empty
    int stage = 0;     // -stage: copy ahead what -doit will copy, move nothing
};

enum parse_result { parse_ok, parse_invalid, parse_missing_value, parse_bad_value, parse_help, parse_version };

// Reads argv[1..argc-1] into opt. On failure, bad holds the argument
// that was refused, and value the value refused with it.
parse_result parse_options(int argc, char **argv, options &opt, std::string &bad, std::string &value);

// The -hash value: blanks, an optional sign and decimal digits, within the
// int range. Returns false for anything else.
bool parse_layout(const char *text, int &layout);

// Takes the run's locks on the spool (when the run walks one) and on the
// log of the working directory, never waiting. Returns 0, or the exit
// status of a run that must not go on, after saying why on standard error.
int take_run_locks(const options &opt, bool walks);

// The working directory, opened once, where the log is written. Returns
// its descriptor, or -1 when it cannot be opened.
int log_dir();

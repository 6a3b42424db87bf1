// What the run has done so far: a status line on the operator's terminal
// while the report goes to a file, and the request to stop early.

#include "run/outbuf.h"
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

volatile sig_atomic_t stop_signal = 0;

namespace {

struct counts {
    long dirs = 0;
    long entries = 0;
    long moves = 0;
};

}  // namespace

static counts seen;
static bool shown;       // a status line is kept on standard error
static bool summed_up;   // the summary line goes to standard error, a terminal
static int moving;       // -doit: moves made are counted, not moves reported
static size_t width;     // the terminal's columns less one, 0 if unknown
static size_t drawn;     // columns the status line now takes
static long last_draw;   // milliseconds, monotonic

// Checking the clock for every entry would cost more than the entry.
enum { entries_per_check = 256, draw_every_ms = 250 };

// The terminal is the operator's to look at: a failed write there costs
// the status line, never the run.
static void put_stderr(const std::string &text)
{
    write_all(STDERR_FILENO, text);
}

static std::string counts_text()
{
    char text[160];
    std::snprintf(text, sizeof text, "%ld directories, %ld entries, %ld %s, %d errors", seen.dirs, seen.entries,
                  seen.moves, moving ? "moved" : "to move", nfatal);
    return text;
}

static void draw()
{
    std::string line = counts_text();
    if (width > 0 && line.size() > width)
        line.resize(width);  // a wrapped line could not be redrawn in place
    size_t len = line.size();
    if (len < drawn)
        line.append(drawn - len, ' ');
    put_stderr("\r" + line);
    drawn = len;
    last_draw = now_ms();
}

static void erase()
{
    if (drawn == 0)
        return;
    put_stderr("\r" + std::string(drawn, ' ') + "\r");
    drawn = 0;
}

static void tick()
{
    if (now_ms() - last_draw >= draw_every_ms)
        draw();
}

void syserr(const std::string &path)
{
    int err = errno;
    erase();
    put_stderr(path + ": " + std::strerror(err) + "\n");
    errno = err;
}

void progress_begin(int doit)
{
    moving = doit;
    summed_up = isatty(STDERR_FILENO) == 1;
    shown = summed_up && isatty(STDOUT_FILENO) != 1;
    if (!shown)
        return;
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
        width = ws.ws_col - 1;
    draw();
}

void progress_dir()
{
    seen.dirs++;
    if (shown)
        tick();
}

void progress_entry()
{
    seen.entries++;
    if (seen.entries % entries_per_check != 0)
        return;
    report_keep_up();
    if (shown)
        tick();
}

void progress_move()
{
    seen.moves++;
    // A move can take long (a copy); a move reported in a dry run cannot.
    if (shown && moving)
        tick();
}

void progress_end()
{
    if (!summed_up)
        return;
    erase();
    std::string line = "tierbox: " + counts_text();
    if (stop_signal != 0)
        line += "; interrupted, run the same command again to finish";
    put_stderr(line + "\n");
    shown = false;
    summed_up = false;
}

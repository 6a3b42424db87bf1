// Block-buffered output for the report and the log: a run over millions
// of mailboxes writes its lines in large blocks, never one at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

// Large enough that writes cost nothing next to the walk.
constexpr size_t out_block = 1 << 18;

struct out_buffer {
    int fd = -1;
    bool per_line = false;  // flush after each text, for a terminal
    std::unique_ptr<char[]> data;
    size_t size = 0;
    size_t used = 0;
    int error = 0;  // the first failed write's error number
};

void out_open(out_buffer &b, int fd);
void out_put(out_buffer &b, std::string_view text);
// Room for n bytes at the end of the buffer, written out first if need be,
// or nullptr when n exceeds the buffer; out_commit then takes them in.
char *out_reserve(out_buffer &b, size_t n);
void out_commit(out_buffer &b, size_t n);
// Writes out what is buffered. Returns 0, or the first write error.
int out_flush(out_buffer &b);

// Milliseconds on a coarse monotonic clock: cheap enough to read often.
long now_ms();

// With -doit, writes out the report and the log when a second has passed
// since they were last written out.
void report_keep_up();

// -doit: a log that cannot be opened is said once on standard error.
void log_required();

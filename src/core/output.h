// Output services shared by the whole program: the console gate, path
// shortening for display, the log file and its error records, and the
// allocation that ends the run when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/run.h"
#include "platform/platform.h"

// The display levels: a console line of level N is printed when the
// verbosity (-v) is at least N.
enum show_level_t : int {
    SHOW_ALWAYS = 0,     // the banner, the usage text, the size diagnostic
    SHOW_PROGRESS = 1,   // copies, removals, the progress line and the summary
    SHOW_CREATIONS = 2,  // directories created
    SHOW_PAIRS = 3,      // each directory pair as it is entered
    SHOW_SCANS = 4,      // listings, the buffer size, excluded names as read
    SHOW_TRACE = 5,      // every exclusion search, every replaced file
    SHOW_COMMAND = 9,    // the operands as read
};

// Prints on standard output when the run's verbosity is at least `level`.
[[gnu::format(printf, 3, 4)]] void show(const run_t& run, int level, const char* format, ...);

// Prints on standard output when the run's verbosity is exactly `level`.
[[gnu::format(printf, 3, 4)]] void show_only(const run_t& run, int level, const char* format, ...);

// Prints on standard error (standard output is flushed first). Every call
// reports one failure: it counts in the run's errors_reported, which
// decides the exit code.
[[gnu::format(printf, 2, 3)]] void show_error(run_t& run, const char* format, ...);

// The system error report for `error`: "<path>: <message>\n" on standard
// error (the path as shown() shows it), or only "<message>\n" when the
// path is empty.
void print_error_line(run_t& run, const char* path, fs_error_t error);

// A name or path as the console and the log show it: every control
// character (below 0x20, 0x7F, and the C1 controls U+0080 to U+009F) and
// every bidirectional override and isolate (U+202A to U+202E, U+2066 to
// U+2069) as a backslash and three octal digits for each of its bytes
// ("\012" for a line end, "\342\200\256" for U+202E), and so is every
// byte from 0x80 to 0x9F that is no part of well-formed UTF-8; so that a
// name can neither drive a terminal, nor read as another name, nor make a
// log record of more than one line. Other bytes, valid UTF-8 or not, stay
// as they are. Names on disk are untouched.
std::string shown(const char* text);

// Display form of a path, at most `width` characters: the start of the
// path, "..." and the last component with its separator; the start gives way
// first, then the dots, and the last component is cut from its left only when
// it does not fit by itself. The width counts the bytes of the path as
// shown() shows it; a byte of the C1 range that a cut leaves without the
// rest of its character shows as a dot. The text lives in one static
// buffer that the next call overwrites.
const char* fit_path(const char* path, unsigned width);

// Width of every path column on the console.
inline constexpr unsigned FIT_WIDTH = 60;

// Appends the two-line dated error record of `error` for `name` (as
// shown() shows it) to the run's log. Does nothing without a log; a log
// that cannot be written is reported as log_block reports it and turned
// off for the rest of the run.
void log_error(run_t& run, const char* name, fs_error_t error);

// Appends a record for a failure of the run's own finding: `code` and
// `text` stand in for the system's. A log that cannot be written is
// reported as by log_error.
void log_text(run_t& run, const char* name, int code, const char* text);

// Reports a failure on `path` as the walk reports one: the error line, then
// the log record.
void report_failure(run_t& run, const char* path, fs_error_t error);

// Appends a header or footer block to the log. A log that cannot be written
// is reported with its name (the error line of print_error_line, which
// counts as a failure of the run) and turned off for the rest of the run.
void log_block(run_t& run, const std::string& text);

// Writes out at once what the console holds of the copy figures shown so
// far, so that someone watching sees them move.
void show_flush();

// Output held back: what a copy made on another thread shows and logs,
// kept in order until everything before it has been shown, so that the
// console and the log read as if each copy had been made in turn.
struct held_output_t {
    struct piece_t {
        int stream;             // CON_OUT, CON_ERR, or HELD_LOG for a log record
        std::string text;       // console text, or the record's text
        std::string name;       // a log record's name
        int code = 0;           // and its code
        std::function<void()> call;   // HELD_CALL: what decides what to show
    };
    std::mutex guard;           // the thread that holds and the one that shows
    std::vector<piece_t> pieces;
    std::uint64_t errors = 0;   // failures reported, for errors_reported
    bool flush = false;         // a flush was asked for
    // With `track`, the standard output shown so far is kept in `shown`.
    bool track = false;
    std::string shown;
};
inline constexpr int HELD_LOG = -1;
inline constexpr int HELD_CALL = -2;

// Calls `call` now, or, where the calling thread's output is held back,
// when that output is shown: for what is shown once per run, which the
// first in the order shown must show.
void show_in_turn(std::function<void()> call);

// From now on everything the calling thread shows on the console, reports
// as a failure or records in the log goes into `held` instead (nullptr:
// out at once again). Returns what it held into before.
held_output_t* hold_output(held_output_t* held);

// Shows, logs and counts what `held` holds so far, in the order it was
// given, on the calling thread, and empties it.
void release_output(run_t& run, held_output_t& held);

// Allocates `size` bytes or ends the run with "\nFine memoria\n".
void* alloc_or_exit(std::size_t size);

// Ends the run for lack of memory.
[[noreturn]] void alloc_failed();

// printf into a std::string.
[[gnu::format(printf, 1, 2)]] std::string format_text(const char* format, ...);

// The white space that separates words, as the C library's isspace sees it
// in the "C" locale.
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The console and log texts of a run, written out from what a user sees,
// independently of the program's own formatting code, so that the tests
// compare the program's output with text the program did not make.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "support/system.h"

// The first line of every run.
inline const std::string BANNER = "Calvento 1.0 - sincronizzazione di directory\n";
// The summary line of a run that copied nothing.
inline const std::string ZERO_RATE_SUMMARY = "0 file copiato(i), 0 byte ,          0 byte/sec\n";
// The start of both lines of an error record in the log.
inline const std::string LOG_RECORD = "Errore\t\t\t: ";

// printf into a std::string.
[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...);

// A name or path as the console and the log show it: control characters
// (below 0x20, 0x7F, and U+0080 to U+009F), the bidirectional overrides
// U+202A to U+202E and isolates U+2066 to U+2069, and the bytes 0x80 to
// 0x9F that belong to no well-formed UTF-8 character, each byte as a
// backslash and three octal digits.
std::string escaped(const std::string& text);

// A path as the console shows it, escaped, at most 60 bytes: the start of
// the path, "..." and the last component with its separator ("/" or the
// system's own, where a backslash that begins an escape counts too); the
// start gives way first, then the dots; a last component longer than that
// shows as the last 60 bytes of the path. Where a cut splits a character,
// a byte of the C1 range left on its own shows as a dot.
std::string fitted(const std::string& path);

// The "%-60.60s" column of a console line: the fitted path, padded.
std::string column(const std::string& path);

// The "Da" and "A" lines of a copy up to its progress figures: the size in
// bytes, or in KB from 100000 bytes on.
std::string copy_announced(const std::string& from, std::uint64_t size, const std::string& to);
// The console of a file copied in one chunk (an empty one shows no figure).
inline std::string copied(const std::string& from, std::uint64_t size, const std::string& to)
{
    return copy_announced(from, size, to) + (size == 0 ? "" : "100%\b\b\b\b") + "\n";
}
// The console of a copy that failed before any data moved.
inline std::string refused(const std::string& from, std::uint64_t size, const std::string& to)
{
    return copy_announced(from, size, to) + "\n";
}

inline std::string file_removed(const std::string& path) { return "File\t" + column(path) + " Cancellato\n"; }
inline std::string dir_removed(const std::string& path) { return "Dir\t" + column(path) + " Cancellata\n"; }
// The same lines for what the run keeps (-k).
inline std::string file_kept(const std::string& path) { return "File\t" + column(path) + " Conservato\n"; }
inline std::string dir_kept(const std::string& path) { return "Dir\t" + column(path) + " Conservata\n"; }
inline std::string dir_created(const std::string& path) { return "Dir\t" + column(path) + "     Creata\n"; }

// The system error report on standard error: "<path>: <message>\n".
inline std::string error_line(int code, const std::string& path)
{
    return escaped(path) + ": " + error_words(code) + "\n";
}
// Standard error of a walk that reported the lines of `reports`, one failure
// each: those lines, then the count of them, which closes the run.
std::string with_failures(const std::string& reports);
// The second line of a log error record.
std::string log_detail(int code, const std::string& path);
// A footer line of the log, `label` spelled with its tabs and spaces.
std::string footer_line(const char* label, unsigned long value);

// The last line of `out` (the summary line of a run), line end included;
// a line ended by a carriage return counts as a line of its own.
std::string last_line(const std::string& out);
// Everything before that last line.
inline std::string before_summary(const std::string& out) { return out.substr(0, out.size() - last_line(out).size()); }

// Whether the last line of `out` is the summary line for `files` files and
// `bytes` bytes, whatever the rate; a failure shows the line.
testing::AssertionResult has_summary(const std::string& out, unsigned long files, unsigned long long bytes);

// The name of the dated destination directory for the day of `when`,
// YYYYMMDD in local time.
std::string day_name(std::time_t when = std::time(nullptr));

// Number of times `needle` occurs in `text`, without overlaps.
int count_of(const std::string& text, const std::string& needle);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The usage text shown after the banner, with the copy buffer size it names.
std::string usage_text(const char* buffer = "1048576");

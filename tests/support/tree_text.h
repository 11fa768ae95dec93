// Whole trees as text, so that two trees, or one tree before and after a
// run, compare in one expectation with a readable difference. Each system
// walks its trees its own way (linux_tools.cpp, windows/system_windows.cpp).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A name with unprintable bytes and backslashes escaped as \xNN, for the
// lines below.
inline std::string printable(const std::string& name)
{
    std::string shown;
    for (const unsigned char c : name) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c < 0x20 || c >= 0x7f || c == '\\' ? "\\x%02x" : "%c", c);
        shown += escaped;
    }
    return shown;
}

// One line per entry below `root`, in walk order, so that two trees compare
// in one expectation with a readable difference:
//   "d <path>" for a directory (then "? <path> (cannot be listed)" when it
//   cannot be listed), "l <path>" for a link, "o <path>" for anything else,
//   "f <path> size=<n> bytes=<hash> mtime/2=<t> mode=<octal>" for a file.
// The modification time is counted in two-second units, the resolution that
// survives a copy. Names are shown with unprintable bytes escaped. With
// `mirrored_only` set, names beginning with "." (and everything below them),
// links and special files are left out: the entries a mirror is made of.
std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only = true);

// Everything below `root`, dot names included: directories, files with
// their bytes, modes and modification times, links with their targets.
// Sorted, so that two snapshots compare line by line.
std::vector<std::string> snapshot(const std::string& root);

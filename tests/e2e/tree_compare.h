// Describes a directory tree so that two trees can be compared in one
// expectation, with a readable difference when they are not alike.
#pragma once

#include <string>
#include <vector>

// One line per entry below `root`, sorted by relative path:
//   "d <path>" for a directory,
//   "f <path> size=<n> bytes=<hash> mtime/2=<t> mode=<octal>" for a regular file,
//   "l <path>" for a link, "o <path>" for anything else.
// The modification time is counted in two-second units, the resolution that
// survives a copy. Names are shown with unprintable bytes escaped. With
// `mirrored_only` set, names beginning with "." (and everything below them),
// links and special files are left out: the entries a mirror is made of.
std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only = true);

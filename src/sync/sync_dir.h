// Making one destination directory an image of one source directory, and
// so on down the tree.
#pragma once

// Mirrors `src_path` onto `dst_path` (either may end with the separator):
// removes what the source lacks (unless keep_extra), copies the files that
// needs_copy selects, creates the missing sub-directories and descends into
// every sub-directory pair, depth first, in enumeration order. Links are
// never followed below the two operands.
//
// Returns 0 when the pair was walked, 1 when it was refused: a side missing
// or not a directory (the destination is not examined in mode 3), or a
// source that could not be listed completely, in which case nothing in the
// pair is removed or copied.
int sync_dir(const char* src_path, const char* dst_path);

// Making one destination directory an image of one source directory, and
// so on down the tree.
#pragma once

#include "core/run.h"

class dest_changes_t;

// Mirrors `src_path` onto `dst_path` (either may end with the separator):
// removes what the source lacks (unless keep_extra), copies the files that
// needs_copy selects, creates the missing sub-directories and descends into
// every sub-directory pair, depth first, in enumeration order, giving each
// destination sub-directory its source's protection once it is filled.
// Links are never followed below the two operands: every directory below
// them is opened through its parent's handle, and only if it is still the
// directory that was listed. In the dated mode the destination and the
// directories below it may be missing; they list as empty.
//
// Returns 0 when the principal pair was walked, 1 when it was refused: a
// side missing or not a directory, or a source that could not be listed
// completely, in which case nothing in the pair is removed or copied.
// Sub-directory pairs are refused the same way, and the walk goes on.
int sync_dir(run_t& run, dest_changes_t& changes, const char* src_path, const char* dst_path);

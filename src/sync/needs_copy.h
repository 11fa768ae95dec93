// Whether one listed source file is to be copied.
#pragma once

#include <cstdint>

#include "listing/filelist.h"

// date in the upper 16 bits, time in the lower: comparing two stamps as
// unsigned numbers compares the two moments, at two-second resolution.
std::uint32_t file_stamp(const filelist_t* record);

// True when `src` is to be copied over `dst` (nullptr: the destination has
// no file of that name), by copy mode and the -f and -n flags. Touches
// nothing and prints nothing.
bool needs_copy(const filelist_t* src, const filelist_t* dst);

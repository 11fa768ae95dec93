// Whether one listed source file is to be copied.
#pragma once

#include <cstdint>

#include "core/run.h"
#include "listing/filelist.h"

// The last-write time of a record in two-second steps of universal time:
// comparing two stamps compares the two moments at two-second resolution,
// whatever the local zone or the season, and before 1980 too.
std::int64_t file_stamp(const filelist_t* record);

// True when `src` is to be copied over `dst` (nullptr: the destination has
// no file of that name), by copy mode and the -f and -n flags. In the dated
// mode, a file is today's when the local date of its exact time is the
// run's. A destination file that carries the time of an unfinished copy is
// copied again in every mode. Touches nothing and prints nothing.
bool needs_copy(const run_t& run, const filelist_t* src, const filelist_t* dst);

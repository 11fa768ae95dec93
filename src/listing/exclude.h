// The two lists of names that the run must not touch (run_t holds them).
#pragma once

#include "core/run.h"

// Adds the names of one -x or -X option to `list`: the text itself, or, when
// it begins with "@", every white-space-separated word of the file it names,
// in file order. A list file that cannot be opened or read whole is
// reported on standard error and ends the run with exit code 1.
void Exclude_arg(run_t& run, exclude_t** list, const char* text);

// Links a copy of `name` in front of `list` and, at verbosity 4 or more,
// prints "Exclude '<name>'".
void Exclude_add(const run_t& run, exclude_t** list, const char* name);

// 1 when `name` is in the list (exact bytes, letter case included), 0
// otherwise. At verbosity 5 or more prints one trace line per search.
int Exclude_search(const run_t& run, const exclude_t* first, const char* name);

// The same search without the trace line.
bool Exclude_find(const exclude_t* first, const char* name);

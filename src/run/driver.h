// The run as a whole.
#pragma once

#include "core/run.h"

// Runs the program on its command line and gives the exit code: 0 when the
// walk ran and every operation it attempted succeeded, 2 when it ran to its
// end but reported failures (its last line on standard error counts them),
// 1 when the run was refused or stopped. Some refusals end the process from
// deeper down, with code 1 as well; so does memory that runs out anywhere on
// the walk's thread ("\nFine memoria\n", as alloc_or_exit).
int run_main(int argc, char** argv);

// The same in `run`, whose settings `settings` are filled from the command
// line; the counters go on from what the run holds.
int run_main(run_t& run, run_settings_t& settings, int argc, char** argv);

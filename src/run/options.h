// Reading the command line into the settings of the run.
#pragma once

#include "core/run.h"

// Reads the options into `settings` (the settings of `run`, which shows
// the lines of the options as it goes) and returns the index of the first
// operand (argc when there is none): the log and the exclusion lists go
// into `run`. Options are taken in order, so a later one replaces an
// earlier one. May end the process: the usage text (h, ?), the size
// diagnostic (*), a log file that cannot be created (l), an exclusion list
// that cannot be read (x, X).
int parse_options(int argc, char** argv, run_settings_t& settings, run_t& run);

// Prints the usage text, waits for one key when someone is at a terminal,
// and ends the process with exit code 1.
[[noreturn]] void show_usage(const run_t& run);

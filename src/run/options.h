// Reading the command line into the settings of the run.
#pragma once

#include "core/settings.h"

// Reads the options into RunSettings and returns the index of the first
// operand (argc when there is none). Options are taken in order, so a later
// one replaces an earlier one. May end the process: the usage text (h, ?),
// the size diagnostic (*), a log file that cannot be created (l).
int parse_options(int argc, char** argv);

// Prints the usage text, waits for one key when someone is at a terminal,
// and ends the process with exit code 1.
[[noreturn]] void show_usage();

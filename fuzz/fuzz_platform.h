// A platform record for the fuzz targets: no console, no log files, list
// files read from memory, and an exit that returns to the target.
#pragma once

#include <string>

// Thrown where the program would end the process.
struct fuzz_exit {
    int code;
};

// What a list file read during the current input holds.
extern std::string fuzz_list_file;

// Installs the record (once) and returns every run-wide record to a fresh
// run: settings, counters, exclusion lists, sync_calls.
void fuzz_reset();

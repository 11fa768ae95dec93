// A platform record for the fuzz targets: no console, no log files, list
// files read from memory, and an exit that returns to the target.
#pragma once

#include <string>

#include "core/run.h"

// Thrown where the program would end the process.
struct fuzz_exit {
    int code;
};

// What a list file read during the current input holds.
extern std::string fuzz_list_file;

// Installs the record (once) and gives a fresh run, with fresh settings
// (fuzz_settings), in place of the last one.
run_t& fuzz_reset();
extern run_settings_t fuzz_settings;

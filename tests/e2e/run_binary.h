// Runs the built calvento binary and captures what it did.
#pragma once

#include <string>
#include <vector>

struct run_result_t {
    std::string out;
    std::string err;
    int code = -1;          // exit code, or 128 + signal number
};

// Runs calvento with `args` in the directory `cwd` (the current one when
// empty), standard input from /dev/null. A run that takes longer than
// `timeout_seconds` is killed and reported with code -1.
run_result_t run_calvento(const std::vector<std::string>& args, const std::string& cwd = "",
                          int timeout_seconds = 120);

// Path of the binary under test.
const char* calvento_binary();

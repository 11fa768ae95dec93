// Runs the built calvento binary and captures what it did.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/types.h>
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

// The same, started through `prefix`: a program and its first arguments that
// then execute the binary, such as a privilege drop.
run_result_t run_calvento_via(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                              const std::string& cwd = "", int timeout_seconds = 120);

// Whether a run ended with code 0 and wrote nothing on standard error; a
// failure shows what it wrote.
testing::AssertionResult ran_cleanly(const run_result_t& run);

// A run in the background, for tests that act on the process while it works.
struct calvento_process_t {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    run_result_t seen;      // the output read so far
};

// Starts calvento with `args` in `cwd`, through `prefix` as run_calvento_via
// does; false when it could not be started.
bool start_calvento(const std::vector<std::string>& args, const std::string& cwd, calvento_process_t* process,
                    const std::vector<std::string>& prefix = {});

// Reads the output until standard output holds `text`; false when the
// process ended or `timeout_seconds` passed first.
bool wait_for_output(calvento_process_t* process, const std::string& text, int timeout_seconds);

// Reads the output while `delay` passes, so that a full pipe never holds
// the process up; returns early when the process has closed its output.
void pass_time(calvento_process_t* process, std::chrono::microseconds delay);

// Reads the rest of the output and waits for the process to end; one that
// is still running after `timeout_seconds` is killed (code -1).
run_result_t finish_calvento(calvento_process_t* process, int timeout_seconds);

// The settings of one run, read from the command line.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint32_t DEFAULT_BUFFER_SIZE = 1048576;

// Filled once by parse_options and read-only afterwards, except for
// buffer_size (lowered to what could be allocated), today_date and
// today_name (set when the walk starts) and log_file (turned off when the
// log can no longer be written).
struct run_settings_t {
    int verbosity = 1;                 // display level 0 to 9
    std::uint32_t buffer_size = DEFAULT_BUFFER_SIZE;
    int force_copy = 0;                // -f: copy even what the decision passes over
    int keep_extra = 0;                // -p: never remove what the source lacks
    int skip_new = 0;                  // -n: never copy files the destination lacks
    int needed_dirs_only = 0;          // -d: create only directories that receive a file
    int ignore_circular = 0;           // -i: skip the overlap check
    int copy_mode = 0;                 // -m: one digit, 0 to 3 documented
    std::string log_name;              // -l
    bool log_file = false;             // a log is in use
    std::uint16_t today_date = 0;      // packed DOS date of the run's start
    char today_name[9] = "";           // the same day as YYYYMMDD
};

extern run_settings_t RunSettings;

// Reads the options into RunSettings and returns the index of the first
// operand (argc when there is none). Options are taken in order, so a later
// one replaces an earlier one. May end the process: the usage text (h, ?),
// the size diagnostic (*), a log file that cannot be created (l).
int parse_options(int argc, char** argv);

// Prints the usage text, waits for one key when someone is at a terminal,
// and ends the process with exit code 1.
[[noreturn]] void show_usage();

// The first line of every run and of every log block.
const char* banner_text();

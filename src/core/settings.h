// The settings of one run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

inline constexpr std::uint32_t DEFAULT_BUFFER_SIZE = 1048576;

// Threads that list directories ahead of the walk. Listing waits on the disk
// or the network far more than on the processor, so more of them than there
// are processors pay.
inline constexpr unsigned DEFAULT_WORKERS = 8;

// The options of a run, filled once from the command line and only read
// afterwards: the parser alone holds them other than const.
struct run_settings_t {
    int verbosity = 1;                 // display level 0 to 9
    std::uint32_t buffer_size = DEFAULT_BUFFER_SIZE;   // as asked for; the run's buffer may be smaller
    bool force_copy = false;           // -f: copy even what the decision passes over
    bool keep_extra = false;           // -p: never remove what the source lacks
    bool skip_new = false;             // -n: never copy files the destination lacks
    bool needed_dirs_only = false;     // -d: create only directories that receive a file
    bool ignore_circular = false;      // -i: skip the overlap check
    int copy_mode = 0;                 // -m: one digit, 0 to 3 documented
    bool dry_run = false;              // -s: show what the run would do, change nothing
    std::optional<std::uint64_t> removal_limit;   // -c: the most files and directories removed
    unsigned workers = DEFAULT_WORKERS;   // -j: listing and copying threads; 0: the walk's own thread
    bool workers_asked = false;        // -j with a count: copies on the threads from the first one
    // -k: what the run removes or replaces is kept in this directory
    // instead (empty: the default inside the destination operand).
    std::optional<std::string> versions;
    std::optional<std::uint64_t> versions_days;   // -e: kept versions older than this many days go
};

// The first line of every run and of every log block.
const char* banner_text();

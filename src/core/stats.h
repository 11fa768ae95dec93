// The counters of a run.
#pragma once

#include <cstdint>
#include <ctime>

// Incremented by the walk and the file operations, read by the driver once
// the walk has returned. 64-bit: a night's backup passes 4 GiB and nothing
// here may wrap.
struct run_statistics_t {
    std::uint64_t dirs_scanned = 0;      // directory pairs that passed their checks
    std::uint64_t dirs_deleted = 0;      // directories removed
    std::uint64_t dirs_created = 0;      // directories actually created
    std::uint64_t files_scanned = 0;     // files listed in source directories
    std::uint64_t files_deleted = 0;     // files removed by the walk (not those a copy replaced)
    std::uint64_t files_not_copied = 0;  // copies that failed
    std::uint64_t files_copied = 0;
    std::uint64_t bytes_copied = 0;      // bytes actually transferred (in a dry run, listed)
    std::uint64_t errors_reported = 0;   // lines on standard error: each a failure the run survived
    std::time_t start_time = 0;
    std::time_t end_time = 0;
};

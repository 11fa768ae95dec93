// One run: its settings, fixed once the command line is read, and
// everything it keeps and changes while it goes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/settings.h"
#include "core/stats.h"
#include "platform/platform.h"

// One excluded name. Lists are linked newest first and live for the whole
// run; listing/exclude fills and searches them.
struct exclude_t {
    exclude_t* next;
    char* name;
};

// The log of the run, when there is one.
struct run_log_t {
    std::string name;
    bool active = false;              // a log is in use and can still be written
    std::optional<fs_id_t> id;        // the log file itself, which the walk never touches
};

// The removals that -c lets through.
struct removal_budget_t {
    std::uint64_t used = 0;           // removals begun, files and directories
    bool stopped = false;             // the limit was reached: nothing more is removed
};

// The one block through which the data of every copy moves when it cannot
// move inside the kernel.
struct copy_buffer_t {
    char* data = nullptr;
    std::uint32_t size = 0;
};

struct run_t {
    explicit run_t(const run_settings_t& run_settings) : settings(run_settings) {}
    ~run_t();
    run_t(const run_t&) = delete;
    run_t& operator=(const run_t&) = delete;

    const run_settings_t& settings;
    run_statistics_t stats;
    run_log_t log;
    removal_budget_t removals;
    copy_buffer_t buffer;
    // Names given with -x (left out of every listing) and -X (left out only
    // while the principal directory pair is synchronised).
    exclude_t* exclude_all = nullptr;
    exclude_t* exclude_principal = nullptr;
    std::uint16_t today_date = 0;     // packed DOS date of the run's start
    char today_name[9] = "";          // the same day as YYYYMMDD
};

// Allocates the copy buffer of `size` bytes (0 stands for the default),
// halving the size until the allocation succeeds; ends the run for lack of
// memory when not even one byte can be had.
void copy_buffer_obtain(run_t& run, std::uint32_t size);

// Releases the copy buffer.
void copy_buffer_release(run_t& run);

// A platform record for tests: forwards to the real layer on real temporary
// trees, records the console and the operations in order, and fails exactly
// what a test plans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

// Where a planned fault strikes.
// Paths are full paths without a trailing separator: a directory as the
// walk opened it (an operand as given, then a name at a time), a file as
// its directory's path, the separator and its name.
enum class fault_op_t {
    dir_open,     // opening a directory
    dir_place,    // telling where an open directory lies in its file system
    open_read,    // opening a source file for a copy
    read,         // reading a source file, once `after` bytes have been read
    create,       // creating the hidden file of a copy (the path is the destination)
    write,        // writing a copy: `after` bytes fit, then a short count and the error
    commit,       // putting a finished copy in place
    flush,        // making a copy in place durable (its data, then its time)
    list_open,    // beginning the listing of an open directory
    list_read,    // reading a directory, once `after` entries have been given
    remove_file,  // removing a file
    append,       // appending to a text file (the log)
    copy_range,   // moving data inside the kernel: refused, the copy buffer takes over
    respell,      // spelling an entry anew in letter case (the path is the old name)
    lock,         // locking a destination: the file system offers no lock
    move,         // moving an entry to another directory (the path is the entry's)
    protect,      // giving a written copy the rest of its source's protection, or a copy in place its source's
};

struct fault_rule_t {
    fault_op_t op;
    std::string path;             // as the operation receives it; empty: every path
    int error = 0;                // the platform's error number; 0: what the operation usually meets
    std::uint64_t after = 0;      // bytes or entries that pass before the fault
    int times = -1;               // how often it strikes; -1: every time
};

struct fault_plan_t {
    std::vector<fault_rule_t> rules;
    // Adds a rule.
    void fail(fault_op_t op, std::string path, int error = 0, std::uint64_t after = 0, int times = -1)
    {
        while (path.size() > 1 && native_platform.is_separator(path.back()))
            path.pop_back();
        rules.push_back({op, path, error, after, times});
    }

    // Called with the directory's path and a separator whenever the listing
    // of a directory has ended: the moment between a listing and the work
    // done on what it listed.
    std::function<void(const std::string& path)> after_listing;
    // Called with the full path of every directory just before it is opened:
    // the last moment at which something can take its place.
    std::function<void(const std::string& path)> before_dir_open;
    // Called once per copy of this source path, as soon as the copy has
    // taken this many bytes from it (read or moved in the kernel alike), so
    // that a test can change the file while it is being copied.
    std::string during_copy;
    std::uint64_t during_copy_after = 0;
    std::function<void()> during_copy_hook;
    // mem_try_alloc refuses anything larger.
    std::size_t alloc_limit = SIZE_MAX;
    // When not -1, clock_now returns it.
    std::time_t now = -1;
    // When set, how every directory looks names up, whatever the file
    // system says.
    std::optional<case_rule_t> case_rule;
    // open_outs_limit gives at most this many: a smaller batch of copies.
    std::size_t open_outs_limit = SIZE_MAX;
    // Called in every flush of copies, on whichever thread makes it, once
    // the real flush is done.
    std::function<void()> during_flush;
};

extern fault_plan_t fault_plan;

// What the program printed while a ScopedFaults was in force.
struct recorded_console_t {
    std::string out;
    std::string err;
    std::string both;       // the two streams interleaved in program order
    int flushes = 0;
    int key_reads = 0;
};

extern recorded_console_t console;

// The operations that read or change files and directories, in the order
// they were asked for: "<operation> <path>" (open_read, create, commit,
// flush, close_out, discard, list_open, remove_file, remove_dir, make_dir,
// set_protection (of a directory, or of a file in place), lock, append;
// "respell <path> <new spelling>"; "move <path> <new path>").
extern std::vector<std::string> fault_log;

// Installs the recording, faulty record for its lifetime; clears the plan,
// the console and the log on entry, restores the previous record on exit.
struct ScopedFaults {
    ScopedFaults();
    ~ScopedFaults();
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;

  private:
    const platform_t* previous_;
};

// Files the copy opened and has not closed (source reads, hidden
// destination files, and copies in place waiting to be made durable), to
// catch leaks.
int open_descriptors();

// The most destination files (copies under way or waiting to be made
// durable) that were open at once.
int most_open_copies();

// Directories opened and not closed.
int open_directories();

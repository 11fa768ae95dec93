// A platform record for tests: forwards to the real POSIX layer on real
// temporary trees, records the console, and fails exactly what a test plans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "platform/platform.h"

struct fault_plan_t {
    // open_read of this path fails with read_errno.
    std::string fail_open_read;
    int read_errno = EACCES;
    // reads from this source path fail with EIO once this many bytes were read.
    std::string fail_read;
    std::uint64_t fail_read_after = 0;
    // writes of the copy to this destination path stop after this many
    // bytes (a full disk): the short count, then ENOSPC.
    std::string full_disk;
    std::uint64_t full_disk_after = 0;
    // every copy goes through the copy buffer, as without in-kernel copying.
    bool no_copy_range = false;
    // the first N create_temp calls fail with ENOENT.
    int enoent_creates = 0;
    // putting the copy of this destination in place fails with EIO.
    std::string fail_commit;
    // dir_open of this path fails with this errno (0: no fault).
    std::string fail_dir_open;
    int dir_open_errno = EACCES;
    // reading this directory fails with EIO after this many entries.
    std::string fail_dir_read;
    int fail_dir_read_after = 0;
    // called with the path (as the listing was given it) whenever the
    // listing of a directory has ended, before it is closed: the moment
    // between a listing and the work done on what it listed.
    std::function<void(const std::string& path)> after_listing;
    // called once per copy of this source path, as soon as the copy has
    // taken this many bytes from it (read or moved in the kernel alike), so
    // that a test can change the file while it is being copied.
    std::string during_copy;
    std::uint64_t during_copy_after = 0;
    std::function<void()> during_copy_hook;
    // appending to this text file fails with ENOSPC.
    std::string fail_append;
    // mem_try_alloc refuses anything larger.
    std::size_t alloc_limit = SIZE_MAX;
    // when not -1, clock_now returns it.
    std::time_t now = -1;
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

// Installs the recording, faulty record for its lifetime; clears the plan and
// the console on entry, restores the previous record on exit.
struct ScopedFaults {
    ScopedFaults();
    ~ScopedFaults();
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;

  private:
    const platform_t* previous_;
};

// Descriptors the copy opened and has not closed (source reads and hidden
// destination files), to catch leaks.
int open_descriptors();

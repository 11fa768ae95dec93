// Returns the process to the state of a fresh run before each test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "fileops/dest_dir.h"
#include "core/run.h"
#include "fileops/dest_changes.h"
#include "support/fault_platform.h"
#include "support/temp_tree.h"

// The recording, faulty platform in force; a scratch tree; fresh settings
// (without listing threads) and a run of them, with a copy buffer of their
// size. A test changes the settings as it likes: the run reads them.
struct RunStateTest : testing::Test {
    void SetUp() override;
    void TearDown() override;

    // Uses `path` as the log for this test, as -l does.
    void use_log(const std::string& path);

    // The changes of the run as its settings choose them now: the dry
    // run's with dry_run, the real ones otherwise, each kept for the whole
    // test (the dry run's remember what they would have done).
    dest_changes_t& changes();

    // The directory `path`, open as the walk holds it (the same handle for
    // the same path); closed when the test ends.
    fs_dir_t* dir(const std::string& path);
    // The same, as a destination directory of the walk.
    dest_dir_t* dest(const std::string& path);
    // Closes the directories held for the test, so that what is on disk can
    // change under the same paths.
    void close_dirs();

    ScopedFaults faults;
    TempTree tree;
    run_settings_t settings;
    run_t run{settings};

  private:
    std::map<std::string, std::unique_ptr<dest_dir_t>> dirs_;
    std::unique_ptr<dest_changes_t> real_changes_;
    std::unique_ptr<dest_changes_t> dry_changes_;
};

// Number of two-line error records in a log text.
int log_records_in(const std::string& log_text);

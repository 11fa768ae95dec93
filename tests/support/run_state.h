// Returns the process to the state of a fresh run before each test.
#pragma once

#include <gtest/gtest.h>

#include "support/exclusion_reset.h"
#include "support/fault_platform.h"
#include "support/temp_tree.h"

// Fresh settings, counters and exclusion lists; the recording,
// faulty platform in force; a scratch tree; a copy buffer of buffer_size.
struct RunStateTest : testing::Test {
    void SetUp() override;
    void TearDown() override;

    // Uses `path` as the log for this test, as -l does.
    void use_log(const std::string& path);

    ScopedFaults faults;
    TempTree tree;
};

// Number of two-line error records in a log text.
int log_records_in(const std::string& log_text);

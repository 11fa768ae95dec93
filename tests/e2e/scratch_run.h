// A scratch tree with whole runs of the binary inside it, and the means to
// run it as an unprivileged user.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

#include "e2e/run_binary.h"
#include "support/temp_tree.h"

// The user and group that runs without privileges become.
constexpr uid_t NOBODY = 65534;

// The setpriv program, which starts a program as another user; empty when
// it is not installed.
std::string setpriv_program();

// Hands a tree to another owner, links included.
void chown_tree(const std::string& root, uid_t uid, gid_t gid);

class ScratchRunTest : public testing::Test {
  protected:
    // Runs in the scratch tree, so that operands and console paths are short.
    run_result_t run(const std::vector<std::string>& args);

    // Whether a run can drop to the user nobody; `why` says why not.
    static bool can_drop_privileges(std::string* why);

    // The same run as the user nobody.
    run_result_t run_as_nobody(const std::vector<std::string>& args);

    TempTree tree;
};

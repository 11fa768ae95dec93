// A scratch tree with whole runs of the binary inside it, as root or as an
// unprivileged user.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/run_binary.h"
#include "support/privilege.h"
#include "support/temp_tree.h"

class ScratchRunTest : public testing::Test {
  protected:
    // Runs in the scratch tree, so that operands and console paths are short.
    run_result_t run(const std::vector<std::string>& args) { return run_calvento(args, tree.path(), 60); }

    // The same run as the user nobody.
    run_result_t run_as_nobody(const std::vector<std::string>& args)
    {
        return run_calvento_via(as_nobody(), args, tree.path(), 60);
    }

    // Opens the scratch tree to others and hands src, dst and a new logs
    // directory to nobody, for run_as_nobody.
    void hand_to_nobody()
    {
        tree.set_mode("", 0755);
        tree.dir("logs");
        for (const char* part : {"src", "dst", "logs"})
            chown_tree(tree.path(part), NOBODY, NOBODY);
    }

    TempTree tree;
};

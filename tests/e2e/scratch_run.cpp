#include "e2e/scratch_run.h"

run_result_t ScratchRunTest::run(const std::vector<std::string>& args)
{
    return run_calvento(args, tree.path(), 60);
}

run_result_t ScratchRunTest::run_as_nobody(const std::vector<std::string>& args)
{
    return run_calvento_via(as_nobody(), args, tree.path(), 60);
}

void ScratchRunTest::hand_to_nobody()
{
    tree.set_mode("", 0755);
    tree.dir("logs");
    for (const char* part : {"src", "dst", "logs"})
        chown_tree(tree.path(part), NOBODY, NOBODY);
}

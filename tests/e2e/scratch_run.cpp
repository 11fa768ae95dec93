#include "e2e/scratch_run.h"

#include <filesystem>
#include <unistd.h>

std::string setpriv_program()
{
    for (const char* candidate : {"/usr/bin/setpriv", "/bin/setpriv"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return "";
}

void chown_tree(const std::string& root, uid_t uid, gid_t gid)
{
    ASSERT_EQ(0, lchown(root.c_str(), uid, gid));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(0, lchown(entry.path().c_str(), uid, gid)) << entry.path();
}

run_result_t ScratchRunTest::run(const std::vector<std::string>& args)
{
    return run_calvento(args, tree.path(), 60);
}

bool ScratchRunTest::can_drop_privileges(std::string* why)
{
    if (setpriv_program().empty()) {
        *why = "setpriv is not installed: no way to drop privileges";
        return false;
    }
    if (geteuid() != 0) {
        *why = "dropping to another user needs root";
        return false;
    }
    return true;
}

run_result_t ScratchRunTest::run_as_nobody(const std::vector<std::string>& args)
{
    return run_calvento_via({setpriv_program(), "--reuid=65534", "--regid=65534", "--clear-groups"}, args,
                            tree.path(), 60);
}

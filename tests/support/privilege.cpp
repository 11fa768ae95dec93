#include "support/privilege.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

// The setpriv program; empty when it is not installed.
std::string setpriv_program()
{
    for (const char* candidate : {"/usr/bin/setpriv", "/bin/setpriv"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return "";
}

}  // namespace

std::string why_no_privilege_drop()
{
    if (setpriv_program().empty())
        return "setpriv is not installed: no way to drop privileges";
    if (geteuid() != 0)
        return "dropping to another user needs root";
    return "";
}

std::vector<std::string> as_nobody()
{
    const std::string id = std::to_string(NOBODY);
    return {setpriv_program(), "--reuid=" + id, "--regid=" + id, "--clear-groups"};
}

void chown_tree(const std::string& root, uid_t uid, gid_t gid)
{
    ASSERT_EQ(0, lchown(root.c_str(), uid, gid)) << root;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(0, lchown(entry.path().c_str(), uid, gid)) << entry.path();
}

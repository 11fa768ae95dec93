#include "e2e/tree_compare.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <functional>
#include <sys/stat.h>

#include "support/temp_tree.h"

namespace {

std::string printable(const std::string& name)
{
    std::string shown;
    for (const unsigned char c : name) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

void describe_into(const std::string& root, const std::string& relative, bool mirrored_only,
                   std::vector<std::string>* lines)
{
    const std::string here = relative.empty() ? root : root + "/" + relative;
    DIR* dir = opendir(here.c_str());
    if (dir == nullptr) {
        lines->push_back("? " + printable(relative) + " (cannot be listed)");
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (mirrored_only && name[0] == '.')
            continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        const std::string full = root + "/" + child;
        struct stat info;
        if (lstat(full.c_str(), &info) != 0) {
            lines->push_back("? " + printable(child));
        } else if (S_ISDIR(info.st_mode)) {
            lines->push_back("d " + printable(child));
            describe_into(root, child, mirrored_only, lines);
        } else if (S_ISREG(info.st_mode)) {
            const std::string bytes = read_file(full);
            char detail[160];
            std::snprintf(detail, sizeof detail, " size=%lld bytes=%zx mtime/2=%lld mode=%03o",
                          static_cast<long long>(info.st_size), std::hash<std::string>{}(bytes),
                          static_cast<long long>(info.st_mtime / 2), static_cast<unsigned>(info.st_mode & 07777));
            lines->push_back("f " + printable(child) + detail);
        } else if (!mirrored_only) {
            lines->push_back((S_ISLNK(info.st_mode) ? "l " : "o ") + printable(child));
        }
    }
}

}  // namespace

std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only)
{
    std::vector<std::string> lines;
    describe_into(root, "", mirrored_only, &lines);
    return lines;
}

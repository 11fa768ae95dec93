#include "fileops/make_dir.h"

#include <string>

#include "core/output.h"
#include "core/stats.h"
#include "platform/platform.h"

int make_directory(const char* path)
{
    show(SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    const int result = fs_make_dir(path);
    if (result == 0)
        ++RunStatistics.dirs_created;
    return result;
}

int make_directory_at(fs_dir_t* parent, const char* name, const char* path)
{
    show(SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    if (parent == nullptr) {
        set_last_error_kind(ERR_NOT_FOUND);
        return -1;
    }
    const int result = fs_make_dir_at(parent, name);
    if (result == 0)
        ++RunStatistics.dirs_created;
    return result;
}

void make_path(const char* path)
{
    // The root of the path (a leading separator, a drive or a network
    // share) is never created, nor is a first name of one character or a
    // name that ends in ":" and reads as a drive.
    const std::size_t root = root_length(path);
    std::string prefix;
    for (const char* c = path; *c != '\0'; ++c) {
        if (is_separator(*c) && prefix.size() >= 2 && prefix.size() > root && prefix.back() != ':')
            make_directory(prefix.c_str());
        prefix += *c;
    }
}

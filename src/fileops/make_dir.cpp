#include "fileops/make_dir.h"

#include <string>

#include "core/output.h"
#include "fileops/dest_changes.h"
#include "platform/platform.h"

namespace {

// Counts a directory made, and reports one that could not be made; one
// that is there already is no failure.
int made(run_t& run, bool done, fs_error_t error, const char* path)
{
    if (done) {
        ++run.stats.dirs_created;
        return 0;
    }
    if (!error || error.is(ERR_EXISTS))
        return 1;
    report_failure(run, path, error);
    return -1;
}

}  // namespace

int make_directory(run_t& run, dest_changes_t& changes, const char* path)
{
    show(run, SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    const fs_error_t error = changes.make_dir(path);
    return made(run, !error, error, path);
}

int make_directory_at(run_t& run, dest_changes_t& changes, dest_dir_t* parent, const char* name, const char* path)
{
    show(run, SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    fs_error_t error;
    const bool done = changes.make_dir_at(*parent, name, &error);
    return made(run, done, error, path);
}

std::size_t make_path(run_t& run, dest_changes_t& changes, const char* path)
{
    // The root of the path (a leading separator, a drive or a network
    // share) is never created, nor is a first name of one character or a
    // name that ends in ":" and reads as a drive. Below a directory that
    // could not be made nothing can be, and its failure says so once.
    const std::size_t root = root_length(path);
    std::string prefix;
    for (const char* c = path; *c != '\0'; ++c) {
        if (is_separator(*c) && prefix.size() >= 2 && prefix.size() > root && prefix.back() != ':' &&
            make_directory(run, changes, prefix.c_str()) < 0)
            return prefix.size();
        prefix += *c;
    }
    return 0;
}

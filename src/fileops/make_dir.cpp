#include "fileops/make_dir.h"

#include <string>

#include "core/output.h"
#include "platform/platform.h"

namespace {

// Counts a directory made, and reports one that could not be made; one
// that is there already is no failure. A dry run makes nothing.
int made(run_t& run, fs_error_t error, const char* path)
{
    if (!error)
        ++run.stats.dirs_created;
    else if (!error.is(ERR_EXISTS))
        report_failure(run, path, error);
    return error ? -1 : 0;
}

fs_error_t made_by(int result)
{
    return result == 0 ? fs_error_t{} : fs_last_error();
}

}  // namespace

int make_directory(run_t& run, const char* path)
{
    show(run, SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    if (run.settings.dry_run) {
        fs_status_t status;
        return fs_stat(path, true, &status) == 0 ? -1 : made(run, {}, path);
    }
    return made(run, made_by(fs_make_dir(path)), path);
}

int make_directory_at(run_t& run, dest_dir_t* parent, const char* name, const char* path)
{
    show(run, SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    if (!parent->dir) {
        // A parent that a dry run would have made takes it; one that is
        // missing was reported as such.
        if (run.settings.dry_run && parent->made)
            return made(run, {}, path);
        return -1;
    }
    if (run.settings.dry_run) {
        // What is there already stays, unless the run would have removed it.
        fs_status_t status;
        if (!parent->gone.contains(name) && fs_stat_at(parent->dir.get(), name, &status) == 0)
            return -1;
        return made(run, {}, path);
    }
    return made(run, made_by(fs_make_dir_at(parent->dir.get(), name)), path);
}

void make_path(run_t& run, const char* path)
{
    // The root of the path (a leading separator, a drive or a network
    // share) is never created, nor is a first name of one character or a
    // name that ends in ":" and reads as a drive.
    const std::size_t root = root_length(path);
    std::string prefix;
    for (const char* c = path; *c != '\0'; ++c) {
        if (is_separator(*c) && prefix.size() >= 2 && prefix.size() > root && prefix.back() != ':')
            make_directory(run, prefix.c_str());
        prefix += *c;
    }
}

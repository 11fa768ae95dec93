#include "fileops/make_dir.h"

#include <string>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "platform/platform.h"

namespace {

// Counts a directory made, and reports one that could not be made; one
// that is there already is no failure. A dry run makes nothing.
int made(int result, const char* path)
{
    if (result == 0) {
        ++RunStatistics.dirs_created;
    } else if (!last_error_is(ERR_EXISTS)) {
        print_error_line(path);
        log_error(path);
    }
    return result;
}

}  // namespace

int make_directory(const char* path)
{
    show(SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    if (RunSettings.dry_run) {
        fs_status_t status;
        return fs_stat(path, true, &status) == 0 ? -1 : made(0, path);
    }
    return made(fs_make_dir(path), path);
}

int make_directory_at(dest_dir_t* parent, const char* name, const char* path)
{
    show(SHOW_CREATIONS, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    if (!parent->dir) {
        // A parent that a dry run would have made takes it; one that is
        // missing was reported as such.
        if (RunSettings.dry_run && parent->made)
            return made(0, path);
        set_last_error_kind(ERR_NOT_FOUND);
        return -1;
    }
    if (RunSettings.dry_run) {
        // What is there already stays, unless the run would have removed it.
        fs_status_t status;
        if (!parent->gone.contains(name) && fs_stat_at(parent->dir.get(), name, &status) == 0) {
            set_last_error_kind(ERR_EXISTS);
            return -1;
        }
        return made(0, path);
    }
    return made(fs_make_dir_at(parent->dir.get(), name), path);
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

#include "fileops/remove.h"

#include <string>

#include "core/output.h"
#include "core/stats.h"
#include "listing/filelist.h"
#include "platform/platform.h"

int remove_file(const char* path, int level)
{
    fs_status_t status;
    if (fs_stat(path, false, &status) != 0)
        return -1;
    if (status.read_only)
        fs_clear_readonly(path);
    show(level, "File\t%-60.60s Cancellato\n", fit_path(path, FIT_WIDTH));
    const int result = fs_remove_file(path);
    if (level == SHOW_PROGRESS)
        ++RunStatistics.files_deleted;
    return result;
}

int remove_tree(const char* path, bool principal)
{
    std::string child = path;
    child += path_separator();
    const std::size_t base = child.size();

    filelist_t dirs;
    filelist_t files;
    Filelist_scan(child.c_str(), &dirs, &files, principal);

    while (!Filelist_empty(&files)) {
        filelist_t* record = files.next;
        child.resize(base);
        child += record->name;
        remove_file(child.c_str(), SHOW_PROGRESS);
        Filelist_remove(record);
    }
    while (!Filelist_empty(&dirs)) {
        filelist_t* record = dirs.next;
        child.resize(base);
        child += record->name;
        remove_tree(child.c_str(), principal);
        Filelist_remove(record);
    }

    show(SHOW_PROGRESS, "Dir\t%-60.60s Cancellata\n", fit_path(path, FIT_WIDTH));
    const int result = fs_remove_dir(path);
    ++RunStatistics.dirs_deleted;
    return result;
}

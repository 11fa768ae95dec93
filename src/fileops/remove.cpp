#include "fileops/remove.h"

#include <memory>
#include <string>

#include "listing/filelist.h"
#include "platform/platform.h"
#include "run/options.h"
#include "run/output.h"
#include "run/stats.h"

int remove_file(const char* path, int level)
{
    fs_status_t status;
    if (fs_stat(path, false, &status) != 0)
        return -1;
    if (status.read_only)
        fs_clear_readonly(path);
    show(level, "File\t%-60.60s Cancellato\n", fit_path(path, FIT_WIDTH));
    const int result = fs_remove_file(path);
    if (level == 1)
        ++RunStatistics.files_deleted;
    return result;
}

int remove_tree(const char* path)
{
    std::string child = path;
    child += PATH_SEP;
    const std::size_t base = child.size();

    // On the heap: a record is large, and the removal recurses once per level.
    const std::unique_ptr<filelist_t[]> heads(new filelist_t[2]);
    filelist_t& dirs = heads[0];
    filelist_t& files = heads[1];
    Filelist_scan(child.c_str(), &dirs, &files);

    while (!Filelist_empty(&files)) {
        filelist_t* record = files.next;
        child.resize(base);
        child += record->name;
        remove_file(child.c_str(), 1);
        Filelist_remove(record);
    }
    while (!Filelist_empty(&dirs)) {
        filelist_t* record = dirs.next;
        child.resize(base);
        child += record->name;
        remove_tree(child.c_str());
        Filelist_remove(record);
    }

    show(1, "Dir\t%-60.60s Cancellata\n", fit_path(path, FIT_WIDTH));
    const int result = fs_remove_dir(path);
    ++RunStatistics.dirs_deleted;
    return result;
}

#include "fileops/remove.h"

#include <memory>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "platform/platform.h"

int remove_file(fs_dir_t* dir, const char* name, const char* path, int level)
{
    fs_status_t status;
    if (fs_stat_at(dir, name, &status) != 0)
        return -1;
    show(level, "File\t%-60.60s Cancellato\n", fit_path(path, FIT_WIDTH));
    const int result = fs_remove_file_at(dir, name);
    if (level == SHOW_PROGRESS)
        ++RunStatistics.files_deleted;
    return result;
}

namespace {

// One directory of a tree being removed: its files are gone once it is
// entered, its sub-directories wait their turn.
struct removal_t {
    fs_dir_t* dir;                 // nullptr when it could not be opened
    std::string name;              // in its parent
    std::string path;              // without a trailing separator
    filelist_t dirs;
};

// Opens and lists one directory of the tree and removes its files.
std::unique_ptr<removal_t> enter(fs_dir_t* parent, const filelist_t* record, std::string path, bool principal)
{
    auto level = std::make_unique<removal_t>();
    level->dir = open_listed_dir(parent, record);
    level->name = record->name;
    level->path = std::move(path);
    std::string child = level->path + path_separator();
    const std::size_t base = child.size();
    filelist_t files;
    const scan_t how{principal, RunSettings.log_id ? &*RunSettings.log_id : nullptr};
    Filelist_scan(level->dir, child.c_str(), &level->dirs, &files, how);
    while (!Filelist_empty(&files)) {
        filelist_t* file = files.next;
        child.resize(base);
        child += file->name;
        remove_file(level->dir, file->name, child.c_str(), SHOW_PROGRESS);
        Filelist_remove(file);
    }
    return level;
}

}  // namespace

int remove_tree(fs_dir_t* parent, const filelist_t* record, const char* path, bool principal)
{
    // Depth first without recursion, so that no depth of tree can exhaust
    // the stack; each level holds its directory open for the one below.
    std::vector<std::unique_ptr<removal_t>> levels;
    levels.push_back(enter(parent, record, path, principal));
    for (;;) {
        removal_t& level = *levels.back();
        if (!Filelist_empty(&level.dirs)) {
            filelist_t* sub = level.dirs.next;
            levels.push_back(enter(level.dir, sub, level.path + path_separator() + sub->name, principal));
            Filelist_remove(sub);
            continue;
        }
        show(SHOW_PROGRESS, "Dir\t%-60.60s Cancellata\n", fit_path(level.path.c_str(), FIT_WIDTH));
        if (level.dir != nullptr)
            fs_dir_close(level.dir);
        fs_dir_t* holder = levels.size() > 1 ? levels[levels.size() - 2]->dir : parent;
        const int result = holder != nullptr ? fs_remove_dir_at(holder, level.name.c_str()) : -1;
        ++RunStatistics.dirs_deleted;
        levels.pop_back();
        if (levels.empty())
            return result;
    }
}

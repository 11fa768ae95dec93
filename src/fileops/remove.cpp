#include "fileops/remove.h"

#include <memory>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "platform/platform.h"

namespace {

// Whether `count` more removals fit under -c. The first that does not
// stops the removals for good, with one line and a log record naming what
// was not removed.
bool may_remove(std::uint64_t count, const char* path)
{
    if (!RunSettings.removal_limit)
        return true;
    if (RunStatistics.removals_stopped)
        return false;
    const std::uint64_t done = RunStatistics.removals;
    if (count > *RunSettings.removal_limit - done) {
        RunStatistics.removals_stopped = true;
        show_error("Limite cancellazioni raggiunto (%llu)\n",
                   static_cast<unsigned long long>(*RunSettings.removal_limit));
        log_failure(path, ERR_CANCELED);
        return false;
    }
    RunStatistics.removals = done + count;
    return true;
}

// Deletes one file, announced; the removal limit has been asked already.
int unlink_file(fs_dir_t* dir, const char* name, const char* path, int level)
{
    show(level, "File\t%-60.60s Cancellato\n", fit_path(path, FIT_WIDTH));
    const int result = RunSettings.dry_run ? 0 : fs_remove_file_at(dir, name);
    if (result != 0) {
        print_error_line(path);
        log_error(path);
        return result;
    }
    if (level == SHOW_PROGRESS)
        ++RunStatistics.files_deleted;
    return 0;
}

// One directory of a tree being removed: its files are gone once it is
// entered, its sub-directories wait their turn.
struct removal_t {
    dir_handle_t dir;              // none when it could not be opened
    std::string name;              // in its parent
    std::string path;              // without a trailing separator
    filelist_head_t dirs;
    bool kept = false;             // a directory the walk works from: never entered
    int unlisted = 0;              // the error that kept it from being opened or listed whole
};

bool is_kept(const filelist_t* record, const std::vector<fs_id_t>& keep)
{
    for (const fs_id_t& id : keep) {
        if (id == record->id())
            return true;
    }
    return false;
}


// Opens and lists one directory of the tree and, unless only counting,
// removes its files; `files` receives how many it listed. A directory that
// cannot be opened or listed whole keeps the error; the files that were
// listed still go.
std::unique_ptr<removal_t> enter(fs_dir_t* parent, const filelist_t* record, std::string path, bool principal,
                                 bool counting, std::uint64_t* files, const std::vector<fs_id_t>& keep)
{
    auto level = std::make_unique<removal_t>();
    level->name = record->name();
    level->path = std::move(path);
    *files = 0;
    if (is_kept(record, keep)) {
        // The source itself, seen through a mount or an overlap that -i let
        // by: removing it as an extra of the destination would lose it.
        level->kept = true;
        if (!counting) {
            set_last_error_kind(ERR_BUSY);
            print_error_line(level->path.c_str());
            log_error(level->path.c_str());
        }
        return level;
    }
    level->dir.reset(open_listed_dir(parent, record));
    if (!level->dir)
        level->unlisted = last_error();
    std::string child = level->path + path_separator();
    const std::size_t base = child.size();
    filelist_head_t listed;
    // The count lists quietly; the removal shows its listings.
    const scan_t how{principal, RunSettings.log_id ? &*RunSettings.log_id : nullptr, counting};
    int failure = 0;
    *files = Filelist_scan(level->dir.get(), child.c_str(), &level->dirs, &listed, how, &failure);
    if (level->unlisted == 0)
        level->unlisted = failure;
    while (!Filelist_empty(&listed)) {
        filelist_t* file = listed.next;
        if (!counting) {
            child.resize(base);
            child += file->name();
            unlink_file(level->dir.get(), file->name(), child.c_str(), SHOW_PROGRESS);
        }
        Filelist_remove(&listed, file);
    }
    return level;
}

// Walks the tree depth first without recursion, so that no depth of tree can
// exhaust the stack; each level holds its directory open for the one below.
// Removes it, or only counts its files and directories. Returns the result
// of the removal of the tree's own directory.
int walk_tree(fs_dir_t* parent, const filelist_t* record, const char* path, bool principal, bool counting,
              std::uint64_t* count, const std::vector<fs_id_t>& keep)
{
    std::uint64_t files = 0;
    std::vector<std::unique_ptr<removal_t>> levels;
    levels.push_back(enter(parent, record, path, principal, counting, &files, keep));
    *count = files;
    for (;;) {
        removal_t& level = *levels.back();
        if (!Filelist_empty(&level.dirs)) {
            filelist_t* sub = level.dirs.next;
            levels.push_back(enter(level.dir.get(), sub, level.path + path_separator() + sub->name(), principal, counting,
                                   &files, keep));
            *count += files;
            Filelist_remove(&level.dirs, sub);
            continue;
        }
        int result = 0;
        if (level.kept) {
            result = -1;
        } else if (!counting) {
            ++*count;
            show(SHOW_PROGRESS, "Dir\t%-60.60s Cancellata\n", fit_path(level.path.c_str(), FIT_WIDTH));
            fs_dir_t* holder = levels.size() > 1 ? levels[levels.size() - 2]->dir.get() : parent;
            level.dir.reset();
            if (RunSettings.dry_run)
                result = level.unlisted != 0 ? -1 : 0;
            else
                result = holder != nullptr ? fs_remove_dir_at(holder, level.name.c_str()) : -1;
            // A directory that could not be listed keeps what it holds:
            // that is the failure, reported once, where its removal fails.
            // One that keeps what was left in it (dot names, excluded names,
            // a removal already reported, a sub-directory that could not be
            // listed) is no further failure.
            if (result == 0) {
                ++RunStatistics.dirs_deleted;
            } else if (level.unlisted != 0) {
                set_last_error(level.unlisted);
                print_error_line(level.path.c_str());
                log_error(level.path.c_str());
            } else if (holder != nullptr && !last_error_is(ERR_EXISTS) && !last_error_is(ERR_NOT_EMPTY)) {
                print_error_line(level.path.c_str());
                log_error(level.path.c_str());
            }
        } else {
            ++*count;
        }
        levels.pop_back();
        if (levels.empty())
            return result;
    }
}

}  // namespace

int remove_file(fs_dir_t* dir, const char* name, const char* path, int level)
{
    fs_status_t status;
    if (fs_stat_at(dir, name, &status) != 0)
        return -1;
    if (level == SHOW_PROGRESS && !may_remove(1, path))
        return -1;
    return unlink_file(dir, name, path, level);
}

int remove_tree(fs_dir_t* parent, const filelist_t* record, const char* path, bool principal,
                const std::vector<fs_id_t>& keep)
{
    // Counted before any of it goes, so that the limit never leaves a tree
    // half removed.
    std::uint64_t count = 0;
    if (RunSettings.removal_limit && !RunStatistics.removals_stopped)
        walk_tree(parent, record, path, principal, true, &count, keep);
    if (!may_remove(count, path))
        return -1;
    return walk_tree(parent, record, path, principal, false, &count, keep);
}

#include "fileops/remove.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/output.h"
#include "fileops/dest_changes.h"
#include "platform/platform.h"

namespace {

// Whether `count` more removals fit under -c. The first that does not
// stops the removals for good, with one line and a log record naming what
// was not removed.
bool may_remove(run_t& run, std::uint64_t count, const char* path)
{
    const std::optional<std::uint64_t>& limit = run.settings.removal_limit;
    if (!limit)
        return true;
    if (run.removals.stopped)
        return false;
    if (count > *limit - run.removals.used) {
        run.removals.stopped = true;
        show_error(run, "Limite cancellazioni raggiunto (%llu)\n", static_cast<unsigned long long>(*limit));
        log_error(run, path, fs_error_of(ERR_CANCELED));
        return false;
    }
    run.removals.used += count;
    return true;
}

// A level above the highest display level: lines shown there never are.
constexpr int SHOW_NEVER = SHOW_COMMAND + 1;

// The announcement of a file or directory that leaves the destination:
// removed, or kept (-k), in the same columns.
void announce_file(const run_t& run, const dest_changes_t& changes, int level, const char* path)
{
    show(run, level, changes.keeps() ? "File\t%-60.60s Conservato\n" : "File\t%-60.60s Cancellato\n",
         fit_path(path, FIT_WIDTH));
}

void announce_dir(const run_t& run, const dest_changes_t& changes, int level, const char* path)
{
    show(run, level, changes.keeps() ? "Dir\t%-60.60s Conservata\n" : "Dir\t%-60.60s Cancellata\n",
         fit_path(path, FIT_WIDTH));
}

// Deletes one file, announced at `level`; the removal limit has been asked
// already. `counted`: the deletion counts in files_deleted.
int unlink_file(run_t& run, dest_changes_t& changes, fs_dir_t* dir, const char* name, const char* path, int level,
                bool counted)
{
    announce_file(run, changes, level, path);
    const fs_error_t error = changes.remove_file_at(dir, name, path);
    if (error) {
        report_failure(run, path, error);
        return -1;
    }
    if (counted)
        ++run.stats.files_deleted;
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
    fs_error_t unlisted;           // what kept it from being opened or listed whole
    bool holds = false;            // something in it could not be removed
};

bool is_kept(const filelist_t* record, const std::vector<fs_id_t>& keep)
{
    for (const fs_id_t& id : keep) {
        if (id == record->id())
            return true;
    }
    return false;
}

// Files and directories of a tree.
struct tree_count_t {
    std::uint64_t files = 0;
    std::uint64_t dirs = 0;
};

// How a tree is walked: to count it, to show what leaves before it leaves
// in one step, or to remove it entry by entry.
struct tree_walk_t {
    run_t& run;
    dest_changes_t& changes;
    bool principal;                      // removed from the principal pair: the -X names are hidden too
    const std::vector<fs_id_t>& keep;    // directories never entered
    bool counting = false;               // only counts
    bool acting = true;                  // removes; otherwise only shows what will leave
    int level = SHOW_PROGRESS;           // the lines of its entries
    int top_level = SHOW_PROGRESS;       // the line of the tree's own directory
    bool counted = true;                 // what goes counts in the footer
    std::uint64_t device = 0;            // the file system of the tree's own directory
    bool* whole = nullptr;               // cleared when something must stay where it is
};

// Notes that something in the tree cannot leave with it.
void stays(const tree_walk_t& walk)
{
    if (walk.whole != nullptr)
        *walk.whole = false;
}

// Opens and lists one directory of the tree and, when removing, removes its
// files; `files` receives how many it listed. A directory that cannot be
// opened or listed whole keeps the error; the files that were listed still
// go.
std::unique_ptr<removal_t> enter(const tree_walk_t& walk, fs_dir_t* parent, const filelist_t* record, std::string path,
                                 std::uint64_t* files)
{
    auto level = std::make_unique<removal_t>();
    level->name = record->name();
    level->path = std::move(path);
    *files = 0;
    if (is_kept(record, walk.keep)) {
        // The source itself, seen through a mount or an overlap that -i let
        // by: removing it as an extra of the destination would lose it.
        level->kept = true;
        stays(walk);
        if (!walk.counting && walk.acting)
            report_failure(walk.run, level->path.c_str(), fs_error_of(ERR_BUSY));
        return level;
    }
    level->dir.reset(open_listed_dir(parent, record, &level->unlisted));
    std::string child = level->path + path_separator();
    const std::size_t base = child.size();
    filelist_head_t listed;
    // The count lists quietly, and so does a removal whose lines were shown
    // already; the others show their listings.
    bool left_out = false;
    const scan_t how{.principal = walk.principal,
                     .hidden = walk.run.log.id ? &*walk.run.log.id : nullptr,
                     .quiet = walk.counting || walk.level == SHOW_NEVER,
                     .left_out = &left_out};
    fs_error_t failure;
    *files = Filelist_scan(walk.run, level->dir.get(), child.c_str(), &level->dirs, &listed, how, &failure);
    if (!level->unlisted)
        level->unlisted = failure;
    if (left_out || level->unlisted)
        stays(walk);
    // The run's versions directory stays, without a word, wherever it lies;
    // a directory of another file system cannot leave in the same step.
    for (filelist_t* sub = level->dirs.next; sub != &level->dirs;) {
        filelist_t* next = sub->next;
        if (sub->id().device != walk.device)
            stays(walk);
        if (walk.changes.hides(sub->id())) {
            stays(walk);
            Filelist_remove(&level->dirs, sub);
        }
        sub = next;
    }
    while (!Filelist_empty(&listed)) {
        filelist_t* file = listed.next;
        if (!walk.counting) {
            child.resize(base);
            child += file->name();
            if (!walk.acting)
                announce_file(walk.run, walk.changes, walk.level, child.c_str());
            else if (unlink_file(walk.run, walk.changes, level->dir.get(), file->name(), child.c_str(), walk.level,
                                 walk.counted) != 0)
                level->holds = true;
        }
        Filelist_remove(&listed, file);
    }
    return level;
}

// Walks the tree depth first without recursion, so that no depth of tree can
// exhaust the stack; each level holds its directory open for the one below.
// Removes it, only counts its files and directories, or only shows them.
// Returns the result of the removal of the tree's own directory (0 where it
// was not removed but only counted or shown).
int walk_tree(const tree_walk_t& walk, fs_dir_t* parent, const filelist_t* record, const char* path,
              tree_count_t* count)
{
    run_t& run = walk.run;
    std::uint64_t files = 0;
    std::vector<std::unique_ptr<removal_t>> levels;
    levels.push_back(enter(walk, parent, record, path, &files));
    count->files = files;
    for (;;) {
        removal_t& level = *levels.back();
        if (!Filelist_empty(&level.dirs)) {
            filelist_t* sub = level.dirs.next;
            levels.push_back(enter(walk, level.dir.get(), sub, level.path + path_separator() + sub->name(), &files));
            count->files += files;
            Filelist_remove(&level.dirs, sub);
            continue;
        }
        int result = 0;
        if (level.kept) {
            result = -1;
        } else if (walk.counting) {
            ++count->dirs;
        } else if (!walk.acting) {
            ++count->dirs;
            announce_dir(run, walk.changes, levels.size() == 1 ? walk.top_level : walk.level, level.path.c_str());
        } else {
            ++count->dirs;
            announce_dir(run, walk.changes, levels.size() == 1 ? walk.top_level : walk.level, level.path.c_str());
            fs_dir_t* holder = levels.size() > 1 ? levels[levels.size() - 2]->dir.get() : parent;
            level.dir.reset();
            fs_error_t error;
            if (holder == nullptr)
                result = -1;
            else if ((error = walk.changes.remove_dir_at(holder, level.name.c_str(), level.path.c_str(),
                                                         !level.unlisted && !level.holds)))
                result = -1;
            // A directory that could not be listed keeps what it holds:
            // that is the failure, reported once, where its removal fails.
            // One that keeps what was left in it (dot names, excluded names,
            // a removal already reported, a sub-directory that could not be
            // listed) is no further failure.
            if (result == 0) {
                if (walk.counted)
                    ++run.stats.dirs_deleted;
            } else if (level.unlisted) {
                report_failure(run, level.path.c_str(), level.unlisted);
            } else if (error && !error.is(ERR_EXISTS) && !error.is(ERR_NOT_EMPTY)) {
                report_failure(run, level.path.c_str(), error);
            }
        }
        // A directory that stays keeps the one it is in from going too.
        if (result != 0 && !walk.counting && levels.size() > 1)
            levels[levels.size() - 2]->holds = true;
        levels.pop_back();
        if (levels.empty())
            return result;
    }
}

}  // namespace

int remove_file(run_t& run, dest_changes_t& changes, fs_dir_t* dir, const char* name, const char* path, int level)
{
    fs_status_t status;
    if (fs_stat_at(dir, name, &status))
        return -1;
    if (level == SHOW_PROGRESS && !may_remove(run, 1, path))
        return -1;
    return unlink_file(run, changes, dir, name, path, level, level == SHOW_PROGRESS);
}

int remove_tree(run_t& run, dest_changes_t& changes, fs_dir_t* parent, const filelist_t* record, const char* path,
                bool principal, const std::vector<fs_id_t>& keep)
{
    // Counted before any of it goes, so that the limit never leaves a tree
    // half removed.
    const tree_walk_t removal{.run = run, .changes = changes, .principal = principal, .keep = keep,
                              .device = record->id().device};
    tree_count_t count;
    if (run.settings.removal_limit && !run.removals.stopped) {
        tree_walk_t counting = removal;
        counting.counting = true;
        walk_tree(counting, parent, record, path, &count);
    }
    if (!may_remove(run, count.files + count.dirs, path))
        return -1;
    if (changes.takes_whole(record->id())) {
        // A tree that holds nothing that must stay leaves in one step, its
        // lines shown first as if it went entry by entry. Otherwise, or
        // where that step fails, it goes entry by entry, without showing
        // its lines again.
        bool whole = true;
        tree_walk_t showing = removal;
        showing.acting = false;
        showing.whole = &whole;
        tree_count_t shown;
        walk_tree(showing, parent, record, path, &shown);
        if (whole && !changes.remove_tree_at(parent, record->name(), path)) {
            run.stats.files_deleted += shown.files;
            run.stats.dirs_deleted += shown.dirs;
            return 0;
        }
        tree_walk_t quiet = removal;
        quiet.level = SHOW_NEVER;
        quiet.top_level = SHOW_NEVER;
        return walk_tree(quiet, parent, record, path, &count);
    }
    return walk_tree(removal, parent, record, path, &count);
}

int remove_expired(run_t& run, dest_changes_t& changes, fs_dir_t* parent, const filelist_t* record, const char* path)
{
    static const std::vector<fs_id_t> none;
    tree_walk_t removal{.run = run, .changes = changes, .principal = false, .keep = none,
                        .device = record->id().device};
    removal.level = SHOW_NEVER;
    removal.counted = false;
    tree_count_t count;
    return walk_tree(removal, parent, record, path, &count);
}

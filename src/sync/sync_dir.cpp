#include "sync/sync_dir.h"

#include <memory>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/copy_file.h"
#include "fileops/durable.h"
#include "fileops/make_dir.h"
#include "fileops/remove.h"
#include "listing/filelist.h"
#include "listing/filelist_index.h"
#include "platform/platform.h"
#include "sync/lister.h"
#include "sync/needs_copy.h"

namespace {

// One directory pair, from its checks until its last sub-directory has been
// walked. Both directories stay open for the pair's lifetime, and everything
// done in them goes through those handles: a link swapped in for a listed
// directory is never followed, and no path grows too long for the system.
struct pair_t {
    fs_dir_t* src_dir = nullptr;
    dest_dir_t dst;                    // open, or missing in the dated mode
    std::string src;                   // working paths, each ending with the separator
    std::string dst_path;
    std::size_t src_base = 0;
    std::size_t dst_base = 0;
    bool principal = false;            // the operands' pair: the -X names are hidden here
    filelist_head_t src_dirs;
    filelist_head_t src_files;
    filelist_head_t dst_dirs;
    filelist_head_t dst_files;
    std::unique_ptr<filelist_index_t> dst_dir_index;   // pass 4 looks up dst_dirs
    bool protect = false;              // give the destination the source's protection once done
    walk_key_t key;                    // where it stands in the walk
    std::uint32_t both_sides = 0;      // sub-directories on both sides met so far by pass 4

    pair_t() = default;
    pair_t(const pair_t&) = delete;
    pair_t& operator=(const pair_t&) = delete;
    ~pair_t()
    {
        if (src_dir != nullptr)
            fs_dir_close(src_dir);
        if (dst.dir != nullptr)
            fs_dir_close(dst.dir);
    }

    const char* src_child(const char* name)
    {
        src.resize(src_base);
        src += name;
        return src.c_str();
    }
    const char* dst_child(const char* name)
    {
        dst_path.resize(dst_base);
        dst_path += name;
        return dst_path.c_str();
    }
};

void end_with_separator(std::string* path)
{
    if (path->empty() || !is_separator(path->back()))
        *path += path_separator();
}

// A list left holding records means the pairing went wrong: stop before
// anything else is done on a wrong picture of the trees.
void check_consumed(const filelist_head_t* head, const char* message)
{
    if (!Filelist_empty(head)) {
        show_error("%s", message);
        proc_exit(1);
    }
}

// Reports a side that could not be opened as a directory. Something else
// under its name (a link counts as something else) is only a line; anything
// else is an error line with `error` and a log record.
void report_side(const char* path, bool found, const fs_status_t& status, int error)
{
    if (found && !status.is_dir) {
        show_error("%s - Not directory\n", shown(path).c_str());
        return;
    }
    set_last_error(error);
    print_error_line(path);
    log_error(path);
}

// Opens an operand, following links as its path leads. A failure is
// reported, except a missing dated destination when `missing_ok`.
fs_dir_t* open_operand(const char* path, bool missing_ok, bool* missing)
{
    fs_dir_t* dir = fs_dir_open(nullptr, path, true, nullptr);
    if (dir != nullptr)
        return dir;
    const int open_error = last_error();
    fs_status_t status;
    const bool found = fs_stat(path, true, &status) == 0;
    if (!found && missing_ok && last_error_is(ERR_NOT_FOUND)) {
        *missing = true;
        return nullptr;
    }
    report_side(path, found, status, found ? open_error : last_error());
    return nullptr;
}

// Opens the sub-directory `record` of `parent`: the one that was listed, and
// never through a link. A failure is reported under `path`; a directory that
// has taken the place of the one listed counts as the listed one gone.
fs_dir_t* open_child(fs_dir_t* parent, const filelist_t* record, const char* path)
{
    fs_dir_t* dir = open_listed_dir(parent, record);
    if (dir != nullptr)
        return dir;
    const int open_error = last_error();
    fs_status_t status;
    const bool found = fs_stat_at(parent, record->name(), &status) == 0;
    int error = last_error();
    if (found)
        error = status.id == record->id() ? open_error : error_code(ERR_NOT_FOUND);
    report_side(path, found, status, error);
    return nullptr;
}

// Destination sub-directories that the source lacks go first, so that a
// name whose type or spelling changed is free before the copies.
void remove_extra_dirs(pair_t& pair)
{
    const filelist_index_t source(&pair.src_dirs);
    for (filelist_t* record = pair.dst_dirs.next; record != &pair.dst_dirs;) {
        filelist_t* next = record->next;
        if (source.find(record->name()) == nullptr) {
            if (!RunSettings.keep_extra &&
                remove_tree(pair.dst.dir, record, pair.dst_child(record->name()), pair.principal) == 0 &&
                RunSettings.dry_run)
                pair.dst.gone.insert(record->name());
            Filelist_remove(&pair.dst_dirs, record);
        }
        record = next;
    }
}

void remove_extra_files(pair_t& pair)
{
    const filelist_index_t source(&pair.src_files);
    for (filelist_t* record = pair.dst_files.next; record != &pair.dst_files;) {
        filelist_t* next = record->next;
        if (source.find(record->name()) == nullptr) {
            if (!RunSettings.keep_extra &&
                remove_file(pair.dst.dir, record->name(), pair.dst_child(record->name()), SHOW_PROGRESS) == 0 &&
                RunSettings.dry_run)
                pair.dst.gone.insert(record->name());
            Filelist_remove(&pair.dst_files, record);
        }
        record = next;
    }
}

// Every source file meets its destination namesake, if any, and the copy
// decision; both records go once judged.
void copy_files(pair_t& pair)
{
    filelist_index_t destination(&pair.dst_files);
    while (!Filelist_empty(&pair.src_files)) {
        filelist_t* record = pair.src_files.next;
        filelist_t* existing = destination.find(record->name());
        if (needs_copy(record, existing)) {
            const char* from = pair.src_child(record->name());
            const char* to = pair.dst_child(record->name());
            if (copy_file(record, pair.src_dir, from, &pair.dst, to) != 0)
                ++RunStatistics.files_not_copied;
        }
        if (existing != nullptr) {
            destination.forget(existing);
            Filelist_remove(&pair.dst_files, existing);
        }
        Filelist_remove(&pair.src_files, record);
    }
}

// Lists a pair whose two sides are open (the destination may be missing in
// the dated mode), and offers its sub-directories on both sides to be
// listed ahead. Returns false when the source could not be listed
// completely: then nothing in the pair is removed or copied.
bool list_pair(pair_t& pair, const char* src_as_received, const char* dst_as_received, lister_t& lister)
{
    int failure = 0;
    RunStatistics.files_scanned +=
        Filelist_scan(pair.src_dir, pair.src.c_str(), &pair.src_dirs, &pair.src_files, {pair.principal}, &failure);
    if (failure != 0) {
        // A source we could not read entirely is not a source without
        // entries: judging the destination by it would remove the backup.
        set_last_error(failure);
        print_error_line(src_as_received);
        log_error(src_as_received);
        Filelist_init(&pair.src_dirs);
        Filelist_init(&pair.src_files);
        return false;
    }
    // The run's own log is never listed in the destination, so nothing
    // there removes or replaces it. A destination that cannot be listed is
    // reported, and worked as far as it was listed.
    const scan_t destination{pair.principal, RunSettings.log_id ? &*RunSettings.log_id : nullptr};
    Filelist_scan(pair.dst.dir, pair.dst_path.c_str(), &pair.dst_dirs, &pair.dst_files, destination, &failure);
    if (failure != 0) {
        set_last_error(failure);
        print_error_line(dst_as_received);
        log_error(dst_as_received);
    }
    if (pair.dst.dir != nullptr)
        lister.offer(pair.key, pair.src_dir, pair.dst.dir, lister_t::both_sides(&pair.src_dirs, &pair.dst_dirs));
    return true;
}

// Shows a pair whose two sides are open, lists it (or takes the lists that
// were made ahead of the walk) and works its first three passes. False when
// the source could not be listed.
bool work_pair(pair_t& pair, const char* src_as_received, const char* dst_as_received, lister_t& lister,
               std::unique_ptr<listed_pair_t> listed = nullptr)
{
    show(SHOW_PAIRS, "Source\t%s\nDest\t%s\n", shown(pair.src.c_str()).c_str(), shown(pair.dst_path.c_str()).c_str());
    show_only(SHOW_PROGRESS, "%-60.60s\r", fit_path(src_as_received, FIT_WIDTH));
    ++RunStatistics.dirs_scanned;
    if (listed != nullptr) {
        Filelist_move(&pair.src_dirs, &listed->src_dirs);
        Filelist_move(&pair.src_files, &listed->src_files);
        Filelist_move(&pair.dst_dirs, &listed->dst_dirs);
        Filelist_move(&pair.dst_files, &listed->dst_files);
        RunStatistics.files_scanned += listed->files_scanned;
    } else if (!list_pair(pair, src_as_received, dst_as_received, lister)) {
        return false;
    }

    pair.src_base = pair.src.size();
    pair.dst_base = pair.dst_path.size();
    remove_extra_dirs(pair);
    remove_extra_files(pair);
    copy_files(pair);
    pair.dst_dir_index = std::make_unique<filelist_index_t>(&pair.dst_dirs);
    return true;
}

// Begins the pair of the two operands.
std::unique_ptr<pair_t> begin_principal(const char* src_path, const char* dst_path, lister_t& lister)
{
    auto pair = std::make_unique<pair_t>();
    pair->principal = true;
    bool missing = false;
    pair->src_dir = open_operand(src_path, false, &missing);
    if (pair->src_dir == nullptr)
        return nullptr;
    pair->src = src_path;
    end_with_separator(&pair->src);
    // The dated destination may be missing, but never a link to anything
    // but a directory, which would lead the copies out of the tree.
    pair->dst.name = dst_path;
    pair->dst.dir = open_operand(dst_path, RunSettings.copy_mode == 3, &missing);
    if (pair->dst.dir == nullptr && !missing)
        return nullptr;
    // A dry run has not made the dated directory that the run makes first.
    pair->dst.made = missing && RunSettings.dry_run && !RunSettings.needed_dirs_only;
    pair->dst_path = dst_path;
    end_with_separator(&pair->dst_path);
    if (!work_pair(*pair, src_path, dst_path, lister))
        return nullptr;
    return pair;
}

// Begins the pair of the source sub-directory `record` of `parent`, whose
// destination namesake is `existing` (nullptr: none was listed), or was
// just `made` by pass 4. A pair on both sides may have been listed ahead:
// its directories were then opened the same way, and are the ones listed.
std::unique_ptr<pair_t> begin_child(pair_t& parent, const filelist_t* record, const filelist_t* existing, bool made,
                                    const std::string& src_path, const std::string& dst_path, lister_t& lister)
{
    auto pair = std::make_unique<pair_t>();
    std::unique_ptr<listed_pair_t> listed;
    if (existing != nullptr && parent.dst.dir != nullptr) {
        pair->key = parent.key;
        pair->key.push_back(parent.both_sides++);
        listed = lister.claim(pair->key);
    }
    if (listed != nullptr) {
        std::swap(pair->src_dir, listed->src_dir);
        std::swap(pair->dst.dir, listed->dst_dir);
    } else {
        pair->src_dir = open_child(parent.src_dir, record, src_path.c_str());
    }
    if (pair->src_dir == nullptr)
        return nullptr;
    pair->src = src_path;
    end_with_separator(&pair->src);

    pair->dst.parent = &parent.dst;
    pair->dst.name = record->name();
    if (listed != nullptr) {
        // Both opened ahead of the walk.
    } else if (existing != nullptr && parent.dst.dir != nullptr) {
        pair->dst.dir = open_child(parent.dst.dir, existing, dst_path.c_str());
        if (pair->dst.dir == nullptr)
            return nullptr;
    } else if (RunSettings.dry_run && made) {
        // What a dry run would have made is walked as empty.
        pair->dst.made = true;
    } else if (parent.dst.dir != nullptr) {
        // Just made, or missing: never a link, never something else.
        pair->dst.dir = fs_dir_open(parent.dst.dir, record->name(), false, nullptr);
        if (pair->dst.dir == nullptr) {
            const int open_error = last_error();
            fs_status_t status;
            const bool found = fs_stat_at(parent.dst.dir, record->name(), &status) == 0;
            const int error = found ? open_error : last_error();
            if (found || error_kind(error) != ERR_NOT_FOUND || RunSettings.copy_mode != 3) {
                report_side(dst_path.c_str(), found, status, error);
                return nullptr;
            }
        }
    }
    pair->dst_path = dst_path;
    end_with_separator(&pair->dst_path);
    pair->protect = true;
    if (!work_pair(*pair, src_path.c_str(), dst_path.c_str(), lister, std::move(listed)))
        return nullptr;
    return pair;
}

// Ends a pair whose sub-directories have all been walked: the bookkeeping
// checks, and the destination directory's protection, given only now so
// that a read-only source directory still lets its copy be filled.
void end_pair(pair_t& pair)
{
    check_consumed(&pair.src_dirs, "Errore f_sd\n");
    check_consumed(&pair.dst_dirs, "Errore f_dd\n");
    check_consumed(&pair.src_files, "Errore f_sf\n");
    check_consumed(&pair.dst_files, "Errore f_df\n");
    if (pair.protect && pair.dst.dir != nullptr && !RunSettings.dry_run)
        fs_set_dir_protection(pair.dst.dir, pair.src_dir);
}

}  // namespace

int sync_dir(const char* src_path, const char* dst_path)
{
    // Pairs are listed ahead of the walk on threads of their own, unless the
    // listings show on the console (the Scan lines of verbosity 4), or the
    // two trees may overlap (-i), where one tree's changes could reach the
    // other's listings.
    const bool ahead = RunSettings.verbosity < SHOW_SCANS && !RunSettings.ignore_circular;
    lister_t lister(ahead ? RunSettings.workers : 0);
    std::unique_ptr<pair_t> principal = begin_principal(src_path, dst_path, lister);
    if (principal == nullptr)
        return 1;

    // Pass 4, depth first without recursion, so that no depth of tree can
    // exhaust the stack: the pair on top creates what the destination lacks
    // and descends, in the source's enumeration order.
    std::vector<std::unique_ptr<pair_t>> walk;
    walk.push_back(std::move(principal));
    while (!walk.empty()) {
        pair_t& pair = *walk.back();
        if (Filelist_empty(&pair.src_dirs)) {
            end_pair(pair);
            walk.pop_back();
            continue;
        }
        filelist_t* record = pair.src_dirs.next;
        filelist_t* existing = pair.dst_dir_index->find(record->name());
        const std::string from = pair.src_child(record->name());
        const std::string to = pair.dst_child(record->name());
        std::unique_ptr<pair_t> child;
        if (existing != nullptr) {
            child = begin_child(pair, record, existing, false, from, to, lister);
            pair.dst_dir_index->forget(existing);
            Filelist_remove(&pair.dst_dirs, existing);
        } else {
            bool made = false;
            if (!RunSettings.skip_new && !RunSettings.needed_dirs_only)
                made = make_directory_at(&pair.dst, record->name(), to.c_str()) == 0;
            if (!RunSettings.skip_new)
                child = begin_child(pair, record, nullptr, made, from, to, lister);
        }
        Filelist_remove(&pair.src_dirs, record);
        if (child != nullptr)
            walk.push_back(std::move(child));
    }
    // The copies of a run that ends are on stable storage before it says so.
    settle_copies();
    return 0;
}

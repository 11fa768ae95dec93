#include "sync/sync_dir.h"

#include <string>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/copy_file.h"
#include "fileops/make_dir.h"
#include "fileops/remove.h"
#include "listing/filelist.h"
#include "listing/filelist_index.h"
#include "platform/platform.h"
#include "sync/needs_copy.h"

namespace {

// The number of sync_dir calls begun in the walk. It is 1 exactly while the
// principal directory pair is being worked on and the walk has not yet
// descended: the -X names are hidden only then.
unsigned sync_calls = 0;

// How many sync_dir calls are under way: a call that finds none begins a
// new walk, whose count starts again.
unsigned walk_depth = 0;

struct depth_guard_t {
    depth_guard_t() { ++walk_depth; }
    ~depth_guard_t() { --walk_depth; }
    depth_guard_t(const depth_guard_t&) = delete;
    depth_guard_t& operator=(const depth_guard_t&) = delete;
};

// The status checks of one side: a missing side is an error line and a log
// record, a side that is no directory only a line. Only the two operands may
// be links to follow; below them a link is never entered.
bool side_is_directory(const std::string& path, bool follow)
{
    fs_status_t status;
    if (fs_stat(path.c_str(), follow, &status) != 0) {
        print_error_line(path.c_str());
        log_error(path.c_str());
        return false;
    }
    if (!status.is_dir) {
        show_error("%s - Not directory\n", path.c_str());
        return false;
    }
    return true;
}

bool exists_as_non_directory(const std::string& path, bool follow)
{
    fs_status_t status;
    return fs_stat(path.c_str(), follow, &status) == 0 && !status.is_dir;
}

void end_with_separator(std::string* path)
{
    if (path->empty() || !is_separator(path->back()))
        *path += path_separator();
}

void release_all(filelist_t* head)
{
    while (!Filelist_empty(head))
        Filelist_remove(head->next);
}

// A list left holding records means the pairing went wrong: stop before
// anything else is done on a wrong picture of the trees.
void check_consumed(filelist_t* head, const char* message)
{
    if (!Filelist_empty(head)) {
        show_error("%s", message);
        proc_exit(1);
    }
}

// The two working paths of one directory pair, each ending with the
// separator; a child path is formed by appending a name in place.
struct pair_t {
    std::string& src;
    std::string& dst;
    std::size_t src_base;
    std::size_t dst_base;
    bool principal;           // the pair of the two operands

    const char* src_child(const filelist_t* record)
    {
        src.resize(src_base);
        src += record->name;
        return src.c_str();
    }
    const char* dst_child(const filelist_t* record)
    {
        dst.resize(dst_base);
        dst += record->name;
        return dst.c_str();
    }
};

// Destination sub-directories that the source lacks go first, so that a
// name whose type or spelling changed is free before the copies.
void remove_extra_dirs(pair_t& pair, filelist_t* src_dirs, filelist_t* dst_dirs)
{
    const filelist_index_t source(src_dirs);
    for (filelist_t* record = dst_dirs->next; record != dst_dirs;) {
        filelist_t* next = record->next;
        if (source.find(record->name) == nullptr) {
            if (!RunSettings.keep_extra)
                remove_tree(pair.dst_child(record), pair.principal);
            Filelist_remove(record);
        }
        record = next;
    }
}

void remove_extra_files(pair_t& pair, filelist_t* src_files, filelist_t* dst_files)
{
    const filelist_index_t source(src_files);
    for (filelist_t* record = dst_files->next; record != dst_files;) {
        filelist_t* next = record->next;
        if (source.find(record->name) == nullptr) {
            if (!RunSettings.keep_extra)
                remove_file(pair.dst_child(record), SHOW_PROGRESS);
            Filelist_remove(record);
        }
        record = next;
    }
}

// Every source file meets its destination namesake, if any, and the copy
// decision; both records go once judged.
void copy_files(pair_t& pair, filelist_t* src_files, filelist_t* dst_files)
{
    filelist_index_t destination(dst_files);
    while (!Filelist_empty(src_files)) {
        filelist_t* record = src_files->next;
        filelist_t* existing = destination.find(record->name);
        if (needs_copy(record, existing)) {
            const char* from = pair.src_child(record);
            const char* to = pair.dst_child(record);
            if (copy_file(record, from, to) != 0)
                ++RunStatistics.files_not_copied;
        }
        if (existing != nullptr) {
            destination.forget(existing);
            Filelist_remove(existing);
        }
        Filelist_remove(record);
    }
}

// Creates what the destination lacks and descends, depth first, in the
// source's enumeration order.
void walk_sub_dirs(pair_t& pair, filelist_t* src_dirs, filelist_t* dst_dirs)
{
    filelist_index_t destination(dst_dirs);
    while (!Filelist_empty(src_dirs)) {
        filelist_t* record = src_dirs->next;
        filelist_t* existing = destination.find(record->name);
        // Copies: the descent forms its own paths and must not see these move.
        const std::string from = pair.src_child(record);
        const std::string to = pair.dst_child(record);
        if (existing != nullptr) {
            destination.forget(existing);
            Filelist_remove(existing);
            sync_dir(from.c_str(), to.c_str());
        } else {
            if (!RunSettings.skip_new && !RunSettings.needed_dirs_only)
                make_directory(to.c_str());
            if (!RunSettings.skip_new)
                sync_dir(from.c_str(), to.c_str());
        }
        Filelist_remove(record);
    }
}

}  // namespace

int sync_dir(const char* src_path, const char* dst_path)
{
    if (walk_depth == 0)
        sync_calls = 0;
    const depth_guard_t depth;
    ++sync_calls;
    const bool operands = sync_calls == 1;

    std::string src = src_path;
    std::string dst = dst_path;
    if (!side_is_directory(src, operands))
        return 1;
    end_with_separator(&src);
    if (RunSettings.copy_mode != 3) {
        if (!side_is_directory(dst, operands))
            return 1;
    } else if (exists_as_non_directory(dst, operands)) {
        // The dated destination may be missing, but a link there must not
        // lead the copies out of the tree.
        show_error("%s - Not directory\n", dst.c_str());
        return 1;
    }
    end_with_separator(&dst);

    show(SHOW_PAIRS, "Source\t%s\nDest\t%s\n", src.c_str(), dst.c_str());
    show_only(SHOW_PROGRESS, "%-60.60s\r", fit_path(src_path, FIT_WIDTH));
    ++RunStatistics.dirs_scanned;

    filelist_t src_dirs;
    filelist_t src_files;
    filelist_t dst_dirs;
    filelist_t dst_files;
    int failure = 0;
    RunStatistics.files_scanned += Filelist_scan(src.c_str(), &src_dirs, &src_files, operands, &failure);
    if (failure != 0) {
        // A source we could not read entirely is not a source without
        // entries: judging the destination by it would remove the backup.
        set_last_error(failure);
        print_error_line(src_path);
        log_error(src_path);
        release_all(&src_dirs);
        release_all(&src_files);
        return 1;
    }
    Filelist_scan(dst.c_str(), &dst_dirs, &dst_files, operands);

    pair_t pair{src, dst, src.size(), dst.size(), operands};
    remove_extra_dirs(pair, &src_dirs, &dst_dirs);
    remove_extra_files(pair, &src_files, &dst_files);
    copy_files(pair, &src_files, &dst_files);
    walk_sub_dirs(pair, &src_dirs, &dst_dirs);

    check_consumed(&src_dirs, "Errore f_sd\n");
    check_consumed(&dst_dirs, "Errore f_dd\n");
    check_consumed(&src_files, "Errore f_sf\n");
    check_consumed(&dst_files, "Errore f_df\n");
    return 0;
}

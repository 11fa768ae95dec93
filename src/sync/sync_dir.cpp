#include "sync/sync_dir.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/output.h"
#include "fileops/copier.h"
#include "fileops/copy_file.h"
#include "fileops/dest_changes.h"
#include "fileops/make_dir.h"
#include "fileops/remove.h"
#include "listing/filelist.h"
#include "listing/filelist_index.h"
#include "listing/name_fold.h"
#include "platform/platform.h"
#include "sync/lister.h"
#include "sync/needs_copy.h"

namespace {

// One directory pair, from its checks until its last sub-directory has been
// walked. Both directories stay open for the pair's lifetime, and everything
// done in them goes through those handles: a link swapped in for a listed
// directory is never followed, and no path grows too long for the system.
struct pair_t {
    dir_handle_t src_dir;
    dest_dir_t dst;                    // open, or missing in the dated mode
    fs_id_t src_id{};                  // what the two directories are
    fs_id_t dst_id{};                  // (the destination's only once open)
    std::string src;                   // working paths, each ending with the separator
    std::string dst_path;
    std::size_t src_base = 0;
    std::size_t dst_base = 0;
    bool principal = false;            // the operands' pair: the -X names are hidden here
    bool folds = false;                // the destination looks names up without letter case
    filelist_head_t src_dirs;
    filelist_head_t src_files;
    filelist_head_t dst_dirs;
    filelist_head_t dst_files;
    std::unique_ptr<filelist_index_t> dst_dir_index;   // pass 4 looks up dst_dirs
    bool protect = false;              // give the destination the source's protection once done
    walk_key_t key;                    // where it stands in the walk
    std::uint32_t place = 0;           // source sub-directories taken by pass 4 so far
    offered_t children;                // sub-directory pairs offered to be listed ahead

    pair_t() = default;
    pair_t(const pair_t&) = delete;
    pair_t& operator=(const pair_t&) = delete;
    // The offers are opened through the two directories.
    ~pair_t() { children.cancel(); }

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

// The walk as a whole: the pairs on the way down from the operands, and
// what it has learnt of the destination's file systems.
struct walk_t {
    run_t& run;
    dest_changes_t& changes;
    lister_t lister;
    std::vector<std::unique_ptr<pair_t>> pairs;
    // How each destination file system looks names up, where the answer
    // holds for the whole file system.
    std::map<std::uint64_t, case_rule_t> case_rules;
    // The copies: made apart while the walk goes on, and shown in its order.
    // Its threads end before the pairs they copy in are closed.
    copier_t copier;

    walk_t(run_t& walk_run, dest_changes_t& walk_changes, unsigned listers, unsigned copiers)
        : run(walk_run), changes(walk_changes), lister(walk_run, listers), copier(walk_run, walk_changes, copiers)
    {
    }
};

void end_with_separator(std::string* path)
{
    if (path->empty() || !is_separator(path->back()))
        *path += path_separator();
}

// A list left holding records means the pairing went wrong: stop before
// anything else is done on a wrong picture of the trees.
void check_consumed(run_t& run, const filelist_head_t* head, const char* message)
{
    if (!Filelist_empty(head)) {
        show_error(run, "%s", message);
        proc_exit(1);
    }
}

// Reports a side that could not be opened as a directory. Something else
// under its name (a link counts as something else) is only a line; anything
// else is an error line with `error` and a log record.
void report_side(run_t& run, const char* path, bool found, const fs_status_t& status, fs_error_t error)
{
    if (found && !status.is_dir) {
        show_error(run, "%s - Not directory\n", shown(path).c_str());
        return;
    }
    report_failure(run, path, error);
}

// Opens an operand, following links as its path leads. A failure is
// reported, except a missing dated destination when `missing_ok`.
fs_dir_t* open_operand(run_t& run, const char* path, bool missing_ok, bool* missing, fs_id_t* id)
{
    fs_error_t open_error;
    fs_dir_t* dir = fs_dir_open(nullptr, path, true, id, &open_error);
    if (dir != nullptr)
        return dir;
    fs_status_t status;
    const fs_error_t stat_error = fs_stat(path, true, &status);
    const bool found = !stat_error;
    const fs_error_t error = found ? open_error : stat_error;
    if (!found && missing_ok && error.is(ERR_NOT_FOUND)) {
        *missing = true;
        return nullptr;
    }
    report_side(run, path, found, status, error);
    return nullptr;
}

// Opens the sub-directory `record` of `parent`: the one that was listed, and
// never through a link. A failure is reported under `path`; a directory that
// has taken the place of the one listed counts as the listed one gone.
fs_dir_t* open_child(run_t& run, fs_dir_t* parent, const filelist_t* record, const char* path)
{
    fs_error_t open_error;
    fs_dir_t* dir = open_listed_dir(parent, record, &open_error);
    if (dir != nullptr)
        return dir;
    fs_status_t status;
    fs_error_t error = fs_stat_at(parent, record->name(), &status);
    const bool found = !error;
    if (found)
        error = status.id == record->id() ? open_error : fs_error_of(ERR_NOT_FOUND);
    report_side(run, path, found, status, error);
    return nullptr;
}

// Whether a directory pair would have the walk work inside what it walks
// from: a source directory that is the destination's root or on the way
// down to the destination pair at hand, or the other way round. However the
// operands were given (-i, mounts the overlap check could not see through),
// the walk never enters such a pair, and so never removes the source as an
// extra of the destination, nor copies the source into itself for ever.
// `src` and `dst` are the pair's directories (`dst` may be unknown); reports
// the pair by the path of the directory found on the other side.
bool inside_own_walk(walk_t& walk, const fs_id_t& src, const fs_id_t* dst, const char* src_path,
                     const char* dst_path)
{
    const char* busy = nullptr;
    for (const std::unique_ptr<pair_t>& on_way : walk.pairs) {
        if (on_way->dst.dir && on_way->dst_id == src)
            busy = src_path;
        else if (dst != nullptr && on_way->src_id == *dst)
            busy = dst_path;
        if (busy != nullptr)
            break;
    }
    if (busy == nullptr && dst != nullptr && src == *dst)
        busy = dst_path;
    if (busy == nullptr)
        return false;
    report_failure(walk.run, busy, fs_error_of(ERR_BUSY));
    return true;
}

// The name with every ASCII letter in the other case; empty when it has none.
std::string other_case(const char* name)
{
    std::string other = name;
    bool changed = false;
    for (char& c : other) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - ('a' - 'A'));
            changed = true;
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
            changed = true;
        }
    }
    return changed ? other : std::string();
}

// Asks the destination directory itself, without changing anything, whether
// it finds a listed entry under the other case of its name that it did not
// list: then it looks names up without case. (Some file systems give one
// entry another number under each spelling, so the listing, not the entry's
// identity, tells whether the other spelling is another entry.)
case_rule_t probe_case(pair_t& pair)
{
    for (filelist_head_t* list : {&pair.dst_dirs, &pair.dst_files}) {
        for (const filelist_t* record = list->next; record != list; record = record->next) {
            const std::string other = other_case(record->name());
            if (other.empty())
                continue;
            if (Filelist_find(&pair.dst_dirs, other.c_str()) != nullptr ||
                Filelist_find(&pair.dst_files, other.c_str()) != nullptr)
                return CASE_EXACT;
            fs_status_t found;
            const fs_error_t error = fs_stat_at(pair.dst.dir.get(), other.c_str(), &found);
            if (!error)
                return CASE_FOLDS;
            return error.is(ERR_NOT_FOUND) ? CASE_EXACT : CASE_UNKNOWN;
        }
    }
    return CASE_UNKNOWN;
}

// Whether a dated destination not made yet will look names up without
// letter case: as the directory it will be made in does.
bool missing_root_folds(const std::string& path)
{
    std::string parent = path;
    while (parent.size() > 1 && is_separator(parent.back()))
        parent.pop_back();
    std::size_t cut = parent.size();
    while (cut > 0 && !is_separator(parent[cut - 1]))
        --cut;
    parent.resize(cut);
    const dir_handle_t dir(fs_dir_open(nullptr, parent.empty() ? "." : parent.c_str(), true, nullptr));
    if (!dir)
        return true;
    bool per_directory = false;
    return fs_case_rule(dir.get(), &per_directory) != CASE_EXACT;
}

// Whether the destination directory of `pair` looks names up without
// regard to letter case: by what the system says, or by a look at its
// entries, once per file system where the answer holds for all of it. A
// pair that cannot tell takes its parent's answer; where nobody can, names
// are paired as if case were ignored, which costs only the report of a
// clash that was none, never a copy lost.
bool destination_folds(walk_t& walk, pair_t& pair, const pair_t* parent)
{
    if (!pair.dst.dir)
        return parent != nullptr ? parent->folds : missing_root_folds(pair.dst.name);
    const auto cached = walk.case_rules.find(pair.dst_id.device);
    case_rule_t rule = CASE_UNKNOWN;
    if (cached != walk.case_rules.end()) {
        rule = cached->second;
    } else {
        bool per_directory = false;
        rule = fs_case_rule(pair.dst.dir.get(), &per_directory);
        if (rule == CASE_UNKNOWN)
            rule = probe_case(pair);
        if (!per_directory && rule != CASE_UNKNOWN)
            walk.case_rules[pair.dst_id.device] = rule;
    }
    if (rule == CASE_UNKNOWN)
        return parent != nullptr ? parent->folds : true;
    return rule == CASE_FOLDS;
}

// The records of a pair's two lists of one side, by the name a destination
// that ignores case sees: the first of each such name, in the order given.
struct folded_names_t {
    std::multimap<std::uint64_t, filelist_t*> by_hash;

    filelist_t* find(const char* name) const
    {
        const auto [first, last] = by_hash.equal_range(fold_hash(name));
        for (auto at = first; at != last; ++at) {
            if (fold_equal(at->second->name(), name))
                return at->second;
        }
        return nullptr;
    }
    // Adds `record` unless a record of the same folded name is there, which
    // it returns.
    filelist_t* add(filelist_t* record)
    {
        filelist_t* first = find(record->name());
        if (first == nullptr)
            by_hash.emplace(fold_hash(record->name()), record);
        return first;
    }
};

// Pairs a pair's names as a destination that ignores letter case does.
// Source names that fold to one name cannot all be mirrored there: the first
// in listing order (directories before files) is, and each other is
// reported and left out. A destination entry spelt otherwise than its
// source is given the source's spelling, and then paired as usual: no
// removal and copy again. A destination that holds two names of one folded
// name does not fold after all, and is paired exactly.
// Returns whether any list changed.
bool pair_by_folded_names(walk_t& walk, pair_t& pair)
{
    run_t& run = walk.run;
    folded_names_t destination;
    for (filelist_head_t* list : {&pair.dst_dirs, &pair.dst_files}) {
        for (filelist_t* record = list->next; record != list; record = record->next) {
            if (destination.add(record) != nullptr) {
                pair.folds = false;
                return false;
            }
        }
    }
    bool changed = false;

    folded_names_t source;
    std::vector<std::pair<filelist_head_t*, filelist_t*>> clashes;
    for (filelist_head_t* list : {&pair.src_dirs, &pair.src_files}) {
        for (filelist_t* record = list->next; record != list; record = record->next) {
            if (source.add(record) != nullptr)
                clashes.emplace_back(list, record);
        }
    }

    // The destination's spelling follows the source's.
    for (filelist_head_t* list : {&pair.dst_dirs, &pair.dst_files}) {
        const std::uint8_t kind = list == &pair.dst_dirs ? ATTR_DIRECTORY : 0;
        for (filelist_t* record = list->next; record != list;) {
            filelist_t* next = record->next;
            const filelist_t* wanted = source.find(record->name());
            if (wanted != nullptr && (wanted->attr & ATTR_DIRECTORY) == kind &&
                std::strcmp(wanted->name(), record->name()) != 0) {
                // An entry left in its old spelling (the respelling failed,
                // or the system could not do it safely) is found under the
                // new one all the same: it is paired, not removed.
                fs_error_t error;
                if (walk.changes.respell_at(pair.dst, record->name(), wanted->name(), &error) < 0)
                    report_failure(run, pair.dst_child(record->name()), error);
                filelist_t* respelt = Filelist_respell(list, record, wanted->name());
                // Some file systems number an entry anew under another
                // spelling: the directory is opened as what that spelling
                // finds.
                fs_status_t status;
                if (kind == ATTR_DIRECTORY && !fs_stat_at(pair.dst.dir.get(), wanted->name(), &status) && status.is_dir) {
                    respelt->size = status.id.device;
                    respelt->sec = static_cast<std::int64_t>(status.id.inode);
                }
                changed = true;
            }
            record = next;
        }
    }

    for (const auto& [list, record] : clashes) {
        const char* path = pair.src_child(record->name());
        show_error(run, "%s: Nome in conflitto per maiuscole e minuscole\n", shown(path).c_str());
        log_text(run, path, error_code(ERR_EXISTS), "Nome in conflitto per maiuscole e minuscole");
        if (list == &pair.src_files)
            ++run.stats.files_not_copied;
        Filelist_remove(list, record);
        changed = true;
    }
    return changed;
}

// Destination sub-directories that the source lacks go first, so that a
// name whose type or spelling changed is free before the copies.
// A removed tree never reaches into the source directories the walk is
// working from.
void remove_extra_dirs(walk_t& walk, pair_t& pair, const filelist_index_t& source, filelist_index_t& destination)
{
    run_t& run = walk.run;
    std::vector<fs_id_t> working_from{pair.src_id};
    for (const std::unique_ptr<pair_t>& on_way : walk.pairs)
        working_from.push_back(on_way->src_id);
    for (filelist_t* record = pair.dst_dirs.next; record != &pair.dst_dirs;) {
        filelist_t* next = record->next;
        if (source.find(record->name()) == nullptr) {
            if (!run.settings.keep_extra &&
                remove_tree(run, walk.changes, pair.dst.dir.get(), record, pair.dst_child(record->name()),
                            pair.principal, working_from) == 0)
                walk.changes.removed(pair.dst, record->name());
            destination.forget(record);
            Filelist_remove(&pair.dst_dirs, record);
        }
        record = next;
    }
}

void remove_extra_files(walk_t& walk, pair_t& pair, const filelist_index_t& source, filelist_index_t& destination)
{
    run_t& run = walk.run;
    for (filelist_t* record = pair.dst_files.next; record != &pair.dst_files;) {
        filelist_t* next = record->next;
        if (source.find(record->name()) == nullptr) {
            if (!run.settings.keep_extra && remove_file(run, walk.changes, pair.dst.dir.get(), record->name(),
                                                        pair.dst_child(record->name()), SHOW_PROGRESS) == 0)
                walk.changes.removed(pair.dst, record->name());
            destination.forget(record);
            Filelist_remove(&pair.dst_files, record);
        }
        record = next;
    }
}

// Whether the up-to-date copy `copy` of `source` is to be given its
// source's protection: their listed protections differ, or the source
// changed in some way (its owner, say) after the copy last did, or within
// the same tick of the clock that stamps change times. A file system that
// keeps no change time of its own (FAT) shows a copy changed no later than
// written: there only the protections are compared.
bool needs_protection(const filelist_t* source, const filelist_t* copy)
{
    if (source->size != copy->size || file_stamp(source) != file_stamp(copy))
        return false;   // not an image of the source: what the copy mode keeps
    return source->protection != copy->protection ||
           (copy->changed_since_written() && source->changed >= copy->changed);
}

// Every source file meets its destination namesake, if any, and the copy
// decision; both records go once judged. A copy that stays gets its
// source's protection where it differs, in place: no copy line, nothing
// counted, only a failure reported.
void copy_files(walk_t& walk, pair_t& pair, filelist_index_t& destination)
{
    run_t& run = walk.run;
    while (!Filelist_empty(&pair.src_files)) {
        filelist_t* record = pair.src_files.next;
        filelist_t* existing = destination.find(record->name());
        if (needs_copy(run, record, existing)) {
            const char* from = pair.src_child(record->name());
            const char* to = pair.dst_child(record->name());
            walk.copier.copy(record, pair.src_dir.get(), from, &pair.dst, to);
        } else if (existing != nullptr && pair.dst.dir && needs_protection(record, existing)) {
            const char* to = pair.dst_child(existing->name());
            if (const fs_error_t error =
                    walk.changes.protect_file(run, pair.dst, *existing, pair.src_dir.get(), *record, to))
                report_failure(run, to, error);
        }
        if (existing != nullptr) {
            destination.forget(existing);
            Filelist_remove(&pair.dst_files, existing);
        }
        Filelist_remove(&pair.src_files, record);
    }
}

// Lists a pair whose two sides are open (the destination may be missing in
// the dated mode). Returns false when the source could not be listed
// completely: then nothing in the pair is removed or copied.
bool list_pair(run_t& run, pair_t& pair, const char* src_as_received, const char* dst_as_received)
{
    fs_error_t failure;
    run.stats.files_scanned += Filelist_scan(run, pair.src_dir.get(), pair.src.c_str(), &pair.src_dirs,
                                             &pair.src_files, {pair.principal}, &failure);
    if (failure) {
        // A source we could not read entirely is not a source without
        // entries: judging the destination by it would remove the backup.
        report_failure(run, src_as_received, failure);
        Filelist_init(&pair.src_dirs);
        Filelist_init(&pair.src_files);
        return false;
    }
    // The run's own log is never listed in the destination, so nothing
    // there removes or replaces it. A destination that cannot be listed is
    // reported, and worked as far as it was listed.
    const scan_t destination{pair.principal, run.log.id ? &*run.log.id : nullptr};
    Filelist_scan(run, pair.dst.dir.get(), pair.dst_path.c_str(), &pair.dst_dirs, &pair.dst_files, destination,
                  &failure);
    if (failure)
        report_failure(run, dst_as_received, failure);
    return true;
}

// Shows a pair whose two sides are open, lists it (or takes the lists that
// were made ahead of the walk), pairs its names and works its first three
// passes. False when the source could not be listed.
bool work_pair(walk_t& walk, pair_t& pair, const pair_t* parent, const char* src_as_received,
               const char* dst_as_received, std::unique_ptr<listed_pair_t> listed = nullptr)
{
    run_t& run = walk.run;
    show(run, SHOW_PAIRS, "Source\t%s\nDest\t%s\n", shown(pair.src.c_str()).c_str(),
         shown(pair.dst_path.c_str()).c_str());
    show_only(run, SHOW_PROGRESS, "%-60.60s\r", fit_path(src_as_received, FIT_WIDTH));
    ++run.stats.dirs_scanned;
    if (listed != nullptr) {
        Filelist_move(&pair.src_dirs, &listed->src_dirs);
        Filelist_move(&pair.src_files, &listed->src_files);
        Filelist_move(&pair.dst_dirs, &listed->dst_dirs);
        Filelist_move(&pair.dst_files, &listed->dst_files);
        run.stats.files_scanned += listed->files_scanned;
        pair.children = std::move(listed->children);
    } else if (!list_pair(run, pair, src_as_received, dst_as_received)) {
        return false;
    }

    // The run's versions directory (-k), where it lies in the destination,
    // is the run's own: never paired, removed or mirrored, as the log.
    for (filelist_t* record = pair.dst_dirs.next; record != &pair.dst_dirs;) {
        filelist_t* next = record->next;
        if (walk.changes.hides(record->id()))
            Filelist_remove(&pair.dst_dirs, record);
        record = next;
    }

    pair.src_base = pair.src.size();
    pair.dst_base = pair.dst_path.size();
    // A listing that named an entry twice has it once from here on.
    filelist_index_t source_dirs(&pair.src_dirs, true);
    filelist_index_t source_files(&pair.src_files, true);
    pair.dst_dir_index = std::make_unique<filelist_index_t>(&pair.dst_dirs, true);
    filelist_index_t destination_files(&pair.dst_files, true);
    pair.folds = destination_folds(walk, pair, parent);
    if (pair.folds && pair_by_folded_names(walk, pair)) {
        source_dirs = filelist_index_t(&pair.src_dirs);
        source_files = filelist_index_t(&pair.src_files);
        *pair.dst_dir_index = filelist_index_t(&pair.dst_dirs);
        destination_files = filelist_index_t(&pair.dst_files);
    }
    if (listed == nullptr && pair.dst.dir)
        walk.lister.offer(&pair.children, pair.key, pair.src_dir.get(), pair.dst.dir.get(), &pair.src_dirs,
                          &pair.dst_dirs);

    remove_extra_dirs(walk, pair, source_dirs, *pair.dst_dir_index);
    remove_extra_files(walk, pair, source_files, destination_files);
    copy_files(walk, pair, destination_files);
    return true;
}

// Begins the pair of the two operands.
std::unique_ptr<pair_t> begin_principal(walk_t& walk, const char* src_path, const char* dst_path)
{
    run_t& run = walk.run;
    auto pair = std::make_unique<pair_t>();
    pair->principal = true;
    bool missing = false;
    pair->src_dir.reset(open_operand(run, src_path, false, &missing, &pair->src_id));
    if (!pair->src_dir)
        return nullptr;
    pair->src = src_path;
    end_with_separator(&pair->src);
    // The dated destination may be missing, but never a link to anything
    // but a directory, which would lead the copies out of the tree.
    pair->dst.name = dst_path;
    pair->dst.dir.reset(open_operand(run, dst_path, run.settings.copy_mode == 3, &missing, &pair->dst_id));
    if (!pair->dst.dir && !missing)
        return nullptr;
    if (inside_own_walk(walk, pair->src_id, pair->dst.dir ? &pair->dst_id : nullptr, src_path, dst_path))
        return nullptr;
    if (pair->dst.dir && walk.changes.hides(pair->dst_id)) {
        report_failure(run, dst_path, fs_error_of(ERR_BUSY));
        return nullptr;
    }
    // A dated directory that a dry run made is still missing.
    pair->dst.made = missing && walk.changes.made(dst_path);
    pair->dst_path = dst_path;
    end_with_separator(&pair->dst_path);
    // The dated directory is the run's own copy of the source operand: it
    // takes its protection too.
    pair->protect = run.settings.copy_mode == 3;
    if (!work_pair(walk, *pair, nullptr, src_path, dst_path))
        return nullptr;
    return pair;
}

// Begins the pair of the source sub-directory `record` of `parent`, whose
// destination namesake is `existing` (nullptr: none was listed), or was
// just `made` by pass 4. A pair on both sides may have been listed ahead:
// its directories were then opened the same way, and are the ones listed.
std::unique_ptr<pair_t> begin_child(walk_t& walk, pair_t& parent, const filelist_t* record, const filelist_t* existing,
                                    bool made, const std::string& src_path, const std::string& dst_path)
{
    run_t& run = walk.run;
    auto pair = std::make_unique<pair_t>();
    pair->key = parent.key;
    pair->key.push_back(parent.place);
    pair->src_id = record->id();
    std::unique_ptr<listed_pair_t> listed;
    if (existing != nullptr && parent.dst.dir) {
        pair->dst_id = existing->id();
        listed = parent.children.claim(record->name());
    }
    if (listed != nullptr) {
        pair->src_dir = std::move(listed->src_dir);
        pair->dst.dir = std::move(listed->dst_dir);
        pair->key = listed->key;
    } else {
        pair->src_dir.reset(open_child(run, parent.src_dir.get(), record, src_path.c_str()));
    }
    if (!pair->src_dir)
        return nullptr;
    pair->src = src_path;
    end_with_separator(&pair->src);

    pair->dst.parent = &parent.dst;
    pair->dst.name = record->name();
    if (listed != nullptr) {
        // Both opened ahead of the walk.
    } else if (existing != nullptr && parent.dst.dir) {
        pair->dst.dir.reset(open_child(run, parent.dst.dir.get(), existing, dst_path.c_str()));
        if (!pair->dst.dir)
            return nullptr;
    } else if (made || parent.dst.dir) {
        // Just made, or missing: never a link, never something else. (What a
        // dry run would have made is walked as empty.)
        fs_error_t open_error;
        if (!walk.changes.open_dir_at(parent.dst, record->name(), pair->dst, &pair->dst_id, &open_error)) {
            fs_status_t status;
            const fs_error_t stat_error = fs_stat_at(parent.dst.dir.get(), record->name(), &status);
            const bool found = !stat_error;
            const fs_error_t error = found ? open_error : stat_error;
            if (found || !error.is(ERR_NOT_FOUND) || run.settings.copy_mode != 3) {
                report_side(run, dst_path.c_str(), found, status, error);
                return nullptr;
            }
        } else if (existing == nullptr && !made &&
                   inside_own_walk(walk, pair->src_id, &pair->dst_id, src_path.c_str(), dst_path.c_str())) {
            // Found there already, though not listed: it might be anything.
            return nullptr;
        } else if (existing == nullptr && !made && pair->dst.dir && walk.changes.hides(pair->dst_id)) {
            // The versions directory, which the source has a namesake of.
            report_failure(run, dst_path.c_str(), fs_error_of(ERR_BUSY));
            return nullptr;
        }
    }
    pair->dst_path = dst_path;
    end_with_separator(&pair->dst_path);
    pair->protect = true;
    if (!work_pair(walk, *pair, &parent, src_path.c_str(), dst_path.c_str(), std::move(listed)))
        return nullptr;
    return pair;
}

// Ends a pair whose sub-directories have all been walked: the bookkeeping
// checks, and the destination directory's protection, given only now so
// that a read-only source directory still lets its copy be filled, and so
// that a directory the run made stays private to its owner until its
// contents are copied.
// The pair on top of the walk leaves it; its directories stay open until
// its copies are complete.
void end_pair(walk_t& walk)
{
    run_t& run = walk.run;
    std::shared_ptr<pair_t> pair = std::move(walk.pairs.back());
    walk.pairs.pop_back();
    check_consumed(run, &pair->src_dirs, "Errore f_sd\n");
    check_consumed(run, &pair->dst_dirs, "Errore f_dd\n");
    check_consumed(run, &pair->src_files, "Errore f_sf\n");
    check_consumed(run, &pair->dst_files, "Errore f_df\n");
    walk.copier.then([&walk, pair] {
        if (pair->protect && pair->dst.dir)
            walk.changes.protect(pair->dst, pair->src_dir.get());
    });
}

}  // namespace

int sync_dir(run_t& run, dest_changes_t& changes, const char* src_path, const char* dst_path)
{
    // Pairs are listed ahead of the walk on threads of their own, unless the
    // listings show on the console (the Scan lines of verbosity 4), or the
    // two trees may overlap (-i), where one tree's changes could reach the
    // other's listings.
    const bool ahead = run.settings.verbosity < SHOW_SCANS && !run.settings.ignore_circular;
    // Copies are made on the same number of threads of their own, unless
    // the trees may overlap, or the directories on the way are made only
    // for the copies that need them (-d), which is the walk's own work.
    const bool apart = !run.settings.ignore_circular && !run.settings.needed_dirs_only;
    walk_t walk(run, changes, ahead ? run.settings.workers : 0, apart ? run.settings.workers : 0);
    std::unique_ptr<pair_t> principal = begin_principal(walk, src_path, dst_path);
    if (principal == nullptr)
        return 1;

    // Pass 4, depth first without recursion, so that no depth of tree can
    // exhaust the stack: the pair on top creates what the destination lacks
    // and descends, in the source's enumeration order.
    walk.pairs.push_back(std::move(principal));
    while (!walk.pairs.empty()) {
        pair_t& pair = *walk.pairs.back();
        if (Filelist_empty(&pair.src_dirs)) {
            end_pair(walk);
            continue;
        }
        filelist_t* record = pair.src_dirs.next;
        filelist_t* existing = pair.dst_dir_index->find(record->name());
        const std::string from = pair.src_child(record->name());
        const std::string to = pair.dst_child(record->name());
        std::unique_ptr<pair_t> child;
        const fs_id_t existing_id = existing != nullptr ? existing->id() : fs_id_t{};
        if (inside_own_walk(walk, record->id(), existing != nullptr ? &existing_id : nullptr, from.c_str(),
                            to.c_str())) {
            // Left as it is, on both sides.
        } else if (existing != nullptr) {
            child = begin_child(walk, pair, record, existing, false, from, to);
        } else if (!run.settings.skip_new) {
            // A directory that could not be made was reported, and that is
            // the failure: nothing that was to go inside it is tried.
            int made = 1;
            if (!run.settings.needed_dirs_only)
                made = make_directory_at(run, walk.changes, &pair.dst, record->name(), to.c_str());
            if (made >= 0)
                child = begin_child(walk, pair, record, nullptr, made == 0, from, to);
        }
        if (existing != nullptr) {
            pair.dst_dir_index->forget(existing);
            Filelist_remove(&pair.dst_dirs, existing);
        }
        Filelist_remove(&pair.src_dirs, record);
        ++pair.place;
        if (child != nullptr)
            walk.pairs.push_back(std::move(child));
    }
    // The copies of a run that ends are on stable storage before it says so.
    walk.copier.finish();
    changes.settle(run);
    return 0;
}

#include "fileops/dest_changes.h"

#include <set>
#include <string>
#include <utility>

#include "core/output.h"
#include "fileops/copy_file.h"
#include "fileops/durable.h"
#include "fileops/keep_changes.h"
#include "fileops/make_dir.h"

namespace {

// Makes the missing directories on the way to `dst_path`, a copy into the
// missing `dir` (-d). False when one of them could not be made: its failure
// was reported, and neither this copy nor a later one into what lies below
// it tries again or is reported again.
bool make_way(run_t& run, dest_changes_t& changes, dest_dir_t& dir, const char* dst_path)
{
    if (dest_dir_unmade(&dir))
        return false;
    const std::size_t failed = make_path(run, changes, dst_path);
    if (failed == 0)
        return true;
    dest_dir_mark_unmade(&dir, dst_path, failed);
    return false;
}

// Opens the hidden file that will become `name` in `dir`, creating the
// missing directories on its way once when needed_dirs_only asks for it
// (`reported`: one of them could not be made, which was reported).
fs_out_t* create_destination(run_t& run, dest_changes_t& changes, dest_dir_t& dir, const char* name,
                             const char* dst_path, fs_file_t* source, fs_error_t* error, bool* reported)
{
    fs_out_t* out = fs_create_temp_at(dir.dir.get(), name, source, error);
    if (out != nullptr || !error->is(ERR_NOT_FOUND) || !run.settings.needed_dirs_only)
        return out;
    if (!make_way(run, changes, dir, dst_path)) {
        *reported = true;
        return nullptr;
    }
    if (dest_dir_open(&dir) == nullptr) {
        *error = fs_error_of(ERR_NOT_FOUND);
        return nullptr;
    }
    *error = {};
    return fs_create_temp_at(dir.dir.get(), name, source, error);
}

// The changes made for real.
class real_changes_t final : public dest_changes_t {
  public:
    explicit real_changes_t(replaced_keeper_t* keeper) : batches_(new_copy_batches()), keeper_(keeper) {}
    ~real_changes_t() override { delete_copy_batches(batches_); }
    real_changes_t(const real_changes_t&) = delete;
    real_changes_t& operator=(const real_changes_t&) = delete;

    void begin(run_t&) override {}

    int lock(fs_dir_t* dir) override { return fs_lock_dir(dir); }

    bool find(const dest_dir_t& dir, const char* name, fs_status_t* status) override
    {
        return dir.dir && !fs_stat_at(dir.dir.get(), name, status);
    }

    bool made(const char*) override { return false; }

    fs_error_t make_dir(const char* path) override { return fs_make_dir(path); }

    bool make_dir_at(dest_dir_t& parent, const char* name, fs_error_t* error) override
    {
        if (!parent.dir)
            return false;
        *error = fs_make_dir_at(parent.dir.get(), name);
        return !*error;
    }

    bool open_dir_at(dest_dir_t& parent, const char* name, dest_dir_t& child, fs_id_t* id,
                     fs_error_t* error) override
    {
        child.dir.reset(fs_dir_open(parent.dir.get(), name, false, id, error));
        return static_cast<bool>(child.dir);
    }

    fs_error_t protect(dest_dir_t& dir, fs_dir_t* like) override { return fs_set_dir_protection(dir.dir.get(), like); }

    fs_error_t protect_file(run_t& run, dest_dir_t& dir, const filelist_t& copy, fs_dir_t* like_dir,
                            const filelist_t& source, const char* path) override
    {
        fs_error_t error;
        if (fs_set_file_protection(dir.dir.get(), copy.name(), copy.size, copy.mtime(), like_dir, source.name(),
                                   &error) > 0)
            tell_unkept(run, path);
        return error;
    }

    fs_error_t remove_file_at(fs_dir_t* dir, const char* name, const char*) override
    {
        return fs_remove_file_at(dir, name);
    }

    fs_error_t remove_dir_at(fs_dir_t* dir, const char* name, const char*, bool) override
    {
        // Tried even where something stays: an empty directory that could
        // not be listed goes all the same.
        return fs_remove_dir_at(dir, name);
    }

    void removed(dest_dir_t&, const char*) override {}

    int respell_at(dest_dir_t& dir, const char* from, const char* to, fs_error_t* error) override
    {
        return fs_respell_at(dir.dir.get(), from, to, error);
    }

    copy_outcome_t put_copy(run_t& run, copy_buffer_t& buffer, copy_turn_t* turn, dest_dir_t& dir, const char* name,
                            const char* dst_path, fs_file_t* source, const filelist_t& entry, bool replace) override
    {
        copy_outcome_t outcome;
        fs_out_t* out = create_destination(run, *this, dir, name, dst_path, source, &outcome.error, &outcome.reported);
        if (out == nullptr) {
            outcome.opening = true;
            return outcome;
        }
        outcome = transfer(run, buffer, source, out, &entry);
        if (!outcome.error && fs_protect_out(out, source, &outcome.error) > 0)
            tell_unkept(run, dst_path);
        if (outcome.error) {
            fs_discard(out);
            return outcome;
        }
        // Until its data is durable the copy carries a time that no run
        // takes as up to date: a crash before then leaves a file that the
        // next run copies again, never one that looks finished.
        fs_set_times(out, UNFINISHED_COPY_TIME);
        if (turn != nullptr && keeper_ == nullptr) {
            const copy_turn_t::turn_t taken = turn->take();
            if (taken == copy_turn_t::DROP) {
                fs_discard(out);
                outcome.abandoned = true;
                return outcome;
            }
            if (taken == copy_turn_t::LATER) {
                outcome.waiting = out;
                outcome.replace = replace;
                return outcome;
            }
        }
        // With -k the old file is kept before the copy takes its name; one
        // that cannot be kept stays, and the copy is dropped.
        const bool keeping = replace && keeper_ != nullptr;
        if (keeping) {
            outcome.error = keeper_->keep_replaced(dir, name, dst_path, &replace);
            if (outcome.error) {
                fs_discard(out);
                return outcome;
            }
        }
        outcome.error = fs_commit(out, replace);
        if (outcome.error) {
            if (keeping)
                keeper_->unkeep_replaced(dir, name, dst_path);
            return outcome;
        }
        outcome.committed = out;
        return outcome;
    }

    void hold(run_t& run, fs_out_t* out, const std::string& dst_path, fs_time_t mtime, std::uint64_t bytes) override
    {
        hold_copy(run, *batches_, out, dst_path, mtime, bytes);
    }

    // The old files that -k keeps go through the walk's own bookkeeping.
    bool apart() const override { return keeper_ == nullptr; }

    void settle(run_t& run) override { settle_copies(run, *batches_); }

  private:
    copy_batches_t* batches_;
    replaced_keeper_t* keeper_;
};

// The dry run: nothing changes; what the real run would have changed is
// kept in the walk's records of the destination directories, so that the
// questions the walk asks later are answered as the real run would see
// the tree. Each change is put to the directory it would be made in, as
// far as the system can tell without making it, so that one the real run
// would be refused is refused here too, with the same error; in a
// directory that it would have made itself, anything goes.
class dry_changes_t final : public dest_changes_t {
  public:
    void begin(run_t& run) override
    {
        // The log records changes: a dry run makes none (-l still created it).
        show(run, SHOW_ALWAYS, "Simulazione: nessuna modifica\n");
        run.log.active = false;
    }

    int lock(fs_dir_t*) override { return -1; }

    bool find(const dest_dir_t& dir, const char* name, fs_status_t* status) override
    {
        return dir.dir && !dir.gone.contains(name) && !fs_stat_at(dir.dir.get(), name, status);
    }

    bool made(const char* path) override { return made_paths_.contains(path); }

    fs_error_t make_dir(const char* path) override
    {
        fs_status_t status;
        // A directory it cannot reach fails as the look-up of the path
        // failed, as the system would say when making it.
        const fs_error_t lookup = fs_stat(path, true, &status);
        if (made_paths_.contains(path) || !lookup)
            return fs_error_of(ERR_EXISTS);
        const std::string parent = parent_path(path);
        if (!made_paths_.contains(parent)) {
            const dir_handle_t in(fs_dir_open(nullptr, parent.c_str(), true, nullptr));
            if (!in)
                return lookup;
            if (const fs_error_t refused = fs_may_change(in.get()))
                return refused;
        }
        made_paths_.insert(path);
        return {};
    }

    bool make_dir_at(dest_dir_t& parent, const char* name, fs_error_t* error) override
    {
        // One that is missing was reported as such. What is there already
        // stays, unless the run would have removed it.
        fs_status_t status;
        if (!parent.dir && !parent.made)
            return false;
        if (parent.made_here.contains(name) || find(parent, name, &status)) {
            *error = fs_error_of(ERR_EXISTS);
            return false;
        }
        if ((*error = refusal(parent.dir.get())))
            return false;
        parent.made_here.insert(name);
        return true;
    }

    bool open_dir_at(dest_dir_t& parent, const char* name, dest_dir_t& child, fs_id_t* id,
                     fs_error_t* error) override
    {
        // What it would have made is walked as empty.
        if (parent.made || parent.made_here.contains(name)) {
            child.made = true;
            return true;
        }
        child.dir.reset(fs_dir_open(parent.dir.get(), name, false, id, error));
        return static_cast<bool>(child.dir);
    }

    fs_error_t protect(dest_dir_t&, fs_dir_t*) override { return {}; }

    fs_error_t protect_file(run_t&, dest_dir_t&, const filelist_t&, fs_dir_t*, const filelist_t&, const char*) override
    {
        return {};
    }

    fs_error_t remove_file_at(fs_dir_t* dir, const char*, const char*) override { return refusal(dir); }

    fs_error_t remove_dir_at(fs_dir_t* dir, const char*, const char*, bool emptied) override
    {
        // As the system asks: first whether the directory it is in may
        // change, then whether it is empty.
        if (const fs_error_t refused = refusal(dir))
            return refused;
        return emptied ? fs_error_t{} : fs_error_of(ERR_NOT_EMPTY);
    }

    void removed(dest_dir_t& dir, const char* name) override { dir.gone.insert(name); }

    int respell_at(dest_dir_t& dir, const char*, const char*, fs_error_t* error) override
    {
        if ((*error = refusal(dir.dir.get())))
            return -1;
        return 0;
    }

    copy_outcome_t put_copy(run_t& run, copy_buffer_t&, copy_turn_t*, dest_dir_t& dir, const char*,
                            const char* dst_path, fs_file_t*, const filelist_t& entry, bool) override
    {
        // The copy would fail where its directory is missing, unless -d
        // makes the directories on its way.
        copy_outcome_t outcome;
        if (!dir.dir && !dir.made) {
            outcome.opening = true;
            if (!run.settings.needed_dirs_only) {
                outcome.error = fs_error_of(ERR_NOT_FOUND);
                return outcome;
            }
            if (!make_way(run, *this, dir, dst_path)) {
                outcome.reported = true;
                return outcome;
            }
            outcome.opening = false;
            dir.made = true;
        } else if ((outcome.error = refusal(dir.dir.get()))) {
            outcome.opening = true;
            return outcome;
        }
        outcome.bytes = entry.size;
        return outcome;
    }

    void settle(run_t&) override {}

  private:
    // What a change in `dir` would meet; none in a directory that it would
    // have made itself (no handle).
    static fs_error_t refusal(fs_dir_t* dir)
    {
        return dir != nullptr ? fs_may_change(dir) : fs_error_t{};
    }

    // The directory that `path` would be made in.
    static std::string parent_path(const char* path)
    {
        const std::size_t root = root_length(path);
        std::string parent = path;
        while (parent.size() > root && is_separator(parent.back()))
            parent.pop_back();
        while (parent.size() > root && !is_separator(parent.back()))
            parent.pop_back();
        while (parent.size() > root && is_separator(parent.back()))
            parent.pop_back();
        return parent.empty() ? std::string(".") : parent;
    }

    std::set<std::string> made_paths_;
};

}  // namespace

// Moves the data of `source` into `out`: holes of a sparse source stay
// holes, the kernel moves the data where it can, and the first refusal
// hands the rest of the file to the copy buffer, where reads and writes name
// their own failures. Either way the data moves in chunks of the buffer's
// size, and with `entry` the figure of the share done follows on the console.
copy_outcome_t transfer(run_t& run, copy_buffer_t& buffer, fs_file_t* source, fs_out_t* out,
                        const filelist_t* entry)
{
    copy_outcome_t outcome;
    bool in_kernel = true;
    for (;;) {
        std::uint64_t chunk = buffer.size;
        std::int64_t got = fs_skip_hole(source, out, chunk, &chunk, &outcome.error);
        if (got < 0)
            return outcome;
        if (got == 0 && in_kernel)
            got = fs_copy_range(source, out, chunk);
        if (got < 0 || (got == 0 && !in_kernel)) {
            in_kernel = false;
            if (buffer.data == nullptr)
                buffer.data = static_cast<char*>(alloc_or_exit(buffer.size));
            got = fs_read(source, buffer.data, chunk, &outcome.error);
            if (got < 0) {
                outcome.reading = true;
                return outcome;
            }
            if (got > 0) {
                const std::int64_t put = fs_write(out, buffer.data, static_cast<std::uint64_t>(got), &outcome.error);
                if (put != got) {
                    // A write that falls short has met a full disk.
                    if (put >= 0)
                        outcome.error = fs_error_of(ERR_NO_SPACE);
                    return outcome;
                }
            }
        }
        if (got == 0)
            return outcome;
        outcome.bytes += static_cast<std::uint64_t>(got);
        if (entry != nullptr && run.settings.verbosity >= SHOW_PROGRESS) {
            show(run, SHOW_PROGRESS, "%03lu%%\b\b\b\b", copy_percent(outcome.bytes, entry->size));
            show_flush();
        }
    }
}

copy_outcome_t take_name(copy_outcome_t outcome)
{
    fs_out_t* out = std::exchange(outcome.waiting, nullptr);
    outcome.error = fs_commit(out, outcome.replace);
    if (!outcome.error)
        outcome.committed = out;
    return outcome;
}

void dest_changes_t::tell_unkept(run_t& run, const char* path)
{
    // Copies made apart tell it when their lines are shown: the first copy
    // shown tells it, as when they are made one after the other.
    show_in_turn([this, &run, where = std::string(path)] {
        if (told_unkept_)
            return;
        told_unkept_ = true;
        show(run, SHOW_PROGRESS,
             "Nota: proprietari, permessi, ACL o attributi estesi non conservati dalla destinazione (%s)\n",
             shown(where.c_str()).c_str());
    });
}

std::unique_ptr<dest_changes_t> make_dest_changes(const run_settings_t& settings, const char* dst)
{
    if (settings.versions)
        return make_keep_changes(settings, dst);
    if (settings.dry_run)
        return make_dry_changes();
    return make_real_changes(nullptr);
}

std::unique_ptr<dest_changes_t> make_real_changes(replaced_keeper_t* keeper)
{
    return std::make_unique<real_changes_t>(keeper);
}

std::unique_ptr<dest_changes_t> make_dry_changes()
{
    return std::make_unique<dry_changes_t>();
}

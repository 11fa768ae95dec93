#include "fileops/keep_changes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "core/output.h"
#include "fileops/remove.h"
#include "listing/filelist.h"
#include "platform/platform.h"

std::string versions_path(const run_settings_t& settings, const char* dst)
{
    if (settings.versions && !settings.versions->empty())
        return *settings.versions;
    std::string path = dst;
    if (path.empty() || !is_separator(path.back()))
        path += path_separator();
    return path + ".versioni";
}

namespace {

bool digits(const char* text, std::size_t count, int* value)
{
    *value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool run_folder_name(const char* name, std::string* stamp, std::uint64_t* number)
{
    int year, month, day, hour, minute, second;
    if (std::strlen(name) < 15 || name[8] != '-' || !digits(name, 4, &year) || !digits(name + 4, 2, &month) ||
        !digits(name + 6, 2, &day) || !digits(name + 9, 2, &hour) || !digits(name + 11, 2, &minute) ||
        !digits(name + 13, 2, &second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    *number = 1;
    const char* rest = name + 15;
    if (*rest != '\0') {
        const std::size_t length = std::strlen(rest + 1);
        if (*rest != '-' || length == 0 || length > 9 || rest[1] == '0')
            return false;
        int n;
        if (!digits(rest + 1, length, &n) || n < 2)
            return false;
        *number = static_cast<std::uint64_t>(n);
    }
    stamp->assign(name, 15);
    return true;
}

namespace {

// "AAAAMMGG-HHMMSS" of the local time of `when`.
std::string stamp_of(std::int64_t when)
{
    local_time_t local{};
    local_time(when, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", local.year, local.month, local.day, local.hour,
                  local.minute, local.second);
    return text;
}

// A run folder found in the versions directory.
struct run_folder_t {
    std::string stamp;
    std::uint64_t number;
    bool operator<(const run_folder_t& other) const
    {
        return stamp != other.stamp ? stamp < other.stamp : number < other.number;
    }
};

class keep_changes_t final : public dest_changes_t, private replaced_keeper_t {
  public:
    keep_changes_t(const run_settings_t& settings, const char* dst)
        : dst_(dst), versions_(versions_path(settings, dst)), days_(settings.versions_days), dry_(settings.dry_run),
          inner_(dry_ ? make_dry_changes() : make_real_changes(this))
    {
    }
    keep_changes_t(const keep_changes_t&) = delete;
    keep_changes_t& operator=(const keep_changes_t&) = delete;

    void begin(run_t& run) override
    {
        run_ = &run;
        inner_->begin(run);
        // A versions directory that is there already is the run's own from
        // the start: the walk never lists it.
        fs_id_t id;
        versions_dir_.reset(fs_dir_open(nullptr, versions_.c_str(), true, &id));
        if (versions_dir_)
            versions_id_ = id;
    }

    int lock(fs_dir_t* dir) override { return inner_->lock(dir); }
    bool find(const dest_dir_t& dir, const char* name, fs_status_t* status) override
    {
        return inner_->find(dir, name, status);
    }
    bool made(const char* path) override { return inner_->made(path); }
    fs_error_t make_dir(const char* path) override { return inner_->make_dir(path); }
    bool make_dir_at(dest_dir_t& parent, const char* name, fs_error_t* error) override
    {
        return inner_->make_dir_at(parent, name, error);
    }
    bool open_dir_at(dest_dir_t& parent, const char* name, dest_dir_t& child, fs_id_t* id,
                     fs_error_t* error) override
    {
        return inner_->open_dir_at(parent, name, child, id, error);
    }
    fs_error_t protect(dest_dir_t& dir, fs_dir_t* like) override { return inner_->protect(dir, like); }
    fs_error_t protect_file(run_t& run, dest_dir_t& dir, const filelist_t& copy, fs_dir_t* like_dir,
                            const filelist_t& source, const char* path) override
    {
        return inner_->protect_file(run, dir, copy, like_dir, source, path);
    }
    void removed(dest_dir_t& dir, const char* name) override { inner_->removed(dir, name); }
    int respell_at(dest_dir_t& dir, const char* from, const char* to, fs_error_t* error) override
    {
        return inner_->respell_at(dir, from, to, error);
    }

    fs_error_t remove_file_at(fs_dir_t* dir, const char* name, const char* path) override
    {
        if (dry_)
            return would_keep(inner_->remove_file_at(dir, name, path));
        std::vector<std::string> parts;
        fs_error_t error;
        fs_dir_t* into = folder_of(path, &parts, parts_above, &error);
        if (into == nullptr)
            return error;
        error = fs_move_at(dir, name, into, name);
        if (!error.is(ERR_CROSS_DEVICE))
            return error;
        // On another file system: copied, made durable, and only then
        // removed; a copy kept of a file that stays would be no version.
        if ((error = copy_into(dir, name, into)))
            return error;
        if ((error = fs_remove_file_at(dir, name)))
            fs_remove_file_at(into, name);
        return error;
    }

    fs_error_t remove_dir_at(fs_dir_t* dir, const char* name, const char* path, bool emptied) override
    {
        if (dry_)
            return would_keep(inner_->remove_dir_at(dir, name, path, emptied));
        // Its contents were kept first: the directory takes its protection
        // in the run folder, then goes. One that stays (something in it
        // could not go) takes its place in the run folder back, unless
        // something was kept in it.
        std::vector<std::string> parts;
        fs_error_t error;
        if (folder_of(path, &parts, parts_all, &error) == nullptr)
            return error;
        close_level();
        error = fs_remove_dir_at(dir, name);
        if (error)
            fs_remove_dir_at(levels_.back().kept.get(), name);
        return error;
    }

    bool keeps() const override { return true; }

    bool takes_whole(const fs_id_t& tree) override
    {
        return !dry_ && !open_versions() && versions_id_->device == tree.device;
    }

    fs_error_t remove_tree_at(fs_dir_t* dir, const char* name, const char* path) override
    {
        std::vector<std::string> parts;
        fs_error_t error;
        fs_dir_t* into = folder_of(path, &parts, parts_above, &error);
        if (into == nullptr)
            return error;
        return fs_move_at(dir, name, into, name);
    }

    bool hides(const fs_id_t& id) const override { return versions_id_ && *versions_id_ == id; }

    copy_outcome_t put_copy(run_t& run, copy_buffer_t& buffer, copy_turn_t* turn, dest_dir_t& dir, const char* name,
                            const char* dst_path, fs_file_t* source, const filelist_t& entry, bool replace) override
    {
        copy_outcome_t outcome = inner_->put_copy(run, buffer, turn, dir, name, dst_path, source, entry, replace);
        if (dry_ && replace && !outcome.error)
            kept_any_ = true;
        return outcome;
    }

    void hold(run_t& run, fs_out_t* out, const std::string& dst_path, fs_time_t mtime, std::uint64_t bytes) override
    {
        inner_->hold(run, out, dst_path, mtime, bytes);
    }

    void settle(run_t& run) override
    {
        inner_->settle(run);
        close_levels();
    }

    void finish(run_t& run) override
    {
        close_levels();
        // A run folder made for what could not be kept after all holds
        // nothing: a run that kept nothing leaves none.
        if (!folder_name_.empty())
            fs_remove_dir_at(versions_dir_.get(), folder_name_.c_str());
        if (days_)
            expire(run);
    }

  private:
    // A directory of the run folder on the way down to what is being
    // kept, beside the destination directory it stands for.
    struct level_t {
        std::string name;
        dir_handle_t kept;
        dir_handle_t like;
    };

    // How much of a path the run folder must hold: the directories above
    // the entry, or the entry itself too (a directory).
    enum parts_t { parts_above, parts_all };

    // What a dry run would have kept: its real run makes a run folder.
    fs_error_t would_keep(fs_error_t error)
    {
        if (!error)
            kept_any_ = true;
        return error;
    }

    // Opens the versions directory, making it (private to its owner) with
    // its missing parents where it is not there yet.
    fs_error_t open_versions()
    {
        if (versions_dir_)
            return {};
        std::string path = versions_;
        while (path.size() > root_length(path.c_str()) + 1 && is_separator(path.back()))
            path.pop_back();
        std::size_t cut = path.size();
        while (cut > 0 && !is_separator(path[cut - 1]))
            --cut;
        const std::string parent = cut == 0 ? std::string(".") : path.substr(0, cut);
        for (std::size_t at = root_length(parent.c_str()) + 1; at <= parent.size(); ++at) {
            if (at == parent.size() || (is_separator(parent[at]) && !is_separator(parent[at - 1])))
                fs_make_dir(parent.substr(0, at).c_str());
        }
        fs_error_t error;
        const dir_handle_t holder(fs_dir_open(nullptr, parent.c_str(), true, nullptr, &error));
        fs_dir_t* in = holder.get();
        if (in == nullptr)
            return error;
        const std::string name = path.substr(cut);
        error = fs_make_dir_at(in, name.c_str());
        if (error && !error.is(ERR_EXISTS))
            return error;
        fs_id_t id;
        versions_dir_.reset(fs_dir_open(in, name.c_str(), false, &id, &error));
        if (!versions_dir_)
            return error;
        versions_id_ = id;
        return {};
    }

    // Makes the run folder: after the run's start, with the first number
    // free.
    fs_error_t open_run_folder()
    {
        if (const fs_error_t error = open_versions())
            return error;
        const std::string stamp = stamp_of(run_->stats.start_time);
        for (unsigned n = 1; n < 1000; ++n) {
            // Once made, the folder of the run is the one it keeps into.
            const std::string name =
                !folder_name_.empty() ? folder_name_ : n == 1 ? stamp : stamp + "-" + std::to_string(n);
            fs_error_t error = folder_name_.empty() ? fs_make_dir_at(versions_dir_.get(), name.c_str()) : fs_error_t{};
            if (error.is(ERR_EXISTS))
                continue;
            if (error)
                return error;
            folder_name_ = name;
            level_t folder;
            folder.name = name;
            folder.kept.reset(fs_dir_open(versions_dir_.get(), name.c_str(), false, nullptr, &error));
            if (!folder.kept)
                return error;
            fs_id_t id;
            folder.like.reset(fs_dir_open(nullptr, dst_.c_str(), true, &id));
            levels_.push_back(std::move(folder));
            return {};
        }
        return fs_error_of(ERR_EXISTS);
    }

    // The directory of the run folder that stands for the directory of
    // the entry at `path` (`parts_above`) or for the entry itself
    // (`parts_all`), made with the directories on its way where missing;
    // `parts` receives the names of `path` below the destination operand.
    fs_dir_t* folder_of(const char* path, std::vector<std::string>* parts, parts_t how, fs_error_t* error)
    {
        const std::size_t prefix = dst_.size();
        if (std::strncmp(path, dst_.c_str(), prefix) != 0) {
            *error = fs_error_of(ERR_OTHER);
            return nullptr;
        }
        for (const char* at = path + prefix; *at != '\0';) {
            const char* end = at;
            while (*end != '\0' && !is_separator(*end))
                ++end;
            if (end > at)
                parts->emplace_back(at, static_cast<std::size_t>(end - at));
            at = *end != '\0' ? end + 1 : end;
        }
        if (parts->empty()) {
            *error = fs_error_of(ERR_OTHER);
            return nullptr;
        }
        const std::size_t count = how == parts_all ? parts->size() : parts->size() - 1;
        if (levels_.empty()) {
            if ((*error = open_run_folder()))
                return nullptr;
        }
        // The levels held are those of the last entry kept: the walk goes
        // depth first, so most of them serve this one too.
        std::size_t same = 0;
        while (same < count && same + 1 < levels_.size() && levels_[same + 1].name == (*parts)[same])
            ++same;
        while (levels_.size() > same + 1)
            close_level();
        for (std::size_t i = same; i < count; ++i) {
            const char* name = (*parts)[i].c_str();
            level_t next;
            next.name = name;
            fs_id_t id;
            if (levels_.back().like)
                next.like.reset(fs_dir_open(levels_.back().like.get(), name, false, &id));
            fs_dir_t* above = levels_.back().kept.get();
            *error = fs_make_dir_at(above, name);
            if (*error && !error->is(ERR_EXISTS))
                return nullptr;
            *error = {};
            next.kept.reset(fs_dir_open(above, name, false, nullptr, error));
            if (!next.kept)
                return nullptr;
            levels_.push_back(std::move(next));
        }
        return levels_[count].kept.get();
    }

    // Done with the deepest directory held: it takes the protection of its
    // destination counterpart.
    void close_level()
    {
        level_t& level = levels_.back();
        if (level.kept && level.like)
            fs_set_dir_protection(level.kept.get(), level.like.get());
        levels_.pop_back();
    }

    void close_levels()
    {
        while (!levels_.empty())
            close_level();
    }

    // Copies the file `name` of `dir` into `into` under the same name, with
    // its time and protection, through a hidden file that takes the name
    // only when complete, and makes it durable: a kept copy must outlive a
    // crash that comes after the original is gone. Never replaces anything.
    fs_error_t copy_into(fs_dir_t* dir, const char* name, fs_dir_t* into)
    {
        fs_status_t status;
        if (!fs_stat_at(into, name, &status))
            return fs_error_of(ERR_EXISTS);
        fs_error_t error;
        fs_file_t* in = fs_open_read_at(dir, name, &error);
        if (in == nullptr)
            return error;
        fs_out_t* out = fs_create_temp_at(into, name, in, &error);
        if (out == nullptr) {
            fs_close_read(in);
            return error;
        }
        error = transfer(*run_, run_->buffer, in, out, nullptr).error;
        if (!error)
            error = fs_set_times(out, fs_file_mtime(in));
        fs_close_read(in);
        if (error) {
            fs_discard(out);
            return error;
        }
        if ((error = fs_commit(out, false)))
            return error;
        int flushed = 0;
        fs_flush_outs(&out, 1, &flushed);
        error = fs_close_out(out);
        if (flushed != 0)
            error = fs_error(flushed);
        if (error)
            fs_remove_file_at(into, name);
        return error;
    }

    // The old file a copy is about to replace goes into the run folder by
    // a rename, and the copy then takes a free name; on another file
    // system a durable copy of it is kept, and the copy replaces it. The
    // rename needs no flush before the copy takes the name: both are
    // changes of one file system's names, which its journal keeps in
    // order, so a crash never leaves the old copy gone and not kept.
    fs_error_t keep_replaced(dest_dir_t& dir, const char* name, const char* dst_path, bool* replace) override
    {
        std::vector<std::string> parts;
        fs_error_t error;
        replaced_into_ = folder_of(dst_path, &parts, parts_above, &error);
        if (replaced_into_ == nullptr)
            return error;
        error = fs_move_at(dir.dir.get(), name, replaced_into_, name);
        replaced_moved_ = !error;
        if (!error) {
            *replace = false;
            return error;
        }
        if (!error.is(ERR_CROSS_DEVICE))
            return error;
        return copy_into(dir.dir.get(), name, replaced_into_);
    }

    void unkeep_replaced(dest_dir_t& dir, const char* name, const char*) override
    {
        if (replaced_moved_)
            fs_move_at(replaced_into_, name, dir.dir.get(), name);
        else
            fs_remove_file_at(replaced_into_, name);
    }

    // Removes the run folders older than the retention, never the newest:
    // a clock once set wrong must not take the whole history with it.
    void expire(run_t& run)
    {
        if (!versions_dir_)
            return;
        const std::uint64_t days = *days_;
        const std::int64_t start = run.stats.start_time;
        if (days > static_cast<std::uint64_t>(start < 0 ? 0 : start) / 86400)
            return;   // before 1970: nothing is that old
        const std::string cutoff = stamp_of(start - static_cast<std::int64_t>(days) * 86400);

        std::string path = versions_;
        if (path.empty() || !is_separator(path.back()))
            path += path_separator();
        filelist_head_t dirs;
        filelist_head_t files;
        fs_error_t failure;
        Filelist_scan(run, versions_dir_.get(), path.c_str(), &dirs, &files, {.quiet = true}, &failure);
        if (failure) {
            // Without the whole list, the newest may be missing from it.
            report_failure(run, versions_.c_str(), failure);
            return;
        }
        std::optional<run_folder_t> newest;
        for (const filelist_t* record = dirs.next; record != &dirs; record = record->next) {
            run_folder_t folder;
            if (run_folder_name(record->name(), &folder.stamp, &folder.number) && (!newest || *newest < folder))
                newest = folder;
        }
        // A dry run that would have kept something would have made the
        // newest run folder itself.
        if (dry_ && kept_any_)
            newest.reset();
        for (const filelist_t* record = dirs.next; record != &dirs; record = record->next) {
            run_folder_t folder;
            if (!run_folder_name(record->name(), &folder.stamp, &folder.number) || folder.stamp >= cutoff)
                continue;
            if (newest && !(folder < *newest) && !(*newest < folder))
                continue;
            remove_expired(run, *inner_, versions_dir_.get(), record, (path + record->name()).c_str());
        }
    }

    std::string dst_;
    std::string versions_;
    std::optional<std::uint64_t> days_;
    bool dry_;
    std::unique_ptr<dest_changes_t> inner_;
    run_t* run_ = nullptr;
    dir_handle_t versions_dir_;
    std::optional<fs_id_t> versions_id_;
    std::vector<level_t> levels_;          // [0]: the run folder, beside the destination operand
    std::string folder_name_;              // the run folder, once made
    fs_dir_t* replaced_into_ = nullptr;    // where the old file of the copy under way went
    bool replaced_moved_ = false;          // by a rename (otherwise a copy of it)
    bool kept_any_ = false;                // a dry run would have kept something
};

}  // namespace

std::unique_ptr<dest_changes_t> make_keep_changes(const run_settings_t& settings, const char* dst)
{
    return std::make_unique<keep_changes_t>(settings, dst);
}

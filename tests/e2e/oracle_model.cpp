#include "e2e/oracle_model.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "support/linux_tools.h"
#include "support/system.h"
#include "support/temp_tree.h"

namespace oracle {

namespace {

std::string join(const std::string& dir, const std::string& name)
{
    return dir.empty() ? name : dir + "/" + name;
}

std::string parent_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Names of the entries directly inside `dir` ("" for the root).
std::vector<std::string> child_names(const tree_t& tree, const std::string& dir)
{
    const std::string prefix = dir.empty() ? "" : dir + "/";
    std::vector<std::string> names;
    for (auto it = tree.lower_bound(prefix); it != tree.end() && it->first.starts_with(prefix); ++it) {
        const std::string rest = it->first.substr(prefix.size());
        if (!rest.empty() && rest.find('/') == std::string::npos)
            names.push_back(rest);
    }
    return names;
}

const entry_t* find(const tree_t& tree, const std::string& path)
{
    const auto it = tree.find(path);
    return it == tree.end() ? nullptr : &it->second;
}

bool is_dir(const tree_t& tree, const std::string& path)
{
    if (path.empty())
        return true;
    const entry_t* entry = find(tree, path);
    return entry != nullptr && entry->kind == kind_t::dir;
}

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

struct listing_t {
    std::vector<std::string> dirs;
    std::vector<std::string> files;
};

// One run of the walk over the in-memory trees.
class walk_t {
  public:
    walk_t(const tree_t& src, const model_options_t& options, prediction_t* out)
        : src_(src), options_(options), out_(out), dest_(out->dest)
    {
    }

    void run()
    {
        // Every directory the run makes is private to its owner until its
        // pair is done; the dated one then takes the source operand's bits.
        std::string root;
        if (options_.copy_mode == 3) {
            root = options_.today_name;
            if (!options_.needed_dirs_only)
                make_directory(root, 0700);
        }
        if (sync("", root, true) && options_.copy_mode == 3 && !options_.dry_run && is_dir(dest_, root))
            dest_[root].mode = options_.root_mode;
    }

  private:
    // What a listing of `dir` shows: real files and real directories whose
    // names neither begin with a dot nor are excluded at this moment.
    listing_t list(const tree_t& tree, const std::string& dir) const
    {
        listing_t listing;
        if (!is_dir(tree, dir))
            return listing;
        std::vector<std::string> names = child_names(tree, dir);
        if (options_.order) {
            const std::vector<std::string> delivered = options_.order(&tree == &dest_, dir);
            std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
                const auto rank = [&](const std::string& name) {
                    return std::find(delivered.begin(), delivered.end(), name) - delivered.begin();
                };
                return rank(a) < rank(b);
            });
        }
        for (const std::string& name : names) {
            if (name[0] == '.' || contains(options_.exclude_all, name))
                continue;
            if (principal_ && contains(options_.exclude_principal, name))
                continue;
            const entry_t& entry = tree.at(join(dir, name));
            if (entry.kind == kind_t::dir)
                listing.dirs.push_back(name);
            else if (entry.kind == kind_t::file)
                listing.files.push_back(name);
        }
        return listing;
    }

    void report(bool logged)
    {
        ++out_->error_lines;
        if (logged && !options_.dry_run)
            ++out_->log_records;
    }

    // Whether `dir` stands as a directory, in a dry run also when it would
    // have been made.
    bool exists_as_dir(const std::string& dir) const { return is_dir(dest_, dir) || made_.count(dir) != 0; }

    // Walks one pair; false when it was refused.
    bool sync(const std::string& src_dir, const std::string& dst_dir, bool principal)
    {
        principal_ = principal;
        // A source directory that cannot be listed is reported, and its
        // copy left exactly as it is: once its destination was opened, where
        // the system opens a directory that may not be read to be walked
        // through; at once where it cannot open it at all.
        const unsigned src_mode = src_dir.empty() ? 0700 : src_.at(src_dir).mode;
        const bool unlistable = options_.unprivileged && (src_mode & 0500) != 0500;
        static const bool search_only = missing(feature_t::search_only_dirs).empty();
        if (unlistable && !search_only && (src_mode & 0400) == 0) {
            report(true);
            return false;
        }
        const bool simulated = made_.count(dst_dir) != 0;
        const entry_t* dst_entry = dst_dir.empty() || simulated ? nullptr : find(dest_, dst_dir);
        if (options_.copy_mode != 3 && !dst_dir.empty() && dst_entry == nullptr && !simulated) {
            // The destination check fails: an error line and a log record.
            report(true);
            return false;
        }
        if (dst_entry != nullptr && dst_entry->kind != kind_t::dir) {
            // "Not directory": an error line, no log record. In dated mode the
            // walk would otherwise list through a link or fail on a file.
            report(false);
            return false;
        }
        ++out_->counts.dirs_scanned;
        if (unlistable) {
            report(true);
            return false;
        }
        const listing_t source = list(src_, src_dir);
        out_->counts.files_scanned += source.files.size();
        const listing_t dest = simulated ? listing_t{} : list(dest_, dst_dir);

        for (const std::string& name : dest.dirs) {
            if (!contains(source.dirs, name) && !options_.keep_extra)
                remove_tree(join(dst_dir, name));
        }
        for (const std::string& name : dest.files) {
            if (!contains(source.files, name) && !options_.keep_extra && may_remove(1))
                remove_file(join(dst_dir, name));
        }
        for (const std::string& name : source.files) {
            const entry_t& from = src_.at(join(src_dir, name));
            const entry_t* to = contains(dest.files, name) ? find(dest_, join(dst_dir, name)) : nullptr;
            if (needs_copy(from, to))
                copy(from, join(dst_dir, name));
            else if (to != nullptr && !options_.dry_run && to->bytes.size() == from.bytes.size() &&
                     stamp(to->sec) == stamp(from.sec) && to->mode != from.mode)
                // A copy that stays takes its source's bits, as a new copy
                // has them, in place: nothing shown, nothing counted.
                dest_[join(dst_dir, name)].mode = copy_mode_bits(from.mode);
        }
        for (const std::string& name : source.dirs) {
            const std::string src_child = join(src_dir, name);
            const std::string dst_child = join(dst_dir, name);
            if (!contains(dest.dirs, name)) {
                if (options_.skip_new)
                    continue;
                if (!options_.needed_dirs_only)
                    make_directory(dst_child, 0700);
            }
            if (sync(src_child, dst_child, false))
                finish(src_child, dst_child);
        }
        return true;
    }

    // A child pair walked to its end: its destination directory, when there
    // is one, gets its source's permission bits.
    void finish(const std::string& src_dir, const std::string& dst_dir)
    {
        if (options_.dry_run)
            return;
        entry_t* entry = dest_.count(dst_dir) ? &dest_[dst_dir] : nullptr;
        if (entry != nullptr && entry->kind == kind_t::dir)
            entry->mode = src_.at(src_dir).mode & 07777;
    }

    // The entries a removal of the tree `dir` would meet, itself included.
    std::uint64_t count_tree(const std::string& dir) const
    {
        const listing_t listing = list(dest_, dir);
        std::uint64_t count = 1 + listing.files.size();
        for (const std::string& name : listing.dirs)
            count += count_tree(join(dir, name));
        return count;
    }

    // Whether `count` more removals fit under -c; the first that does not
    // stops them for good, with one report.
    bool may_remove(std::uint64_t count)
    {
        if (options_.removal_limit < 0)
            return true;
        if (stopped_)
            return false;
        if (removals_ + count > static_cast<std::uint64_t>(options_.removal_limit)) {
            stopped_ = true;
            report(true);
            return false;
        }
        removals_ += count;
        return true;
    }

    void remove_tree(const std::string& dir)
    {
        if (options_.removal_limit >= 0 && (stopped_ || !may_remove(count_tree(dir))))
            return;
        remove_tree_unchecked(dir);
    }

    void remove_tree_unchecked(const std::string& dir)
    {
        const listing_t listing = list(dest_, dir);
        for (const std::string& name : listing.files)
            remove_file(join(dir, name));
        for (const std::string& name : listing.dirs)
            remove_tree_unchecked(join(dir, name));
        if (options_.dry_run) {
            gone_.insert(dir);
            ++out_->counts.dirs_deleted;
            return;
        }
        // The directory goes only when nothing is left in it: hidden
        // entries (dot names, excluded names, links, special files) stay,
        // and keep it without a report.
        if (child_names(dest_, dir).empty()) {
            dest_.erase(dir);
            ++out_->counts.dirs_deleted;
        }
    }

    // Deletes one listed file, nothing changed on it first. Entries are made
    // and removed in every destination directory, also in one without its
    // owner's write bit when the run is its owner's: that bit is there for
    // the change only, and the directory keeps the bits it had.
    void remove_file(const std::string& path)
    {
        if (options_.dry_run) {
            ++out_->counts.files_deleted;
            gone_.insert(path);
            return;
        }
        dest_.erase(path);
        ++out_->counts.files_deleted;
    }

    static std::int64_t stamp(std::int64_t sec) { return sec >= 0 ? sec / 2 : (sec - 1) / 2; }

    bool needs_copy(const entry_t& from, const entry_t* to) const
    {
        if (options_.force_copy || (to != nullptr && unfinished_copy(to->sec)))
            return true;
        if (options_.copy_mode == 3)
            return local_date(from.sec) == options_.today_date;
        if (to == nullptr)
            return !options_.skip_new;
        switch (options_.copy_mode) {
        case 0:
            return from.bytes.size() != to->bytes.size() || stamp(from.sec) != stamp(to->sec);
        case 1:
            return stamp(from.sec) > stamp(to->sec);
        case 2:
            return stamp(from.sec) >= stamp(to->sec);
        default:
            return false;
        }
    }

    // Creates one directory when nothing of that name exists and its parent
    // is a directory; counted only then. An existing name or a missing
    // parent are not reported.
    bool make_directory(const std::string& path, unsigned mode)
    {
        const bool taken = find(dest_, path) != nullptr && gone_.count(path) == 0;
        if (taken || made_.count(path) != 0 || !exists_as_dir(parent_of(path)))
            return false;
        if (options_.dry_run) {
            made_.insert(path);
            ++out_->counts.dirs_created;
            return true;
        }
        dest_[path] = {.kind = kind_t::dir, .mode = mode};
        ++out_->counts.dirs_created;
        return true;
    }

    void copy(const entry_t& from, const std::string& path)
    {
        // The source is opened before anything is done on the destination.
        if (options_.unprivileged && (from.mode & 0400) == 0) {
            fail_copy();
            return;
        }
        const std::string parent = parent_of(path);
        if (!exists_as_dir(parent) && options_.needed_dirs_only) {
            // Every missing directory on the way is created, outermost first.
            std::vector<std::string> missing;
            for (std::string dir = parent; !dir.empty() && find(dest_, dir) == nullptr && made_.count(dir) == 0;
                 dir = parent_of(dir))
                missing.push_back(dir);
            for (auto it = missing.rbegin(); it != missing.rend(); ++it)
                make_directory(*it, 0700);
        }
        // A directory, a link or a special file of that name stops the copy:
        // only a regular file is ever replaced. A dry run has not removed
        // what it would have removed.
        const entry_t* there = gone_.count(path) ? nullptr : find(dest_, path);
        const bool blocked = there != nullptr && there->kind != kind_t::file;
        if (blocked || !exists_as_dir(parent)) {
            fail_copy();
            return;
        }
        if (!options_.dry_run) {
            entry_t copy = from;
            copy.mode = copy_mode_bits(from.mode);
            dest_[path] = copy;
        }
        ++out_->counts.files_copied;
        out_->counts.bytes_copied += from.bytes.size();
    }

    // A failed copy: counted, one error line and one log record; whatever
    // the destination held stays.
    void fail_copy()
    {
        ++out_->counts.files_not_copied;
        report(true);
    }

    const tree_t& src_;
    const model_options_t& options_;
    prediction_t* out_;
    tree_t& dest_;
    bool principal_ = true;
    std::uint64_t removals_ = 0;
    bool stopped_ = false;
    std::set<std::string> made_;     // directories a dry run would have made
    std::set<std::string> gone_;     // entries a dry run would have removed
};

const char* kind_name(kind_t kind)
{
    switch (kind) {
    case kind_t::file:
        return "file";
    case kind_t::dir:
        return "dir";
    case kind_t::link:
        return "link";
    case kind_t::special:
        return "special";
    }
    return "?";
}

std::string stamp_text(std::int64_t sec, long nsec)
{
    char text[64];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(sec), nsec);
    return text;
}

}  // namespace

std::uint32_t local_date(std::int64_t sec)
{
    const std::time_t when = static_cast<std::time_t>(sec);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr || local.tm_year + 1900 < 1980 || local.tm_year + 1900 > 2107)
        return 0;   // no day the run can have
    return static_cast<std::uint32_t>((local.tm_year + 1900 - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
}

unsigned copy_mode_bits(unsigned mode)
{
    mode &= 0777;
    if ((mode & 0200) == 0)
        mode &= ~0222u;
    return mode;
}

prediction_t predict(const tree_t& src, const tree_t& dest, const model_options_t& options)
{
    prediction_t out;
    out.dest = dest;
    walk_t(src, options, &out).run();
    return out;
}

tree_t read_tree(const std::string& root)
{
    tree_t tree;
    walk_tree(root, [&](const std::string& relative, const struct stat& info) {
        entry_t& entry = tree[relative];
        entry.mode = info.st_mode & 07777;
        if (S_ISDIR(info.st_mode)) {
            entry.kind = kind_t::dir;
        } else if (S_ISLNK(info.st_mode)) {
            entry.kind = kind_t::link;
            std::error_code ignored;
            entry.target = std::filesystem::read_symlink(root + "/" + relative, ignored).string();
        } else if (S_ISREG(info.st_mode)) {
            entry.sec = info.st_mtim.tv_sec;
            entry.nsec = info.st_mtim.tv_nsec;
            entry.bytes = read_file(root + "/" + relative);
        } else {
            entry.kind = kind_t::special;
        }
        return true;
    });
    return tree;
}

std::vector<std::string> compare_trees(const tree_t& expected, const tree_t& actual, std::size_t limit)
{
    std::vector<std::string> lines;
    auto note = [&](const std::string& line) {
        if (lines.size() < limit)
            lines.push_back(line);
    };
    for (const auto& [path, want] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end()) {
            note("missing " + std::string(kind_name(want.kind)) + ": " + path);
            continue;
        }
        const entry_t& got = it->second;
        if (got.kind != want.kind) {
            note("kind of " + path + ": expected " + kind_name(want.kind) + ", found " + kind_name(got.kind));
            continue;
        }
        char modes[64];
        std::snprintf(modes, sizeof modes, ": expected %04o, found %04o", want.mode, got.mode);
        switch (want.kind) {
        case kind_t::file:
            if (got.bytes != want.bytes)
                note("bytes of " + path + ": expected " + std::to_string(want.bytes.size()) + " bytes, found " +
                     std::to_string(got.bytes.size()) + (got.bytes.size() == want.bytes.size() ? " (other bytes)" : ""));
            if (got.sec != want.sec || got.nsec != want.nsec)
                note("time of " + path + ": expected " + stamp_text(want.sec, want.nsec) + ", found " +
                     stamp_text(got.sec, got.nsec));
            if (got.mode != want.mode)
                note("mode of " + path + modes);
            break;
        case kind_t::dir:
            if (got.mode != want.mode)
                note("mode of " + path + modes);
            break;
        case kind_t::link:
            if (got.target != want.target)
                note("target of " + path + ": expected " + want.target + ", found " + got.target);
            break;
        case kind_t::special:
            break;
        }
    }
    for (const auto& [path, got] : actual) {
        if (expected.find(path) == expected.end())
            note("unexpected " + std::string(kind_name(got.kind)) + ": " + path);
    }
    return lines;
}

std::string describe_tree(const tree_t& tree)
{
    std::string text;
    for (const auto& [path, entry] : tree) {
        char line[512];
        switch (entry.kind) {
        case kind_t::file:
            std::snprintf(line, sizeof line, "  %-24s file %7zu %04o %s\n", path.c_str(), entry.bytes.size(), entry.mode,
                          stamp_text(entry.sec, entry.nsec).c_str());
            break;
        case kind_t::dir:
            std::snprintf(line, sizeof line, "  %-24s dir          %04o\n", path.c_str(), entry.mode);
            break;
        case kind_t::link:
            std::snprintf(line, sizeof line, "  %-24s link -> %s\n", path.c_str(), entry.target.c_str());
            break;
        case kind_t::special:
            std::snprintf(line, sizeof line, "  %-24s special\n", path.c_str());
            break;
        }
        text += line;
    }
    return text;
}

}  // namespace oracle

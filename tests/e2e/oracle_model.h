// An independent model of one mirror run, for the property test that
// compares it with the real program: trees held in memory, the walk played
// on them, and the counters the log footer should show.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace oracle {

enum class kind_t { file, dir, link, special };

// One entry of a tree. Only the fields of its kind are meaningful.
struct entry_t {
    kind_t kind = kind_t::file;
    std::string bytes{};      // file contents
    unsigned mode = 0;        // permission bits (files and directories)
    std::int64_t sec = 0;     // last write (files)
    long nsec = 0;
    std::string target{};     // link target
};

// The time a copy carries until its data is durable, 1980-01-02 12:00:00
// UTC, and a destination time that stands for it (within fourteen hours,
// for file systems that keep local times): such a file is copied again in
// every mode.
inline constexpr std::int64_t UNFINISHED_COPY_SEC = 315662400;
inline bool unfinished_copy(std::int64_t sec)
{
    return sec >= UNFINISHED_COPY_SEC - 14 * 3600 && sec <= UNFINISHED_COPY_SEC + 14 * 3600;
}

// Entries by path relative to the tree's root ("a/b/c"); the root itself is
// not stored. All paths under one directory are contiguous in this order.
using tree_t = std::map<std::string, entry_t>;

// The settings of one run as the model needs them.
struct model_options_t {
    int copy_mode = 0;
    bool keep_extra = false;         // -p
    bool skip_new = false;           // -n
    bool force_copy = false;         // -f
    bool needed_dirs_only = false;   // -d
    std::vector<std::string> exclude_all;         // -x
    std::vector<std::string> exclude_principal;   // -X
    bool dry_run = false;            // -s
    long long removal_limit = -1;    // -c, -1 for none
    std::uint32_t today_date = 0;    // packed date of the day the run starts
    std::string today_name;          // the same day as YYYYMMDD
    unsigned root_mode = 0755;       // the source operand's permission bits, which the dated directory takes
    // The run is made by the owner of every entry without privileges, so
    // the owner's permission bits decide what the source lets it read.
    bool unprivileged = false;
    // The order in which the file system lists a directory of the source
    // (false) or of the destination (true) before the run, when it matters
    // (which removals a limit lets through); names it does not give keep
    // the model's order, after those it gives.
    std::function<std::vector<std::string>(bool dest, const std::string& dir)> order;
};

// The footer figures.
struct counts_t {
    std::uint64_t dirs_scanned = 0;
    std::uint64_t dirs_deleted = 0;
    std::uint64_t dirs_created = 0;
    std::uint64_t files_scanned = 0;
    std::uint64_t files_deleted = 0;
    std::uint64_t files_not_copied = 0;
    std::uint64_t files_copied = 0;
    std::uint64_t bytes_copied = 0;
};

struct prediction_t {
    tree_t dest;              // the whole destination operand afterwards
    counts_t counts;
    int error_lines = 0;      // lines on the error stream
    int log_records = 0;      // error records in the log
};

// The packed local date of a moment: (year - 1980) << 9 | month << 5 | day.
std::uint32_t local_date(std::int64_t sec);

// What the run of `options` makes of the destination operand `dest`, given
// the source operand `src`.
prediction_t predict(const tree_t& src, const tree_t& dest, const model_options_t& options);

// The permission bits a copy of a file with `mode` gets.
unsigned copy_mode_bits(unsigned mode);

// Reads a real tree, never following links and never opening special files.
tree_t read_tree(const std::string& root);

// Differences between the predicted and the real tree, one line each, at
// most `limit` of them.
std::vector<std::string> compare_trees(const tree_t& expected, const tree_t& actual, std::size_t limit);

// A one-line-per-entry picture of a tree for failure reports.
std::string describe_tree(const tree_t& tree);

}  // namespace oracle

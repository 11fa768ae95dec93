// Listing directory pairs ahead of the walk, on threads of their own.
//
// Listing waits on the disk or the network far more than on the processor:
// while the walk works on one pair, listing threads open and list the pairs
// it will visit next, in its own order, so that many status queries are
// under way at once. Only a pair whose lists cannot change before the walk
// reaches it is listed ahead: a sub-directory that exists under the same
// name on both sides of its parent pair, which the walk neither removes nor
// creates. Everything the user sees (console, log, counters, the trees)
// stays on the walk's thread and in its order: a pair listed ahead is handed
// over whole, and one that could not be (a directory swapped since its
// listing, a failure) is listed again by the walk, which then reports what
// it meets.
//
// Ownership holds by construction: the sub-directory pairs offered for a
// pair belong to that pair (its `offered_t`), are opened through that pair's
// directories, and are all claimed or cancelled before it closes them. A
// pair listed ahead brings the offers of its own sub-directories with it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "listing/filelist.h"

class lister_t;
struct offer_t;

// Where a pair stands in the walk: for each pair on the way down to it, its
// place among the sub-directories of its parent. Listing threads take the
// waiting pair that comes first in this order, the one the walk needs next.
using walk_key_t = std::vector<std::uint32_t>;

// The sub-directory pairs of one pair that were offered to be listed ahead.
// Whatever the walk has not claimed when they go is cancelled: one being
// listed is waited for, so that nothing outlives the directories it is
// opened through.
class offered_t {
  public:
    offered_t();
    ~offered_t();
    offered_t(const offered_t&) = delete;
    offered_t& operator=(const offered_t&) = delete;
    offered_t(offered_t&& other) noexcept;
    offered_t& operator=(offered_t&& other) noexcept;

    // The pair of the sub-directory `name` as listed ahead, waiting while it
    // is being listed; nullptr when it was not offered or could not be
    // listed, and the walk is to open and list it itself.
    std::unique_ptr<struct listed_pair_t> claim(const char* name);

    // Cancels every offer left.
    void cancel();

  private:
    friend class lister_t;
    lister_t* lister_ = nullptr;
    std::map<std::string, std::unique_ptr<offer_t>> offers_;
};

// A directory pair opened and listed: its two directories (closed with it,
// unless taken) and its four lists, and the offers of its own
// sub-directories, which go before its directories close.
struct listed_pair_t {
    dir_handle_t src_dir;
    dir_handle_t dst_dir;
    fs_id_t src_id{};
    fs_id_t dst_id{};
    filelist_head_t src_dirs;
    filelist_head_t src_files;
    filelist_head_t dst_dirs;
    filelist_head_t dst_files;
    std::uint32_t files_scanned = 0;   // files listed in the source
    walk_key_t key;
    offered_t children;

    listed_pair_t() = default;
    listed_pair_t(const listed_pair_t&) = delete;
    listed_pair_t& operator=(const listed_pair_t&) = delete;
    ~listed_pair_t() { children.cancel(); }
};

class lister_t {
  public:
    // At most `workers` threads (fewer where the system will not start
    // more); none lists nothing ahead. A listed pair is held ahead of the
    // walk until it is claimed, within `pair_budget` pairs and
    // `record_budget` listed entries.
    // The run's settings, exclusion lists and log do not change while the
    // threads list.
    lister_t(const run_t& run, unsigned workers, std::uint64_t pair_budget = 64, std::uint64_t record_budget = 25000);
    ~lister_t();
    lister_t(const lister_t&) = delete;
    lister_t& operator=(const lister_t&) = delete;

    // The threads that did start.
    std::size_t workers() const { return workers_.size(); }

    // Offers into `into` the sub-directories that the lists of the pair at
    // `parent` show under the same name on both sides, to be opened through
    // the pair's directories `src_parent` and `dst_parent`, which must stay
    // open as long as `into` holds offers.
    void offer(offered_t* into, const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
               const filelist_head_t* src_dirs, const filelist_head_t* dst_dirs);

  private:
    friend class offered_t;

    void work();
    std::unique_ptr<listed_pair_t> list(const offer_t& offer);
    bool over_budget() const;
    std::unique_ptr<listed_pair_t> claim(offer_t* offer);
    std::vector<std::unique_ptr<listed_pair_t>> cancel(offered_t* offered);
    void add_offers(offered_t* into, const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
                    std::vector<struct both_sides_t>& children);

    struct by_walk_order {
        bool operator()(const offer_t* a, const offer_t* b) const;
    };

    const run_t& run_;
    // Each wake-up goes to whoever can act on it: a listing thread when
    // there is a pair to list, the walk when its pair is listed. Waking
    // every thread at every change costs more than the listing itself on a
    // warm cache.
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable listed_;
    std::set<offer_t*, by_walk_order> waiting_;   // offers not yet taken by a thread, in the walk's order
    std::uint64_t pair_budget_;
    std::uint64_t record_budget_;
    std::uint64_t listed_pairs_ = 0;       // listed and not yet claimed or cancelled
    std::uint64_t listing_ = 0;            // being listed
    std::uint64_t listed_records_ = 0;
    std::uint64_t offers_made_ = 0;        // orders offers of equal keys
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Listing directory pairs ahead of the walk, on threads of their own.
//
// Listing waits on the disk or the network far more than on the processor:
// while the walk works on one pair, listing threads open and list the pairs
// it will visit next, in its own order, so that many status queries are
// under way at once. Only a pair whose lists cannot change before the walk
// reaches it is listed ahead: a sub-directory that exists on both sides of
// its parent pair, which the walk neither removes nor creates. Everything
// the user sees (console, log, counters, the trees) stays on the walk's
// thread and in its order: a pair listed ahead is handed over whole, and one
// that could not be (a directory swapped since its listing, a failure) is
// listed again by the walk, which then reports what it meets.
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

// A directory pair opened and listed: its two directories (closed with it,
// unless taken) and its four lists.
struct listed_pair_t {
    fs_dir_t* src_dir = nullptr;
    fs_dir_t* dst_dir = nullptr;
    filelist_head_t src_dirs;
    filelist_head_t src_files;
    filelist_head_t dst_dirs;
    filelist_head_t dst_files;
    std::uint32_t files_scanned = 0;   // files listed in the source

    listed_pair_t() = default;
    listed_pair_t(const listed_pair_t&) = delete;
    listed_pair_t& operator=(const listed_pair_t&) = delete;
    ~listed_pair_t();
};

// Where a pair stands in the walk: for each pair on the way down to it, its
// place among the sub-directories of its parent that exist on both sides.
// The walk visits pairs in the order of these keys.
using walk_key_t = std::vector<std::uint32_t>;

// A sub-directory on both sides of a pair, as its parent's lists show it.
struct both_sides_t {
    std::string name;
    fs_id_t src_id;
    fs_id_t dst_id;
};

class lister_t {
  public:
    // `workers` threads; none lists nothing ahead.
    explicit lister_t(unsigned workers);
    ~lister_t();
    lister_t(const lister_t&) = delete;
    lister_t& operator=(const lister_t&) = delete;

    // Offers the sub-directories on both sides of the pair at `parent`, in
    // the walk's order, to be opened through that pair's two directories,
    // which stay open until each of them has been claimed.
    void offer(const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
               const std::vector<both_sides_t>& children);

    // The pair at `key` as listed ahead, waiting while it is being listed;
    // nullptr when the walk is to open and list it itself. Every offered pair
    // is claimed once, before the pair it belongs to ends.
    std::unique_ptr<listed_pair_t> claim(const walk_key_t& key);

    // The sub-directories on both sides of a listed pair, in the walk's order.
    static std::vector<both_sides_t> both_sides(filelist_head_t* src_dirs, filelist_head_t* dst_dirs);

  private:
    enum class state_t { waiting, listing, listed, failed };
    struct node_t {
        state_t state = state_t::waiting;
        bool awaited = false;             // the walk waits for it to be listed
        fs_dir_t* src_parent = nullptr;
        fs_dir_t* dst_parent = nullptr;
        both_sides_t pair;
        std::unique_ptr<listed_pair_t> listed;
    };

    void work();
    std::unique_ptr<listed_pair_t> list(const node_t& node);
    bool over_budget() const;
    void add(walk_key_t key, fs_dir_t* src_parent, fs_dir_t* dst_parent,
             const std::vector<both_sides_t>& children);

    // Each wake-up goes to whoever can act on it: a listing thread when
    // there is a pair to list, the walk when its pair is listed. Waking
    // every thread at every change costs more than the listing itself on a
    // warm cache.
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable listed_;
    std::map<walk_key_t, node_t> nodes_;
    std::set<walk_key_t> waiting_;        // keys of nodes still waiting, in the walk's order
    std::uint64_t listed_pairs_ = 0;      // listed and not yet claimed
    std::uint64_t listed_records_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

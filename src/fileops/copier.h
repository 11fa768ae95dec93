// Copies made on threads of their own while the walk goes on deciding.
//
// The walk decides every copy in its order, as it always has; a copier
// makes them on its threads, several at once, so that the round trips of
// one (its status query, its hidden file, its rename, its times) and the
// data of another overlap. Everything the user sees stays as if each copy
// had been made in turn on the walk's thread: each copy's lines, failures
// and log records are held back until the copies before it are shown, and
// so is whatever the walk shows meanwhile; the counters and the durable
// flush take each copy in the walk's order, on the walk's thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/output.h"
#include "core/run.h"
#include "fileops/dest_changes.h"
#include "fileops/dest_dir.h"
#include "listing/filelist.h"

class copier_t {
  public:
    // Copies on up to `threads` threads, started when first needed (0: each
    // copy made at once on the walk's thread, as copy_file makes it).
    copier_t(run_t& run, dest_changes_t& changes, unsigned threads);
    // Stops the threads; copies asked for and not shown are dropped (each
    // copy put in place carries the placeholder time, and is copied again
    // by the next run). A walk that ends as it should calls finish first.
    ~copier_t();
    copier_t(const copier_t&) = delete;
    copier_t& operator=(const copier_t&) = delete;

    // Makes the file `entry` of `src_dir` a copy in `dst_dir`, as copy_file
    // does, and counts it (copied, or not copied). On a copy thread where
    // the destination directory is open and the changes can be made apart;
    // otherwise at once, once every copy asked for before it is shown.
    // `src_dir` and `dst_dir` must stay open until an action asked for
    // after this copy (then) has run.
    void copy(const filelist_t* entry, fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir,
              const char* dst_path);

    // Runs `action` on the walk's thread once every copy asked for before it
    // is complete and shown: at once when none is waiting.
    void then(std::function<void()> action);

    // Waits for every copy asked for, showing and counting each.
    void finish();

  private:
    struct job_t;
    struct slot_t;

    bool start_threads();
    void stop_threads();
    void work();
    copy_turn_t::turn_t take_turn(job_t& job);
    void park(job_t& job);
    job_t* next_job(bool* naming);
    bool give_up(std::uint64_t seq);
    void end_turn(job_t& job);
    void pass(std::uint64_t seq);
    void pump();
    void wait_for_head(std::size_t ahead = 0);
    void show_job(job_t& job);
    held_output_t& hold_after();

    run_t& run_;
    dest_changes_t& changes_;
    unsigned wanted_;
    std::vector<std::thread> threads_;
    bool started_ = false;

    // In the walk's order: copies, actions, and what the walk showed after
    // each. Only the walk's thread touches it.
    std::deque<std::unique_ptr<slot_t>> slots_;
    std::size_t waiting_copies_ = 0;   // copies among them
    std::size_t waiting_actions_ = 0;  // actions among them

    std::mutex guard_;                 // what follows, shared with the threads
    std::condition_variable work_;     // a copy to make, or the end
    std::condition_variable done_;     // the copy at the head made (head_seq_)
    std::deque<job_t*> todo_;
    bool stopping_ = false;
    unsigned idle_ = 0;                // threads waiting for a copy to make
    std::deque<job_t*> parked_;        // written, waiting for their turn, in the walk's order
    std::deque<job_t*> ready_;         // whose turn has come, to take their names
    std::vector<const dest_dir_t*> busy_;   // the directories the threads copy into
    std::uint64_t head_seq_ = UINT64_MAX;   // the copy the walk waits for
    // The turns of the copies to take their names, by their number in the
    // walk's order: every copy below passed_ has passed (written its data,
    // or ended without meeting a full disk), and so have those in
    // passed_ahead_; from retry_from_ on, every copy is made again on the
    // walk's thread, where the first of them met a full disk.
    std::uint64_t next_seq_ = 0;
    std::uint64_t passed_ = 0;
    std::set<std::uint64_t> passed_ahead_;
    std::uint64_t retry_from_ = UINT64_MAX;
    bool serial_ = false;              // no more copies on the threads
    // Whether copies go to the threads: at once where the threads were
    // asked for by number, otherwise once the copies made on the walk's
    // thread are found to wait on the destination.
    bool engaged_ = false;
    std::uint64_t timed_ = 0;          // small copies timed on the walk's thread
    std::int64_t recent_[16] = {};     // the last of their times, in microseconds
};

// Every change the walk makes to a destination, in one place.
//
// The walk and the file operations decide what to change and say so on the
// console and in the log; the changes themselves go through one of these,
// chosen once per run: the real one, or the dry run's, which changes
// nothing and answers the walk's questions about the destination as the
// real run would have left it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/run.h"
#include "fileops/dest_dir.h"
#include "listing/filelist.h"

// How a copy ended, for its report: the error (none when it was put in
// place), whether it came while the destination was being opened (reported
// in another order) or while the source was read (reported under the
// source's path), whether it was reported already (a directory on the way
// could not be made), and the bytes moved.
struct copy_outcome_t {
    fs_error_t error;
    bool opening = false;
    bool reading = false;
    bool reported = false;
    std::uint64_t bytes = 0;
    // The copy put in place, still open: the caller hands it to hold.
    fs_out_t* committed = nullptr;
    // Not put in place, and to be made again: a copy made before it met a
    // full disk (copy_turn_t).
    bool abandoned = false;
    // Written whole and waiting for its turn to take its name, which
    // take_name gives it (`replace` as put_copy was told).
    fs_out_t* waiting = nullptr;
    bool replace = false;
};

// The turn of a copy made on a copy thread to take its name: only once
// every copy asked for before it has written all its data, so that a copy
// that meets a full disk can be made again as if each copy had been made in
// turn, with the copies after it not yet in place.
class copy_turn_t {
  public:
    enum turn_t { DROP = -1, LATER = 0, NOW = 1 };
    virtual ~copy_turn_t() = default;
    // The copy has written its data: whether it takes its name now, later
    // (take_name, once the copies before it have written theirs), or never.
    virtual turn_t take() = 0;
    // The copy met a full disk before its turn: whether it is to be made
    // again (and shows nothing more of this try).
    virtual bool again() = 0;
};

// Moves the data of `source` into `out`, as every copy does (holes stay
// holes, the kernel moves what it can, the calling thread's copy buffer
// `buffer` the rest, obtained when first needed); with `entry` the share
// done shows on the console.
copy_outcome_t transfer(run_t& run, copy_buffer_t& buffer, fs_file_t* source, fs_out_t* out,
                        const filelist_t* entry);

class dest_changes_t {
  public:
    virtual ~dest_changes_t() = default;

    // Before the walk: a dry run says so, and keeps no log.
    virtual void begin(run_t& run) = 0;
    // Takes the lock that keeps other runs off the destination operand
    // `dir`, as fs_lock_dir; a dry run needs none (-1).
    virtual int lock(fs_dir_t* dir) = 0;

    // Whether `name` is in `dir`, as the changes so far have left it; its
    // status when it is.
    virtual bool find(const dest_dir_t& dir, const char* name, fs_status_t* status) = 0;
    // Whether the directory at `path`, which cannot be opened, was made by
    // this run all the same (a dry run's): it is then walked as empty.
    virtual bool made(const char* path) = 0;

    // A directory at `path`, as the system makes one (the dated directory
    // and the directories of make_path).
    virtual fs_error_t make_dir(const char* path) = 0;
    // A new directory `name` in `parent`, private to its owner until
    // protect gives it its source's protection. False when it was not
    // made: `error` tells why, and stays none where `parent` itself is
    // missing (its failure was reported).
    virtual bool make_dir_at(dest_dir_t& parent, const char* name, fs_error_t* error) = 0;
    // Opens the directory `name` of `parent` as `child`, never through a
    // link; one that a dry run made is left missing, and walked as empty.
    // False, with `error`, when it cannot be opened.
    virtual bool open_dir_at(dest_dir_t& parent, const char* name, dest_dir_t& child, fs_id_t* id,
                             fs_error_t* error) = 0;
    // Gives the open directory `dir` the protection of `like`.
    virtual fs_error_t protect(dest_dir_t& dir, fs_dir_t* like) = 0;
    // Gives the file `copy` of `dir` (`path` on the console) the protection
    // of its source, the file `source` of `like_dir`, in place: nothing is
    // copied, shown or counted. A dry run changes nothing.
    virtual fs_error_t protect_file(run_t& run, dest_dir_t& dir, const filelist_t& copy, fs_dir_t* like_dir,
                                    const filelist_t& source, const char* path) = 0;

    // Removes the file `name` of `dir`; `path` names it on the console.
    virtual fs_error_t remove_file_at(fs_dir_t* dir, const char* name, const char* path) = 0;
    // Removes the directory `name` of `dir` (`path` names it), which the
    // run has emptied as far as it could (`emptied` false: something it
    // could not list or could not remove stays).
    virtual fs_error_t remove_dir_at(fs_dir_t* dir, const char* name, const char* path, bool emptied) = 0;
    // Tells that `name` of `dir` was removed, file or whole tree.
    virtual void removed(dest_dir_t& dir, const char* name) = 0;
    // Spells the entry `from` of `dir` as `to`, as fs_respell_at.
    virtual int respell_at(dest_dir_t& dir, const char* from, const char* to, fs_error_t* error) = 0;

    // Puts a copy of the open source file `source`, listed as `entry`, in
    // place of `name` in `dir` (`replace`: a file of that name is there),
    // moving its data through `buffer`, and taking the name in its `turn`
    // (nullptr: at once). The copy put in place stays open in the outcome,
    // for hold.
    virtual copy_outcome_t put_copy(run_t& run, copy_buffer_t& buffer, copy_turn_t* turn, dest_dir_t& dir,
                                    const char* name, const char* dst_path, fs_file_t* source,
                                    const filelist_t& entry, bool replace) = 0;
    // Takes the copy `out` that put_copy put in place (`bytes` of it, counted
    // as copied) to be made durable and given its source's time `mtime`;
    // `dst_path` names it in the reports of failures found later.
    virtual void hold(run_t& /*run*/, fs_out_t* /*out*/, const std::string& /*dst_path*/, fs_time_t /*mtime*/,
                      std::uint64_t /*bytes*/)
    {
    }
    // Whether put_copy may run on other threads than the walk's, several
    // at once, for directories that are open: it then touches nothing but
    // the files of its copy, and shows and logs only what the run's output
    // holds back for it.
    virtual bool apart() const { return false; }
    // Before the walk ends: every copy put in place is on stable storage
    // and carries its source's time, or was reported as not copied.
    virtual void settle(run_t& run) = 0;

    // What only the changes that keep versions (-k) do; the others keep
    // nothing, and remove as they are asked.
    //
    // Whether what leaves the destination is kept instead of lost: its
    // console lines say so.
    virtual bool keeps() const { return false; }
    // Whether a tree of the file system of `tree` (a directory's identity)
    // can leave the destination in one step, through remove_tree_at.
    virtual bool takes_whole(const fs_id_t& /*tree*/) { return false; }
    // Takes the tree `name` of `dir` (`path` names it), with everything it
    // holds, out of the destination in one step.
    virtual fs_error_t remove_tree_at(fs_dir_t* /*dir*/, const char* /*name*/, const char* /*path*/)
    {
        return fs_error_of(ERR_OTHER);
    }
    // Whether the directory `id` belongs to the run and not to the mirror
    // (the versions directory): never listed, changed or mirrored.
    virtual bool hides(const fs_id_t& /*id*/) const { return false; }
    // After a walk that ran, and its settling: what the run does with its
    // versions (their retention, -e).
    virtual void finish(run_t& /*run*/) {}

    // Says once per run, at the display level of the copies, that the
    // destination cannot keep all that guards its source's files (`path`,
    // the first file found so): their permission bits or owners. It is no
    // failure: the copy goes on, and grants no one more than its source.
    void tell_unkept(run_t& run, const char* path);

  private:
    bool told_unkept_ = false;
};

// What becomes of the old file that a complete copy is about to replace:
// with -k it is kept before the copy takes its name.
class replaced_keeper_t {
  public:
    virtual ~replaced_keeper_t() = default;
    // Keeps the old file `name` of `dir` (`dst_path` names it). A failure
    // keeps the copy from replacing it. `replace` tells afterwards whether
    // the old file is still under its name.
    virtual fs_error_t keep_replaced(dest_dir_t& dir, const char* name, const char* dst_path, bool* replace) = 0;
    // The copy could not take the name after all: what keep_replaced moved
    // away goes back, and what it copied is dropped.
    virtual void unkeep_replaced(dest_dir_t& dir, const char* name, const char* dst_path) = 0;
};

// Puts in place the copy that put_copy left waiting for its turn
// (`outcome.waiting`), as put_copy would have: the outcome then tells how.
copy_outcome_t take_name(copy_outcome_t outcome);

// The changes of a run with `settings`: the dry run's with -s, the real
// ones otherwise, and with -k the changes that keep versions on top of
// either, for the destination operand `dst`.
std::unique_ptr<dest_changes_t> make_dest_changes(const run_settings_t& settings, const char* dst = "");

// The real changes, whose replaced files go to `keeper` first (nullptr:
// they are simply replaced); and the dry run's.
std::unique_ptr<dest_changes_t> make_real_changes(replaced_keeper_t* keeper);
std::unique_ptr<dest_changes_t> make_dry_changes();

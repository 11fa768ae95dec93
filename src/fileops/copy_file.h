// Copying one file.
#pragma once

#include <string>

#include "core/run.h"
#include "fileops/dest_dir.h"
#include "listing/filelist.h"

class dest_changes_t;

// Makes the file `entry` names in `dst_dir` a copy of the one it names in
// `src_dir` (the two paths name them on the console and in the log),
// through `changes`: the same bytes with the same holes, the same exact
// last-write time, and the source's protection as it is when opened (a
// read-only source gives a copy without write permission). The data moves
// in chunks of the run's buffer size, inside the kernel where it can and
// through the copy buffer otherwise, into a hidden file beside the
// destination that replaces the old file only when complete, so a failed
// copy leaves the previous destination as it was. Only a regular file is
// replaced, and never the run's own log.
//
// Prints the "Da" and "A" lines and the running percentage at verbosity 1 or
// more. With needed_dirs_only, missing directories on the way to the
// destination are created and the creation is tried once more. The dry
// run's changes move no data, so it shows the lines without the figures;
// it opens the source and looks at the destination as the copy would, and
// counts the file and its listed size as copied.
//
// The copy is put in place carrying UNFINISHED_COPY_TIME and gets its
// source's time once its data is durable (durable.h): the walk settles the
// changes before it ends.
//
// Returns 0 when copied, 1 when the transfer failed (reading, writing or
// putting the copy in place), 2 when either file could not be opened. Every
// failure is reported with an error line and a log record. Counts
// files_copied and bytes_copied on success only; the caller counts failures.
int copy_file(run_t& run, dest_changes_t& changes, const filelist_t* entry, fs_dir_t* src_dir, const char* src_path,
              dest_dir_t* dst_dir, const char* dst_path);

// copy_file in two steps, for copies made on other threads than the walk's.
// make_copy makes the copy through `buffer`, the calling thread's copy
// buffer, taking its name in its `turn` (nullptr: at once), and shows and
// reports what copy_file does; how it went is left in `made`, and a copy
// made (0) is for count_copy to count and hand over to be made durable on
// the walk's thread, in the walk's order. 3: the copy was abandoned in its
// turn, and nothing it showed counts. 4: the copy waits for its turn to
// take its name (made->waiting); take_name then puts it in place, and
// end_copy shows and reports the rest, giving what make_copy would have.
struct copy_outcome_t;
class copy_turn_t;
int make_copy(run_t& run, dest_changes_t& changes, copy_buffer_t& buffer, copy_turn_t* turn, const filelist_t* entry,
              fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir, const char* dst_path, copy_outcome_t* made);
int end_copy(run_t& run, const copy_outcome_t& outcome, const char* src_path, const char* dst_path);
void count_copy(run_t& run, dest_changes_t& changes, const filelist_t* entry, const std::string& dst_path,
                const copy_outcome_t& made);

// The "Da" line for a file of `size` bytes: in KB from 100000 bytes on.
void show_copy_source(const run_t& run, const char* src_path, std::uint64_t size);

// The percentage shown after `done` of `size` listed bytes.
unsigned long copy_percent(std::uint64_t done, std::uint64_t size);

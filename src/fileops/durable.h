// Copies waiting to be made durable before they carry their source's time.
//
// A copy is put in place under its name carrying UNFINISHED_COPY_TIME and
// stays open in a batch. A full batch is made durable (its data, in one flush
// per file system where the system can) on a thread of its own while the walk
// goes on copying; then each copy gets its source's time, which the next
// flush makes durable too, and is closed. A crash or an interrupt at any
// moment thus leaves copies that carry either the placeholder or a time
// whose data is on stable storage: never a file that looks up to date and
// is not.
#pragma once

#include <cstdint>
#include <string>

#include "core/run.h"
#include "platform/platform.h"

// The last-write time of a copy until its data is durable: a moment that
// every file system can store (FAT's local times in two-second steps
// included, in any zone) and that real files practically never carry,
// 1980-01-02 12:00:00 UTC.
inline constexpr fs_time_t UNFINISHED_COPY_TIME = {315662400, 0};

// Whether a listed destination time is that of a copy never made durable,
// which no copy mode takes as up to date.
bool unfinished_copy_time(std::int64_t sec);

// The copies of a run that wait to be made durable, in batches.
struct copy_batches_t;

// New batches, empty.
copy_batches_t* new_copy_batches();

// Waits for a flush under way and closes every copy still held without a
// word (settle_copies reports them), then frees the batches.
void delete_copy_batches(copy_batches_t* batches);

// Takes a copy just put in place (fs_commit succeeded; it carries the
// placeholder time and was counted as copied, `bytes` of it) into the batch
// under way; `mtime` is its source's time and `dst_path` names it in reports.
// A full batch is sent to be made durable.
void hold_copy(run_t& run, copy_batches_t& batches, fs_out_t* out, const std::string& dst_path, fs_time_t mtime,
               std::uint64_t bytes);

// Makes every copy held so far durable, gives each its source's time, makes
// those times durable too and closes the copies. The walk has it done
// before it ends. A copy that could not be made durable (or whose closing
// reported a write error) keeps the placeholder time, is reported with an
// error line naming its destination and a log record, and moves from
// files_copied and bytes_copied to files_not_copied; so are those of
// earlier batches, as their flushes end. Returns the number of such copies
// since the last call.
std::uint64_t settle_copies(run_t& run, copy_batches_t& batches);

// Copying one file.
#pragma once

#include <cstdint>

#include "fileops/dest_dir.h"
#include "listing/filelist.h"

// Makes the file `entry` names in `dst_dir` a copy of the one it names in
// `src_dir` (the two paths name them on the console and in the log): the
// same bytes with the same holes, the same exact last-write time, and the
// source's protection as it is when opened (a read-only source gives a copy
// without write permission). The data moves in chunks of buffer_size, inside the kernel
// where it can and through copy_buffer otherwise, into a hidden file beside
// the destination that replaces the old file only when complete, so a
// failed copy leaves the previous destination as it was. Only a regular
// file is replaced, and never the run's own log.
//
// Prints the "Da" and "A" lines and the running percentage at verbosity 1 or
// more. With needed_dirs_only, missing directories on the way to the
// destination are created and the creation is tried once more.
//
// A dry run shows the lines without the figures and copies nothing; it
// opens the source and looks at the destination as the copy would, and
// counts the file and its listed size as copied.
//
// The copy is put in place carrying UNFINISHED_COPY_TIME and joins a batch
// of copies that settle_copies makes durable, once the batch is full or when
// the walk ends, before giving each its source's time.
//
// Returns 0 when copied, 1 when the transfer failed (reading, writing or
// putting the copy in place), 2 when either file could not be opened. Every
// failure is reported with an error line and a log record. Counts
// files_copied and bytes_copied on success only; the caller counts failures.
int copy_file(const filelist_t* entry, fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir,
              const char* dst_path);

// Makes the batch of copies put in place since the last call durable on
// stable storage, then gives each its source's time and makes those times
// durable too. A copy that could not be made durable keeps the placeholder
// time, is reported (error line with the destination path, then a log
// record) and moves from files_copied and bytes_copied to files_not_copied.
// Returns the number of such copies. The walk calls it before it ends.
std::uint64_t settle_copies();

// The last-write time of a copy until its data is durable: a moment that
// every file system can store (FAT's local times in two-second steps
// included, in any zone) and that real files practically never carry,
// 1980-01-02 12:00:00 UTC.
inline constexpr fs_time_t UNFINISHED_COPY_TIME = {315662400, 0};

// Whether a listed destination time is that of a copy never made durable,
// which no copy mode takes as up to date.
bool unfinished_copy_time(std::int64_t sec);

// The "Da" line for a file of `size` bytes: in KB from 100000 bytes on.
void show_copy_source(const char* src_path, std::uint64_t size);

// The percentage shown after `done` of `size` listed bytes.
unsigned long copy_percent(std::uint64_t done, std::uint64_t size);

// Copying one file.
#pragma once

#include "listing/filelist.h"

// Makes `dst_path` a copy of `src_path`: the same bytes, the same last-write
// time and the permission bits of `entry` (a read-only entry gives a copy
// without write permission). The data moves in chunks of buffer_size, inside
// the kernel where it can and through copy_buffer otherwise, into a hidden
// file beside the destination that replaces the old file only when complete,
// so a failed copy leaves the previous destination as it was.
//
// Prints the "Da" and "A" lines and the running percentage at verbosity 1 or
// more. With needed_dirs_only, missing directories on the way to the
// destination are created and the creation is tried once more.
//
// Returns 0 when copied, 1 when the transfer failed (reading, writing or
// putting the copy in place), 2 when either file could not be opened. Every
// failure is reported with an error line and a log record. Counts
// files_copied and bytes_copied on success only; the caller counts failures.
int copy_file(const filelist_t* entry, const char* src_path, const char* dst_path);

// The "Da" line for a file of `size` bytes: in KB from 100000 bytes on.
void show_copy_source(const char* src_path, std::uint64_t size);

// The percentage shown after `done` of `size` listed bytes.
unsigned long copy_percent(std::uint64_t done, std::uint64_t size);

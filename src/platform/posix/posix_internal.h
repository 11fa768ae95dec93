// Shared by the files of the POSIX layer, and by nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "platform/platform.h"

// Each file fills the fields of the record that it supplies.
void posix_fill_dirs(platform_t* record);
void posix_fill_paths(platform_t* record);
void posix_fill_copy(platform_t* record);
void posix_fill_text(platform_t* record);
void posix_fill_console(platform_t* record);
void posix_fill_process(platform_t* record);

// The descriptor of an open directory (AT_FDCWD for nullptr).
int posix_dir_fd(const fs_dir_t* dir);

// The device of the file system `dir` is on, as the files made in it have
// it; false when it cannot be told.
bool posix_dir_device(fs_dir_t* dir, dev_t* device);

// Whether the file system of `dir` may set the time of a written file
// after the program has set it (FUSE drivers, SMB clients).
bool posix_dir_remote(fs_dir_t* dir);

// Whether closing a file written in `dir` never reports a write error
// (local file systems that write nothing then).
bool posix_dir_closes_quietly(fs_dir_t* dir);

// Whether the run may give files and directories their source's owner.
bool posix_privileged();

// Remembers the hidden file of the copy in progress (`name` in the
// directory `dir_fd`; nullptr: none), so that an interrupt can remove it.
// Safe to read from a signal handler.
void posix_note_pending_temp(int dir_fd, const char* name);

// Writes all of `count` bytes, retrying after interrupts; the count
// written, which is short only when the device took no more, or -1.
std::int64_t posix_write_all(int fd, const void* buffer, std::uint64_t count);

// Reads up to `count` bytes, retrying after interrupts.
std::int64_t posix_read_some(int fd, void* buffer, std::uint64_t count);

// Writes out what standard output holds.
void posix_flush_output();

// Shared by the files of the POSIX layer, and by nothing else.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/platform.h"

// Each file fills the fields of the record that it supplies.
void posix_fill_listing(platform_t* record);
void posix_fill_paths(platform_t* record);
void posix_fill_copy(platform_t* record);
void posix_fill_text(platform_t* record);
void posix_fill_console(platform_t* record);
void posix_fill_process(platform_t* record);

// Remembers the hidden file of the copy in progress (nullptr: none), so that
// an interrupt can remove it. Safe to read from a signal handler.
void posix_note_pending_temp(const char* path);

// Writes all of `count` bytes, retrying after interrupts; the count
// written, which is short only when the device took no more, or -1.
std::int64_t posix_write_all(int fd, const void* buffer, std::uint64_t count);

// Reads up to `count` bytes, retrying after interrupts.
std::int64_t posix_read_some(int fd, void* buffer, std::uint64_t count);

// The calendar time that a DOS date and time name in local time; -1 when the
// fields do not form a moment (month 0, say).
std::time_t time_from_dos(std::uint16_t date, std::uint16_t time);

// Writes out what standard output holds.
void posix_flush_output();

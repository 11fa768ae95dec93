// Shared by the files of the Windows layer, and by nothing else.
//
// The layer speaks the wide-character Win32 and native API throughout;
// inside the program names and paths are UTF-8 text, converted here at the
// boundary. Everything done in a directory goes through the handle of that
// directory and a name in it (the native API's relative opens), so that no
// path grows too long and no link put in place of a listed directory is
// ever followed.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Each file fills the fields of the record that it supplies.
void win_fill_dirs(platform_t* record);
void win_fill_paths(platform_t* record);
void win_fill_copy(platform_t* record);
void win_fill_text(platform_t* record);
void win_fill_console(platform_t* record);
void win_fill_process(platform_t* record);

// --- Text -------------------------------------------------------------------

// UTF-16 to UTF-8, and back. A name that is not valid UTF-16 (an unpaired
// surrogate, which NTFS allows) keeps every unit: a lone surrogate becomes
// its three-byte generalized UTF-8 form, which win_wide turns back into the
// same unit. Bytes that are no UTF-8 at all become U+FFFD.
std::string win_narrow(const wchar_t* text, std::size_t count);
std::string win_narrow(const std::wstring& text);
std::wstring win_wide(const char* text, std::size_t count);
std::wstring win_wide(const char* text);

// --- Errors -------------------------------------------------------------------

// The layer keeps the last error itself: the C library and successful
// system calls may change the thread's own one between a failure and its
// report.
int win_error();
void win_set_error(int code);
// Takes the thread's last error (GetLastError) as the layer's; returns -1.
int win_fail();
// Takes a native status as the layer's last error; returns -1.
int win_fail_status(NTSTATUS status);

// The codes the layer gives to conditions that Windows has no error for.
inline constexpr int WIN_ERROR_IS_DIR = 336;                             // ERROR_DIRECTORY_NOT_SUPPORTED
inline constexpr int WIN_ERROR_IS_LINK = 681;                            // ERROR_STOPPED_ON_SYMLINK

// --- Paths --------------------------------------------------------------------

// The full \\?\ form of `path` (drive-relative, relative, UNC and \\?\ forms
// alike), which no length limit applies to; empty, with the error set, when
// it cannot be made.
std::wstring win_full_path(const char* path);

// The length of the part of `path` that names no directory to create.
std::size_t win_root_length(const char* path);

// --- Files and directories ------------------------------------------------

// The attribute bits a copy carries from its source: what "protection"
// means on Windows.
inline constexpr DWORD WIN_CARRIED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What a handle tells about the file it is open on.
struct win_info_t {
    DWORD attributes;
    DWORD reparse_tag;        // 0 unless a reparse point
    fs_id_t id;
    std::uint64_t size;
    FILETIME write_time;
};
bool win_query(HANDLE handle, win_info_t* info);

// Closes a handle after a failure, keeping the failure's error code.
void win_close_keeping_error(HANDLE handle);

// What a status query tells of it; `followed`: links were followed to it.
void win_fill_status(const win_info_t& info, fs_status_t* status, bool followed);

// A reparse point that stands for another name (a symbolic link, a junction,
// a mount point): never followed, listed, copied or removed.
bool win_is_name_surrogate(DWORD attributes, DWORD reparse_tag);

// Opens `name` relative to the open directory `root` (nullptr: `name` is an
// NT path) with the native API. Returns the status; *handle is set on
// success. `options` are the native create options; synchronous I/O is
// always added.
NTSTATUS win_open_at(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                     ULONG options, ULONG attributes, HANDLE* handle);

// The handle of an open directory (nullptr for nullptr).
HANDLE win_dir_handle(const fs_dir_t* dir);

// Sets the delete disposition of an open file. With `ignore_read_only` a
// read-only file is deleted too (on older systems its attribute is cleared
// first). Returns true when done.
bool win_set_delete(HANDLE handle, bool remove, bool ignore_read_only);

// Sets the attribute bits of an open file; 0 stands for none.
bool win_set_attributes(HANDLE handle, DWORD attributes);

// The FILETIME of an exact time, and back.
FILETIME win_filetime(fs_time_t when);
fs_time_t win_fs_time(FILETIME when);

// --- Process ------------------------------------------------------------------

// Remembers the hidden file of the calling thread's copy in progress, so
// that a console interrupt can remove it; each thread that copies has a
// note of its own. win_forget_pending_temp takes the note of a file back,
// whichever thread made it, before its handle goes. The file was created
// delete-pending, so it goes with the process however that ends.
// commit_begin/commit_end hold off the interrupt while a hidden file is
// being made and noted, put in place, or dropped and closed: copies on
// several threads hold it off at once, and none holds it off twice.
void win_note_pending_temp(HANDLE file);
void win_forget_pending_temp(HANDLE file);
void win_commit_begin();
void win_commit_end();

// Calls `visit` with every hidden file noted by any thread.
void win_each_pending_temp(void (*visit)(HANDLE file, void* context), void* context);

// What the console interrupt does (Ctrl+C, Ctrl+Break, the console closed,
// a shutdown): drops the pending hidden files and ends the process with exit
// code 1. A user logging off is no interrupt: true, and the run goes on.
// Returns false for events it leaves to the system.
BOOL WINAPI win_console_event(DWORD event);

// Writes out what standard output holds.
void win_flush_output();

// Writes all of `count` bytes to a file handle; the count written, which
// is short only when the device took no more, or -1.
std::int64_t win_write_all(HANDLE handle, const void* buffer, std::uint64_t count);

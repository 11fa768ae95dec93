// The copy transaction of the Windows layer: the new data goes into a
// hidden ".calvento-<pid>-<n>.tmp" beside the destination, which the
// leading dot keeps out of every listing, and which takes the destination's
// name only when complete. Every name is taken relative to the handle of its
// directory.
//
// The hidden file is marked for deletion from the moment it is created and
// stays so until it is put in place: however the process ends (an
// interrupt, a console closed, the process killed), the system removes it
// when its handle goes, and the old destination file is never touched.
//
// A file put in place stays open until its batch of copies has been made
// durable and has been given its time: with one FlushFileBuffers of its
// whole volume where the run may open the volume (an administrator's), and
// file by file otherwise.
//
// The data goes through the copy buffer: copy_range is refused, because the
// system's own copy functions would bypass the per-file figures the run
// shows and the hidden temporary file; sparse files are copied whole (their
// holes as zeros), as skip_hole reports no hole.
#include "platform/windows/windows_internal.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

struct fs_file_t {
    HANDLE handle;
    DWORD attributes;              // as it was opened
};

struct fs_out_t {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE dir = nullptr;          // the directory it will be named in
    std::wstring name;             // and its name there
    DWORD attributes = 0;          // the attribute bits it takes once complete
    bool pending = true;           // marked for deletion
    std::wstring volume;           // \\?\Volume{...} of the file once put in place; empty: not known
};

namespace {

constexpr NTSTATUS STATUS_ACCESS_DENIED_ = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY_ = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION_ = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS STATUS_DELETE_PENDING_ = static_cast<NTSTATUS>(0xC0000056);
constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD CHUNK_LIMIT = 1u << 30;

fs_file_t* win_open_read_at(fs_dir_t* dir, const char* name)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    const ACCESS_MASK access = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | FILE_OPEN_FOR_BACKUP_INTENT;
    std::wstring wide = win_wide(name);
    HANDLE root = win_dir_handle(dir);
    if (root == nullptr) {
        wide = win_full_path(name);
        if (wide.empty())
            return nullptr;
        wide.replace(0, 4, L"\\??\\");   // the native form of \\?\ .
    }
    NTSTATUS status =
        win_open_at(root, wide, access, SHARE_ALL, FILE_OPEN, options | FILE_OPEN_REPARSE_POINT, 0, &handle);
    if (status == STATUS_FILE_IS_A_DIRECTORY_) {
        win_set_error(ERROR_FILE_NOT_FOUND);   // anything but a file counts as the file gone
        return nullptr;
    }
    if (status != 0) {
        win_fail_status(status);
        return nullptr;
    }
    win_info_t info;
    if (!win_query(handle, &info)) {
        win_close_keeping_error(handle);
        return nullptr;
    }
    if (win_is_name_surrogate(info.attributes, info.reparse_tag)) {
        CloseHandle(handle);
        win_set_error(WIN_ERROR_IS_LINK);
        return nullptr;
    }
    if (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Deduplicated files and placeholders of cloud stores are ordinary
        // files: opened again, so that their file system driver serves them.
        HANDLE plain = INVALID_HANDLE_VALUE;
        status = win_open_at(handle, std::wstring(), access, SHARE_ALL, FILE_OPEN, options, 0, &plain);
        CloseHandle(handle);
        if (status != 0) {
            win_fail_status(status);
            return nullptr;
        }
        handle = plain;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        win_set_error(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return new fs_file_t{handle, info.attributes};
}

std::int64_t win_read(fs_file_t* file, void* buffer, std::uint64_t count)
{
    DWORD got = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::uint64_t>(count, CHUNK_LIMIT));
    if (!ReadFile(file->handle, buffer, asked, &got, nullptr)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        return win_fail();
    }
    return got;
}

void win_close_read(fs_file_t* file)
{
    const int saved = win_error();
    CloseHandle(file->handle);
    delete file;
    win_set_error(saved);
}

// The time is asked of the open file: it cannot have changed name since.
fs_time_t win_file_mtime(fs_file_t* file)
{
    FILETIME written{};
    GetFileTime(file->handle, nullptr, nullptr, &written);
    return win_fs_time(written);
}

// Marks an open file for deletion when its handle goes, or takes the mark
// back; the name stays meanwhile, and the mark can be taken back.
bool set_pending(HANDLE handle, bool pending)
{
    IO_STATUS_BLOCK io{};
    BOOLEAN flag = pending ? TRUE : FALSE;
    const NTSTATUS status =
        NtSetInformationFile(handle, &io, &flag, sizeof flag, static_cast<FILE_INFORMATION_CLASS>(13));
    if (status != 0) {
        win_fail_status(status);
        return false;
    }
    return true;
}

// The numbers are the process's own, one after the other: copies made at
// once in one directory each try a name of their own first, and no copy
// tries the name of a hidden file that is dropped but still open elsewhere
// (a scanner reading it keeps its name until it lets go).
std::wstring hidden_name()
{
    static std::atomic<unsigned> next{0};
    static const DWORD pid = GetCurrentProcessId();
    wchar_t name[64];
    swprintf(name, 64, L".calvento-%lu-%u.tmp", static_cast<unsigned long>(pid), next++);
    return name;
}

fs_out_t* win_create_temp_at(fs_dir_t* dir, const char* name, fs_file_t* like)
{
    if (dir == nullptr) {
        win_set_error(ERROR_PATH_NOT_FOUND);   // the destination directory does not exist
        return nullptr;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    NTSTATUS status = 0;
    const ACCESS_MASK access = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                               DELETE | SYNCHRONIZE;
    // An interrupt waits until the file made is marked and noted. A name
    // whose file is marked for deletion and still open is taken as well.
    win_commit_begin();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        status = win_open_at(win_dir_handle(dir), hidden_name(), access, 0, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, FILE_ATTRIBUTE_HIDDEN, &handle);
        if (status != STATUS_OBJECT_NAME_COLLISION_ && status != STATUS_DELETE_PENDING_)
            break;
    }
    if (status != 0) {
        win_commit_end();
        win_fail_status(status);
        return nullptr;
    }
    if (!set_pending(handle, true)) {
        win_close_keeping_error(handle);
        win_commit_end();
        return nullptr;
    }
    win_note_pending_temp(handle);
    win_commit_end();
    fs_out_t* out = new fs_out_t;
    out->handle = handle;
    out->dir = win_dir_handle(dir);
    out->name = win_wide(name);
    out->attributes = like->attributes & WIN_CARRIED_ATTRIBUTES;   // read-only stays read-only
    return out;
}

std::int64_t win_write(fs_out_t* out, const void* buffer, std::uint64_t count)
{
    return win_write_all(out->handle, buffer, count);
}

std::int64_t win_copy_range(fs_file_t*, fs_out_t*, std::uint64_t)
{
    win_set_error(ERROR_NOT_SUPPORTED);
    return -1;
}

std::int64_t win_skip_hole(fs_file_t*, fs_out_t*, std::uint64_t count, std::uint64_t* data)
{
    *data = count;
    return 0;
}

// Windows keeps a time set through a handle: later writes through it, and
// its closing, leave it as it was set.
int win_set_times(fs_out_t* out, fs_time_t mtime)
{
    const FILETIME when = win_filetime(mtime);
    return SetFileTime(out->handle, nullptr, nullptr, &when) ? 0 : win_fail();
}

// Renames the open file to `name` in `dir`, replacing a file of that name.
bool rename_into(HANDLE handle, HANDLE dir, const std::wstring& name)
{
    static std::atomic<bool> extended{true};   // one answer for the run, whichever thread asks first
    std::vector<char> block(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(block.data());
    info->RootDirectory = dir;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = 0;
    if (extended) {
        // Replace, with POSIX semantics, whatever the read-only attribute of
        // the file replaced (from Windows 10 1809 on).
        *reinterpret_cast<ULONG*>(block.data()) = 0x1 | 0x2 | 0x40;
        status = NtSetInformationFile(handle, &io, info, static_cast<ULONG>(block.size()),
                                      static_cast<FILE_INFORMATION_CLASS>(65));
        if (status == 0)
            return true;
        if (status == static_cast<NTSTATUS>(0xC0000003) || status == static_cast<NTSTATUS>(0xC0000002))
            extended = false;   // not known here
        else if (status != static_cast<NTSTATUS>(0xC000000D) && status != static_cast<NTSTATUS>(0xC00000BB)) {
            win_fail_status(status);
            return false;
        }
    }
    *reinterpret_cast<ULONG*>(block.data()) = 0;
    info->ReplaceIfExists = TRUE;
    status = NtSetInformationFile(handle, &io, info, static_cast<ULONG>(block.size()), FileRenameInformation);
    if (status == STATUS_ACCESS_DENIED_) {
        // A read-only file is replaced only once its attribute is cleared;
        // it gets it back when the replacement fails after all.
        HANDLE old = INVALID_HANDLE_VALUE;
        win_info_t before;
        if (win_open_at(dir, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, 0, &old) == 0) {
            if (win_query(old, &before) && (before.attributes & FILE_ATTRIBUTE_READONLY) &&
                win_set_attributes(old, before.attributes & ~FILE_ATTRIBUTE_READONLY)) {
                status =
                    NtSetInformationFile(handle, &io, info, static_cast<ULONG>(block.size()), FileRenameInformation);
                if (status != 0)
                    win_set_attributes(old, before.attributes);
            }
            CloseHandle(old);
        }
    }
    if (status != 0) {
        win_fail_status(status);
        return false;
    }
    return true;
}

// Drops an unfinished or refused copy: it loses any read-only attribute it
// was given, so that the deletion mark holds, and goes when its handle is
// closed. The last error stays. `held`: the caller holds off the interrupt
// already; otherwise this does, until the handle it noted is closed.
void release(fs_out_t* out, bool held = false)
{
    const int saved = win_error();
    if (!held)
        win_commit_begin();
    win_set_attributes(out->handle, FILE_ATTRIBUTE_HIDDEN);
    set_pending(out->handle, true);
    win_forget_pending_temp(out->handle);
    CloseHandle(out->handle);
    if (!held)
        win_commit_end();
    delete out;
    win_set_error(saved);
}

// The attribute bits, all that a copy carries here, are given at the
// commit: nothing that a write would take away.
int win_protect_out(fs_out_t*, fs_file_t*)
{
    return 0;
}

int win_commit(fs_out_t* out, bool)
{
    // The attribute bits after the data, which would set the archive bit
    // again; then the name, replacing the old file in one step.
    if (!win_set_attributes(out->handle, out->attributes)) {
        release(out);
        return -1;
    }
    win_commit_begin();
    bool done = set_pending(out->handle, false) && rename_into(out->handle, out->dir, out->name);
    if (!done) {
        release(out, true);
        win_commit_end();
        return -1;
    }
    win_forget_pending_temp(out->handle);
    win_commit_end();
    return 0;
}

// The volumes met so far, with a handle on each that may flush it whole, or
// INVALID_HANDLE_VALUE where the run may not; they stay open for the run.
// Batches of copies may be flushed on more than one thread.
struct volume_t {
    std::wstring name;
    HANDLE handle;
};
std::mutex volumes_guard;
std::vector<volume_t> volumes;

// The volume a file is on, as \\?\Volume{...}; empty when it cannot be told.
std::wstring volume_of(HANDLE file)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                                       VOLUME_NAME_GUID | FILE_NAME_OPENED);
        if (length == 0)
            return std::wstring();
        if (length < path.size())
            break;
        path.resize(length + 1);
    }
    const std::wstring full(path.data());
    const std::size_t end = full.find(L'\\', 4);
    if (full.rfind(L"\\\\?\\Volume{", 0) != 0 || end == std::wstring::npos)
        return std::wstring();
    return full.substr(0, end);
}

// A handle that flushes the whole volume `name`, or INVALID_HANDLE_VALUE.
HANDLE volume_handle(const std::wstring& name)
{
    const std::lock_guard<std::mutex> lock(volumes_guard);
    for (const volume_t& volume : volumes) {
        if (volume.name == name)
            return volume.handle;
    }
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    volumes.push_back({name, handle});
    return handle;
}

// Flushes one file; 0 or its error. A file system that has no flush to
// offer writes through already.
int flush_file(HANDLE handle)
{
    if (FlushFileBuffers(handle))
        return 0;
    win_fail();
    if (win_error() == ERROR_INVALID_FUNCTION || win_error() == ERROR_NOT_SUPPORTED)
        return 0;
    return win_error();
}

std::size_t win_flush_outs(fs_out_t* const* outs, std::size_t count, int* errors, unsigned /*threads*/,
                           bool* one_by_one)
{
    // Each volume is flushed once where it may be, before its files are
    // flushed one by one where it may not.
    struct flushed_t {
        std::wstring name;
        bool done;
    };
    std::vector<flushed_t> flushed;
    std::size_t failed = 0;
    bool alone = false;
    for (std::size_t i = 0; i < count; ++i) {
        fs_out_t* out = outs[i];
        if (out->volume.empty())
            out->volume = volume_of(out->handle);
        bool done = false;
        if (!out->volume.empty()) {
            auto found = std::find_if(flushed.begin(), flushed.end(),
                                      [&](const flushed_t& f) { return f.name == out->volume; });
            if (found == flushed.end()) {
                const HANDLE volume = volume_handle(out->volume);
                found = flushed.insert(flushed.end(),
                                       {out->volume, volume != INVALID_HANDLE_VALUE && FlushFileBuffers(volume)});
            }
            done = found->done;
        }
        errors[i] = done ? 0 : flush_file(out->handle);
        failed += errors[i] != 0;
        alone = alone || !done;
    }
    if (one_by_one != nullptr)
        *one_by_one = alone;
    return failed;
}

int win_close_out(fs_out_t* out)
{
    const bool closed = CloseHandle(out->handle);
    if (!closed)
        win_fail();
    delete out;
    return closed ? 0 : -1;
}

// Handles are bounded only by memory.
std::size_t win_open_outs_limit()
{
    return std::size_t{1} << 20;
}

void win_discard(fs_out_t* out)
{
    release(out);
}

}  // namespace

std::int64_t win_write_all(HANDLE handle, const void* buffer, std::uint64_t count)
{
    std::uint64_t done = 0;
    const char* bytes = static_cast<const char*>(buffer);
    while (done < count) {
        DWORD put = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::uint64_t>(count - done, CHUNK_LIMIT));
        if (!WriteFile(handle, bytes + done, asked, &put, nullptr))
            return done > 0 && GetLastError() == ERROR_DISK_FULL ? static_cast<std::int64_t>(done) : win_fail();
        if (put == 0)
            break;
        done += put;
    }
    return static_cast<std::int64_t>(done);
}

void win_fill_copy(platform_t* record)
{
    record->open_read_at = win_open_read_at;
    record->read = win_read;
    record->close_read = win_close_read;
    record->file_mtime = win_file_mtime;
    record->create_temp_at = win_create_temp_at;
    record->protect_out = win_protect_out;
    record->write = win_write;
    record->copy_range = win_copy_range;
    record->skip_hole = win_skip_hole;
    record->set_times = win_set_times;
    record->commit = win_commit;
    record->flush_outs = win_flush_outs;
    record->close_out = win_close_out;
    record->open_outs_limit = win_open_outs_limit;
    record->discard = win_discard;
}

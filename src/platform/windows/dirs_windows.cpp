// Directories of the Windows layer: opened one name at a time relative to
// their parent's handle without following links, listed straight from that
// handle (one native query returns many entries with their attributes,
// times, sizes and file IDs, so no entry needs a query of its own), and
// everything done in them relative to their handle.
#include "platform/windows/windows_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc, PVOID apc_context,
                                               PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS information_class, BOOLEAN single,
                                               PUNICODE_STRING mask, BOOLEAN restart);

namespace {

constexpr NTSTATUS STATUS_NO_MORE_FILES_ = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY_ = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS STATUS_ACCESS_DENIED_ = static_cast<NTSTATUS>(0xC0000022);
constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a directory is opened with: to be listed and walked through, or,
// where listing is refused, only walked through (its listing then fails and
// is reported as such).
constexpr ACCESS_MASK LIST_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK WALK_ACCESS = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

constexpr std::size_t LISTING_BUFFER = 65536;

}  // namespace

struct fs_dir_t {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool listable = true;
    std::uint64_t volume = 0;      // the serial number its entries share
    // The listing under way: raw entries read and not yet delivered.
    char* entries = nullptr;
    std::size_t at = 0;            // offset of the next entry; filled when none is left
    std::size_t filled = 0;
    bool restart = true;
    // The entry last delivered, for dir_details.
    DWORD attributes = 0;
    std::uint64_t file_id = 0;
    std::uint64_t size = 0;
    FILETIME write_time{};
    std::uint64_t passed_over = 0;   // entries the listing did not deliver (links, devices)
    // The lock that makes it a destination in use, while it is held.
    HANDLE lock = INVALID_HANDLE_VALUE;
};

namespace {

NTSTATUS open_dir_at(HANDLE root, const std::wstring& name, bool follow, HANDLE* handle, bool* listable)
{
    const ULONG options = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
    NTSTATUS status = win_open_at(root, name, LIST_ACCESS, SHARE_ALL, FILE_OPEN, options, 0, handle);
    *listable = true;
    if (status == STATUS_ACCESS_DENIED_) {
        status = win_open_at(root, name, WALK_ACCESS, SHARE_ALL, FILE_OPEN, options, 0, handle);
        if (status != 0)
            status = STATUS_ACCESS_DENIED_;
        else
            *listable = false;
    }
    return status;
}

// Opens the full path `path` as a directory.
HANDLE open_dir_path(const std::wstring& path, bool follow, bool* listable)
{
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    *listable = true;
    HANDLE handle = CreateFileW(path.c_str(), LIST_ACCESS, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = CreateFileW(path.c_str(), WALK_ACCESS, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            SetLastError(ERROR_ACCESS_DENIED);
        else
            *listable = false;
    }
    if (handle == INVALID_HANDLE_VALUE)
        win_fail();
    return handle;
}

// The path of what `handle` is open on, as the system names it with every
// link resolved, its volume named as `volume_name` asks (VOLUME_NAME_*);
// empty, with the error set, when the system cannot tell.
std::wstring final_path(HANDLE handle, DWORD volume_name)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | volume_name);
        if (length == 0) {
            win_fail();
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

// The directory above the one `handle` is open on, as the system names it
// with every link resolved; the root is its own parent.
std::wstring parent_path(HANDLE handle)
{
    std::wstring path = final_path(handle, VOLUME_NAME_DOS);
    if (path.empty())
        return {};
    const std::size_t root = win_root_length(win_narrow(path).c_str());
    while (path.size() > root && path.back() == L'\\')
        path.pop_back();
    const std::size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos || cut + 1 < root)
        return path;
    path.resize(cut + 1 > root ? cut : cut + 1);
    return path;
}

fs_dir_t* win_dir_open(fs_dir_t* base, const char* path, bool follow, fs_id_t* id)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool listable = true;
    const bool self = base != nullptr && (std::strcmp(path, ".") == 0 || *path == '\0');
    const bool parent = base != nullptr && std::strcmp(path, "..") == 0;
    if (base == nullptr || parent) {
        const std::wstring full = base == nullptr ? win_full_path(path) : parent_path(base->handle);
        if (full.empty())
            return nullptr;
        handle = open_dir_path(full, follow, &listable);
        if (handle == INVALID_HANDLE_VALUE)
            return nullptr;
    } else {
        std::wstring name = self ? std::wstring() : win_wide(path);
        for (wchar_t& c : name) {
            if (c == L'/')
                c = L'\\';
        }
        const NTSTATUS status = open_dir_at(base->handle, name, follow, &handle, &listable);
        if (status != 0) {
            win_fail_status(status);
            return nullptr;
        }
    }
    win_info_t info;
    if (!win_query(handle, &info)) {
        win_close_keeping_error(handle);
        return nullptr;
    }
    int refusal = 0;
    if (!follow && win_is_name_surrogate(info.attributes, info.reparse_tag))
        refusal = WIN_ERROR_IS_LINK;
    else if (!(info.attributes & FILE_ATTRIBUTE_DIRECTORY))
        refusal = ERROR_DIRECTORY;
    if (refusal != 0) {
        CloseHandle(handle);
        win_set_error(refusal);
        return nullptr;
    }
    if (!follow && (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A reparse point that is no other name (a placeholder of a cloud
        // store, say) is an ordinary directory: it is opened again, so that
        // its file system driver serves it.
        HANDLE plain = INVALID_HANDLE_VALUE;
        if (open_dir_at(handle, std::wstring(), true, &plain, &listable) == 0) {
            CloseHandle(handle);
            handle = plain;
        }
    }
    if (id != nullptr)
        *id = info.id;
    fs_dir_t* dir = new fs_dir_t;
    dir->handle = handle;
    dir->listable = listable;
    dir->volume = info.id.device;
    return dir;
}

void end_listing(fs_dir_t* dir)
{
    delete[] dir->entries;
    dir->entries = nullptr;
}

void win_dir_close(fs_dir_t* dir)
{
    const int saved = win_error();
    end_listing(dir);
    if (dir->lock != INVALID_HANDLE_VALUE)
        CloseHandle(dir->lock);
    CloseHandle(dir->handle);
    delete dir;
    win_set_error(saved);
}

int win_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    if (dir->entries == nullptr) {
        // Every listing starts from the first entry.
        if (!dir->listable) {
            win_set_error(ERROR_ACCESS_DENIED);
            return -1;
        }
        dir->entries = new char[LISTING_BUFFER];
        dir->at = 0;
        dir->filled = 0;
        dir->restart = true;
        dir->passed_over = 0;
    }
    for (;;) {
        if (dir->at >= dir->filled) {
            IO_STATUS_BLOCK io{};
            const NTSTATUS status =
                NtQueryDirectoryFile(dir->handle, nullptr, nullptr, nullptr, &io, dir->entries, LISTING_BUFFER,
                                     FileIdFullDirectoryInformation, FALSE, nullptr, dir->restart);
            dir->restart = false;
            if (status == STATUS_NO_MORE_FILES_) {
                end_listing(dir);
                return 0;
            }
            if (status != 0) {
                win_fail_status(status);
                end_listing(dir);
                return -1;
            }
            dir->at = 0;
            dir->filled = static_cast<std::size_t>(io.Information);
            if (dir->filled == 0) {
                end_listing(dir);
                return 0;
            }
        }
        const auto* raw = reinterpret_cast<const FILE_ID_FULL_DIR_INFORMATION*>(dir->entries + dir->at);
        dir->at = raw->NextEntryOffset != 0 ? dir->at + raw->NextEntryOffset : dir->filled;
        const std::size_t units = raw->FileNameLength / sizeof(WCHAR);
        const wchar_t* name = raw->FileName;
        if ((units == 1 && name[0] == L'.') || (units == 2 && name[0] == L'.' && name[1] == L'.'))
            continue;
        // Links, junctions and mount points are never listed; the EaSize
        // field holds the tag of a reparse point.
        if (win_is_name_surrogate(raw->FileAttributes, raw->EaSize) || (raw->FileAttributes & FILE_ATTRIBUTE_DEVICE)) {
            ++dir->passed_over;
            continue;
        }
        const std::string text = win_narrow(name, units);
        if (text.size() >= sizeof entry->name) {
            // Cannot occur where names have at most 255 UTF-16 units; were
            // one longer, leaving it out would lose it unnoticed.
            win_set_error(ERROR_FILENAME_EXCED_RANGE);
            end_listing(dir);
            return -1;
        }
        std::memcpy(entry->name, text.c_str(), text.size() + 1);
        const bool is_dir = (raw->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry->attr = is_dir ? ATTR_DIRECTORY : 0;
        dir->attributes = raw->FileAttributes;
        dir->file_id = static_cast<std::uint64_t>(raw->FileId.QuadPart);
        dir->size = static_cast<std::uint64_t>(raw->EndOfFile.QuadPart);
        dir->write_time.dwLowDateTime = static_cast<DWORD>(raw->LastWriteTime.QuadPart);
        dir->write_time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(raw->LastWriteTime.QuadPart) >> 32);
        return 1;
    }
}

std::uint64_t win_dir_passed_over(fs_dir_t* dir)
{
    return dir->passed_over;
}

// Everything was in the listing itself.
int win_dir_details(fs_dir_t* dir, dos_dirent_t* entry)
{
    const DWORD dos = dir->attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_ARCHIVE);
    if (dir->attributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry->attr = static_cast<std::uint8_t>(ATTR_DIRECTORY | dos);
        entry->size = 0;
    } else {
        entry->attr = static_cast<std::uint8_t>(dos != 0 ? dos : ATTR_NORMAL);
        entry->size = dir->size;
    }
    entry->mtime = win_fs_time(dir->write_time);
    entry->id = {dir->volume, dir->file_id};
    entry->protection = static_cast<std::uint16_t>(dir->attributes & WIN_CARRIED_ATTRIBUTES);
    entry->changed = CHANGE_UNKNOWN;   // the attribute bits are all a copy carries: nothing to watch for
    return 1;
}

int win_stat_at(fs_dir_t* dir, const char* name, fs_status_t* status)
{
    HANDLE handle;
    const NTSTATUS opened = win_open_at(dir->handle, win_wide(name), FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN,
                                        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
    if (opened != 0)
        return win_fail_status(opened);
    win_info_t info;
    const bool known = win_query(handle, &info);
    const int saved = win_error();
    CloseHandle(handle);
    if (!known) {
        win_set_error(saved);
        return -1;
    }
    win_fill_status(info, status, false);
    return 0;
}

// Opens `name` in `dir` for its removal, never through a link: with the
// right to change its attributes where that is granted (a read-only file
// may need them cleared), otherwise with the right to delete alone.
NTSTATUS open_for_removal(fs_dir_t* dir, const char* name, ULONG kind, HANDLE* handle)
{
    const std::wstring wide = win_wide(name);
    const ULONG options = kind | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT;
    NTSTATUS status = win_open_at(dir->handle, wide, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  SHARE_ALL, FILE_OPEN, options, 0, handle);
    if (status == STATUS_ACCESS_DENIED_)
        status = win_open_at(dir->handle, wide, DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN, options, 0,
                             handle);
    return status;
}

// Deleting needs no change to the file itself where the system can ignore
// its read-only attribute; see win_set_delete for older systems.
int win_remove_file_at(fs_dir_t* dir, const char* name)
{
    HANDLE handle;
    const NTSTATUS opened = open_for_removal(dir, name, FILE_NON_DIRECTORY_FILE, &handle);
    if (opened == STATUS_FILE_IS_A_DIRECTORY_) {
        win_set_error(WIN_ERROR_IS_DIR);
        return -1;
    }
    if (opened != 0)
        return win_fail_status(opened);
    const bool done = win_set_delete(handle, true, true);
    win_close_keeping_error(handle);
    return done ? 0 : -1;
}

int win_remove_dir_at(fs_dir_t* dir, const char* name)
{
    HANDLE handle;
    const NTSTATUS opened = open_for_removal(dir, name, FILE_DIRECTORY_FILE, &handle);
    if (opened != 0)
        return win_fail_status(opened);
    win_info_t info;
    bool done = win_query(handle, &info);
    if (done && win_is_name_surrogate(info.attributes, info.reparse_tag)) {
        win_set_error(ERROR_DIRECTORY);   // a link put in its place is no directory to remove
        done = false;
    }
    if (done)
        done = win_set_delete(handle, true, true);
    win_close_keeping_error(handle);
    return done ? 0 : -1;
}

int win_make_dir_at(fs_dir_t* dir, const char* name)
{
    HANDLE handle;
    const NTSTATUS made = win_open_at(dir->handle, win_wide(name), FILE_LIST_DIRECTORY, SHARE_ALL, FILE_CREATE,
                                      FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL, &handle);
    if (made != 0)
        return win_fail_status(made);
    CloseHandle(handle);
    return 0;
}

// Gives the directory the attribute bits of the open directory `like`
// (hidden, system, read-only and the rest that a copy carries) where its
// own differ; owner and access rights stay as the destination gives them.
int win_set_dir_protection(fs_dir_t* dir, fs_dir_t* like)
{
    win_info_t wanted;
    win_info_t current;
    if (!win_query(like->handle, &wanted) || !win_query(dir->handle, &current))
        return -1;
    const DWORD bits = wanted.attributes & WIN_CARRIED_ATTRIBUTES;
    if ((current.attributes & WIN_CARRIED_ATTRIBUTES) == bits)
        return 0;
    HANDLE handle;
    const NTSTATUS opened = win_open_at(dir->handle, std::wstring(), FILE_WRITE_ATTRIBUTES, SHARE_ALL, FILE_OPEN,
                                        FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
    if (opened != 0)
        return win_fail_status(opened);
    const bool done = win_set_attributes(handle, bits);
    win_close_keeping_error(handle);
    return done ? 0 : -1;
}

// Opens the file `name` of `dir` with `access` to its attributes, never
// through a link; false, with no error, when there is no such regular file
// any more (nothing to be done), or with the error.
bool open_listed_file(fs_dir_t* dir, const char* name, ACCESS_MASK access, HANDLE* handle, win_info_t* info,
                      bool* gone)
{
    constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND_ = static_cast<NTSTATUS>(0xC0000034);
    *gone = false;
    const NTSTATUS opened =
        win_open_at(dir->handle, win_wide(name), access, SHARE_ALL, FILE_OPEN,
                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, 0, handle);
    if (opened == STATUS_OBJECT_NAME_NOT_FOUND_ || opened == STATUS_FILE_IS_A_DIRECTORY_) {
        *gone = true;
        return false;
    }
    if (opened != 0) {
        win_fail_status(opened);
        return false;
    }
    if (!win_query(*handle, info)) {
        win_close_keeping_error(*handle);
        return false;
    }
    if (win_is_name_surrogate(info->attributes, info->reparse_tag)) {
        CloseHandle(*handle);
        *gone = true;
        return false;
    }
    return true;
}

// Gives the file the attribute bits of its source where its own differ, as
// a copy carries them; owner and access rights stay as the destination
// gives them. A file that is no longer the one listed is left alone.
int win_set_file_protection(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                            fs_dir_t* like_dir, const char* like_name)
{
    HANDLE source;
    win_info_t wanted;
    bool gone;
    if (!open_listed_file(like_dir, like_name, FILE_READ_ATTRIBUTES, &source, &wanted, &gone))
        return gone ? 0 : -1;
    CloseHandle(source);
    HANDLE handle;
    win_info_t current;
    if (!open_listed_file(dir, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &handle, &current, &gone))
        return gone ? 0 : -1;
    const fs_time_t written = win_fs_time(current.write_time);
    const DWORD bits = wanted.attributes & WIN_CARRIED_ATTRIBUTES;
    bool done = true;
    if (current.size == size && written.sec == mtime.sec && written.nsec == mtime.nsec &&
        (current.attributes & WIN_CARRIED_ATTRIBUTES) != bits)
        done = win_set_attributes(handle, bits);
    win_close_keeping_error(handle);
    return done ? 0 : -1;
}

// Where the directory lies inside its volume. The volume is named by its
// GUID path ("\\?\Volume{...}\"), which is the same whichever drive letter,
// substituted drive or folder mount reaches it (Wine, though, gives each
// drive letter a volume of its own); where the volume has none (a
// network share), by its device ("\Device\Mup", then server and share as
// the first components of the path). Letter case is folded, as the file
// systems of Windows fold it, so that two spellings of a share compare equal.
int win_dir_place(fs_dir_t* dir, fs_place_t* place)
{
    std::wstring path = final_path(dir->handle, VOLUME_NAME_GUID);
    std::size_t volume_end = std::wstring::npos;
    if (path.compare(0, 11, L"\\\\?\\Volume{") == 0) {
        volume_end = path.find(L'\\', 11);
    } else {
        path = final_path(dir->handle, VOLUME_NAME_NT);
        const std::size_t first = path.empty() || path[0] != L'\\' ? std::wstring::npos : path.find(L'\\', 1);
        if (first != std::wstring::npos)
            volume_end = std::min(path.find(L'\\', first + 1), path.size());
    }
    if (volume_end == std::wstring::npos) {
        if (!path.empty())
            win_set_error(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    place->volume = win_narrow(path.substr(0, volume_end));
    place->path = volume_end < path.size() ? win_narrow(path.substr(volume_end)) : std::string("\\");
    // A volume mounted on a folder is a reparse point, which the walk never
    // goes into.
    place->mounted.clear();
    return 0;
}

// The lock is a hidden file in the directory, held open without sharing
// anything: another run can neither make it nor open it, and nothing else
// is hindered. A share mode on the directory itself would hinder others
// too, whichever access it denied: the system lists a directory for others
// with read access, shares only reading and writing while it does, and
// opens the directory for writing to put a renamed file in it (a copy that
// takes its name). The file this run makes goes when its handle is closed,
// the process ended included; one that a run could not remove (the
// machine stopped) is kept and serves as the lock from then on.
int win_lock_dir(fs_dir_t* dir)
{
    constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND_ = static_cast<NTSTATUS>(0xC0000034);
    constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION_ = static_cast<NTSTATUS>(0xC0000035);
    constexpr NTSTATUS STATUS_SHARING_VIOLATION_ = static_cast<NTSTATUS>(0xC0000043);
    constexpr NTSTATUS STATUS_DELETE_PENDING_ = static_cast<NTSTATUS>(0xC0000056);
    const std::wstring name = L".calvento.lock";
    NTSTATUS status = 0;
    // The file of a run that is ending may vanish between the two opens.
    for (int attempt = 0; attempt < 3; ++attempt) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        status = win_open_at(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, FILE_ATTRIBUTE_HIDDEN, &handle);
        if (status == STATUS_OBJECT_NAME_COLLISION_)
            status = win_open_at(dir->handle, name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, 0, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE, 0, &handle);
        if (status == 0) {
            dir->lock = handle;
            return 1;
        }
        if (status == STATUS_SHARING_VIOLATION_)
            return 0;
        if (status != STATUS_OBJECT_NAME_NOT_FOUND_ && status != STATUS_DELETE_PENDING_)
            break;
    }
    return win_fail_status(status);
}

// What Windows tells beforehand: a volume mounted read-only refuses every
// change. The read-only attribute of a directory guards the directory
// itself, not what it holds, and access rights are weighed entry by entry
// when a change is made, so nothing else is refused here.
int win_may_change(fs_dir_t* dir)
{
    DWORD flags = 0;
    if (GetVolumeInformationByHandleW(dir->handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_READ_ONLY_VOLUME) != 0) {
        win_set_error(ERROR_WRITE_PROTECT);
        return -1;
    }
    return 0;
}

}  // namespace

NTSTATUS win_open_at(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                     ULONG options, ULONG attributes, HANDLE* handle)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    if (name.size() * sizeof(wchar_t) > 0xFFFE)
        return static_cast<NTSTATUS>(0xC0000106);   // STATUS_NAME_TOO_LONG
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    *handle = INVALID_HANDLE_VALUE;
    return NtCreateFile(handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

void win_close_keeping_error(HANDLE handle)
{
    const int saved = win_error();
    CloseHandle(handle);
    win_set_error(saved);
}

bool win_query(HANDLE handle, win_info_t* info)
{
    BY_HANDLE_FILE_INFORMATION basic;
    if (!GetFileInformationByHandle(handle, &basic)) {
        win_fail();
        return false;
    }
    info->attributes = basic.dwFileAttributes;
    info->reparse_tag = 0;
    info->id = {basic.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow};
    info->size = (static_cast<std::uint64_t>(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow;
    info->write_time = basic.ftLastWriteTime;
    if (basic.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
            info->reparse_tag = tag.ReparseTag;
        else
            info->reparse_tag = IO_REPARSE_TAG_SYMLINK;   // unknown: taken for a link, never followed
    }
    return true;
}

bool win_is_name_surrogate(DWORD attributes, DWORD reparse_tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparse_tag);
}

bool win_set_attributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic{};   // times of 0 stay as they are
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
        win_fail();
        return false;
    }
    return true;
}

// The delete disposition that ignores the read-only attribute, with POSIX
// semantics (the name goes at once, even while another process holds the
// file open), is there from Windows 10 1809 on. Older systems, and
// compatibility layers without it, refuse it: there a read-only file gets
// its attribute cleared for the moment of the deletion and back at once
// through the same handle. The attribute belongs to the file, not to the
// name: another name of a hard-linked file shows it cleared during that
// moment, and keeps it cleared only if the process dies right then.
bool win_set_delete(HANDLE handle, bool remove, bool ignore_read_only)
{
    constexpr NTSTATUS STATUS_CANNOT_DELETE_ = static_cast<NTSTATUS>(0xC0000121);
    constexpr FILE_INFORMATION_CLASS DISPOSITION = static_cast<FILE_INFORMATION_CLASS>(13);
    constexpr FILE_INFORMATION_CLASS DISPOSITION_EX = static_cast<FILE_INFORMATION_CLASS>(64);
    static std::atomic<bool> extended{true};   // one answer for the run, whichever thread asks first
    IO_STATUS_BLOCK io{};
    if (remove && extended) {
        ULONG flags = 0x1 | 0x2;   // delete, POSIX semantics
        if (ignore_read_only)
            flags |= 0x10;
        const NTSTATUS status = NtSetInformationFile(handle, &io, &flags, sizeof flags, DISPOSITION_EX);
        if (status == 0)
            return true;
        const bool unknown = status == static_cast<NTSTATUS>(0xC0000003) ||   // invalid information class
                             status == static_cast<NTSTATUS>(0xC0000002);     // not implemented
        if (unknown)
            extended = false;
        else if (status != static_cast<NTSTATUS>(0xC000000D) &&   // invalid parameter, not supported:
                 status != static_cast<NTSTATUS>(0xC00000BB)) {   // a file system without those semantics
            win_fail_status(status);
            return false;
        }
    }
    BOOLEAN flag = remove ? TRUE : FALSE;
    NTSTATUS status = NtSetInformationFile(handle, &io, &flag, sizeof flag, DISPOSITION);
    if (status == STATUS_CANNOT_DELETE_ && remove && ignore_read_only) {
        win_info_t info;
        if (win_query(handle, &info) && (info.attributes & FILE_ATTRIBUTE_READONLY) &&
            win_set_attributes(handle, info.attributes & ~FILE_ATTRIBUTE_READONLY & ~FILE_ATTRIBUTE_DIRECTORY)) {
            status = NtSetInformationFile(handle, &io, &flag, sizeof flag, DISPOSITION);
            win_set_attributes(handle, info.attributes & ~FILE_ATTRIBUTE_DIRECTORY);
        }
    }
    if (status != 0) {
        win_fail_status(status);
        return false;
    }
    return true;
}

FILETIME win_filetime(fs_time_t when)
{
    // 100-nanosecond units since 1601-01-01 00:00:00 UTC.
    const std::int64_t ticks = (when.sec + 11644473600LL) * 10000000LL + when.nsec / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks));
    result.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
    return result;
}

fs_time_t win_fs_time(FILETIME when)
{
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(when.dwHighDateTime) << 32) | when.dwLowDateTime);
    std::int64_t sec = ticks / 10000000LL;
    std::int64_t rest = ticks % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        --sec;
    }
    return {sec - 11644473600LL, static_cast<std::uint32_t>(rest * 100)};
}

namespace {

// Renames the entry open as `handle` to `name` in `dir`, never replacing
// another entry (a change of case alone renames it in place on NTFS).
// Returns the native status.
NTSTATUS rename_to(HANDLE handle, HANDLE dir, const std::wstring& name)
{
    std::vector<char> block(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(block.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = dir;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(handle, &io, info, static_cast<ULONG>(block.size()), FileRenameInformation);
}

// Whether the entry open as `handle` is spelt `name`, as its file system
// stores it.
bool spelt(HANDLE handle, const std::wstring& name)
{
    constexpr FILE_INFORMATION_CLASS NAME_INFORMATION = static_cast<FILE_INFORMATION_CLASS>(9);
    std::vector<char> block(sizeof(ULONG) + 32768 * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    if (NtQueryInformationFile(handle, &io, block.data(), static_cast<ULONG>(block.size()), NAME_INFORMATION) != 0)
        return true;   // cannot tell: taken as done
    const ULONG bytes = *reinterpret_cast<const ULONG*>(block.data());
    const std::wstring path(reinterpret_cast<const wchar_t*>(block.data() + sizeof(ULONG)), bytes / sizeof(wchar_t));
    const std::size_t cut = path.find_last_of(L'\\');
    return path.compare(cut == std::wstring::npos ? 0 : cut + 1, std::wstring::npos, name) == 0;
}

int win_respell_at(fs_dir_t* dir, const char* from, const char* to)
{
    HANDLE handle;
    const NTSTATUS opened = win_open_at(dir->handle, win_wide(from), DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                                        FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
    if (opened != 0)
        return win_fail_status(opened);
    const std::wstring wanted = win_wide(to);
    NTSTATUS status = rename_to(handle, dir->handle, wanted);
    if (status != 0 || !spelt(handle, wanted)) {
        // A file system that will not spell a name anew in place (or takes
        // the new spelling for the entry itself and leaves it): through a
        // hidden name, neither step replacing anything.
        const std::wstring interim = L".calvento-" + std::to_wstring(GetCurrentProcessId()) + L".case";
        status = rename_to(handle, dir->handle, interim);
        if (status == 0) {
            status = rename_to(handle, dir->handle, wanted);
            if (status != 0)
                rename_to(handle, dir->handle, win_wide(from));
        }
    }
    win_close_keeping_error(handle);
    return status == 0 ? 0 : win_fail_status(status);
}

// Opened without following a link, and renamed relative to the directory
// it goes to; the system refuses a move to another volume itself.
int win_move_at(fs_dir_t* dir, const char* from, fs_dir_t* to_dir, const char* to)
{
    HANDLE handle;
    const NTSTATUS opened = win_open_at(dir->handle, win_wide(from), DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                                        FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, 0, &handle);
    if (opened != 0)
        return win_fail_status(opened);
    const NTSTATUS status = rename_to(handle, to_dir->handle, win_wide(to));
    win_close_keeping_error(handle);
    return status == 0 ? 0 : win_fail_status(status);
}

// NTFS keeps the rule per directory (a directory marked case-sensitive for
// Linux tools); everywhere else Windows looks names up without case.
case_rule_t win_case_rule(fs_dir_t* dir, bool* per_directory)
{
    constexpr FILE_INFORMATION_CLASS CASE_SENSITIVE_INFORMATION = static_cast<FILE_INFORMATION_CLASS>(71);
    ULONG flags = 0;
    IO_STATUS_BLOCK io{};
    if (NtQueryInformationFile(dir->handle, &io, &flags, sizeof flags, CASE_SENSITIVE_INFORMATION) == 0) {
        *per_directory = true;
        return (flags & 0x1) ? CASE_EXACT : CASE_FOLDS;
    }
    *per_directory = false;
    return CASE_FOLDS;
}

}  // namespace

HANDLE win_dir_handle(const fs_dir_t* dir)
{
    return dir != nullptr ? dir->handle : nullptr;
}

void win_fill_dirs(platform_t* record)
{
    record->dir_open = win_dir_open;
    record->dir_close = win_dir_close;
    record->dir_place = win_dir_place;
    record->dir_next = win_dir_next;
    record->dir_details = win_dir_details;
    record->dir_passed_over = win_dir_passed_over;
    record->stat_at = win_stat_at;
    record->remove_file_at = win_remove_file_at;
    record->remove_dir_at = win_remove_dir_at;
    record->make_dir_at = win_make_dir_at;
    record->set_dir_protection = win_set_dir_protection;
    record->set_file_protection = win_set_file_protection;
    record->respell_at = win_respell_at;
    record->move_at = win_move_at;
    record->case_rule = win_case_rule;
    record->lock_dir = win_lock_dir;
    record->may_change = win_may_change;
}

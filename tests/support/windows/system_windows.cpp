// The Windows part of the test support: scratch trees under the user's
// temporary directory, where a permission is the read-only attribute, local
// times with the zone rules of each year, Win32 error numbers, and no real
// full disk to mount.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "platform/platform.h"
#include "support/scoped_tmpfs.h"
#include "support/system.h"
#include "support/temp_tree.h"
#include "support/tree_text.h"

namespace fs = std::filesystem;

const system_errors_t sys_errors = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                                    ERROR_IO_DEVICE,      ERROR_ACCESS_DENIED,  ERROR_DISK_FULL,
                                    336,                  681,                  ERROR_ALREADY_EXISTS,
                                    ERROR_SHARING_VIOLATION, ERROR_NO_UNICODE_TRANSLATION};

std::string error_words(int code)
{
    return native_platform.error_text(code);
}

std::string sep()
{
    return "\\";
}

namespace {

std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr,
                        nullptr);
    return result;
}

// The \\?\ form, so that no length limit applies.
std::wstring long_form(const std::string& path)
{
    std::wstring result = wide(path);
    if (result.rfind(L"\\\\?\\", 0) == 0)
        return result;
    return L"\\\\?\\" + result;
}

DWORD attributes_of(const std::string& path)
{
    return GetFileAttributesW(long_form(path).c_str());
}

std::int64_t seconds_of(FILETIME when)
{
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(when.dwHighDateTime) << 32) | when.dwLowDateTime);
    return ticks / 10000000LL - 11644473600LL;
}

FILETIME filetime_of(std::int64_t seconds)
{
    const std::uint64_t ticks = static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

}  // namespace

fs::path fs_path(const std::string& path)
{
    return fs::path(wide(path));
}

std::string utf8_of(const fs::path& path)
{
    return narrow(path.wstring());
}

std::string missing(feature_t feature)
{
    switch (feature) {
    case feature_t::permission_bits: return "Windows has no permission bits beyond the read-only attribute";
    case feature_t::owners: return "Windows carries no owner with a copy";
    case feature_t::fifos: return "Windows has no FIFOs or sockets in the file system";
    case feature_t::sparse_files: return "the Windows build copies the holes of a sparse file as zeros";
    case feature_t::bind_mounts: return "Windows has no bind mounts";
    case feature_t::backslash_names: return "a backslash separates names on Windows";
    case feature_t::search_only_dirs:
    case feature_t::unnamed_copies:
    case feature_t::mount_places:
    case feature_t::case_rules:
    case feature_t::exclusive_renames: return {};
    case feature_t::extended_attributes: return "the Windows build carries no extended attributes";
    case feature_t::links: {
        // Making a link needs a privilege (or developer mode), and some
        // compatibility layers only pretend to make one.
        static const std::string why = [] {
            TempTree probe;
            probe.file("target", "x");
            const std::wstring where = long_form(probe.path("link"));
            const BOOL made = CreateSymbolicLinkW(where.c_str(), L"target", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
            const DWORD attributes = GetFileAttributesW(where.c_str());
            if (made && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return std::string();
            return std::string("this system makes no symbolic link for a test (no privilege, or not supported)");
        }();
        return why;
    }
    }
    return {};
}

TempTree::TempTree()
{
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH)
        throw std::runtime_error("no temporary directory");
    std::string temp = narrow(std::wstring(base, length));
    while (!temp.empty() && temp.back() == '\\')
        temp.pop_back();
    static unsigned counter = 0;
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string candidate = temp + "\\calvento-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(counter++);
        if (CreateDirectoryW(long_form(candidate).c_str(), nullptr)) {
            root_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot make a scratch directory");
}

namespace {

// Removes `path` (a \\?\ path) and all below it, read-only or not, however
// deep; links are removed, never followed.
void remove_all_long(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    remove_all_long(path + L"\\" + name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

TempTree::~TempTree()
{
    remove_all_long(long_form(root_));
}

void TempTree::link(const std::string& relative, const std::string& target)
{
    fs::create_directories(fs_path(path(relative)).parent_path());
    const DWORD target_attributes = attributes_of(target);
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (target_attributes != INVALID_FILE_ATTRIBUTES && (target_attributes & FILE_ATTRIBUTE_DIRECTORY))
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!CreateSymbolicLinkW(long_form(path(relative)).c_str(), wide(target).c_str(), flags))
        throw std::runtime_error("cannot make the link " + path(relative));
}

void TempTree::fifo(const std::string& relative)
{
    throw std::runtime_error("no FIFO can be made on Windows: " + relative);
}

bool TempTree::exists(const std::string& relative) const
{
    return attributes_of(path(relative)) != INVALID_FILE_ATTRIBUTES;
}

bool TempTree::is_dir(const std::string& relative) const
{
    const DWORD attributes = attributes_of(path(relative));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void TempTree::set_mtime(const std::string& relative, std::time_t when)
{
    const HANDLE handle =
        CreateFileW(long_form(path(relative)).c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const FILETIME time = filetime_of(when);
    const bool done = handle != INVALID_HANDLE_VALUE && SetFileTime(handle, nullptr, &time, &time);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!done)
        throw std::runtime_error("cannot set the time of " + path(relative));
}

std::time_t TempTree::mtime(const std::string& relative) const
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(long_form(path(relative)).c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<std::time_t>(seconds_of(data.ftLastWriteTime));
}

// The owner's write bit is the read-only attribute; no other bit exists.
void TempTree::set_mode(const std::string& relative, unsigned mode)
{
    const std::wstring where = long_form(path(relative));
    const DWORD attributes = GetFileAttributesW(where.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throw std::runtime_error("no such file: " + path(relative));
    DWORD wanted = (mode & 0200) ? attributes & ~FILE_ATTRIBUTE_READONLY : attributes | FILE_ATTRIBUTE_READONLY;
    wanted &= ~FILE_ATTRIBUTE_DIRECTORY;
    if (!SetFileAttributesW(where.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL))
        throw std::runtime_error("cannot set the attributes of " + path(relative));
}

// As the C library shows it: 0444 for a read-only file, 0666 otherwise.
unsigned TempTree::mode(const std::string& relative) const
{
    const DWORD attributes = attributes_of(path(relative));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_READONLY) ? 0444u : 0666u;
}

// The inverse of the layer's local_time: the zone rules of that year.
std::time_t local_moment(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = static_cast<WORD>(second);
    TIME_ZONE_INFORMATION zone{};
    if (!GetTimeZoneInformationForYear(static_cast<USHORT>(year), nullptr, &zone))
        GetTimeZoneInformation(&zone);
    SYSTEMTIME utc;
    FILETIME when;
    if (!TzSpecificLocalTimeToSystemTime(&zone, &local, &utc) || !SystemTimeToFileTime(&utc, &when))
        return -1;
    return static_cast<std::time_t>(seconds_of(when));
}

std::tm local_calendar(std::time_t when)
{
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

std::vector<std::string> delivered_names(const std::string& path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW((long_form(path) + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = narrow(data.cFileName);
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

ScopedTmpfs::ScopedTmpfs(const std::string& where, const char*) : where_(where), error_("Windows has no tmpfs") {}

ScopedTmpfs::~ScopedTmpfs() = default;

std::uint64_t ScopedTmpfs::room() const
{
    return 0;
}

std::string read_text_file(const std::string& path)
{
    std::string text = read_file(path);
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')
            continue;
        result += text[at];
    }
    return result;
}

bool make_sparse_file(const std::string&, std::uint64_t, const std::string&, std::uint64_t)
{
    return false;
}

std::uint64_t allocated_bytes(const std::string&)
{
    return 0;
}

int make_socket(const std::string&)
{
    return -1;
}

void close_socket(int) {}

bool set_exact_mtime(const std::string& path, std::int64_t sec, std::uint32_t nsec)
{
    const HANDLE handle = CreateFileW(long_form(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const std::uint64_t ticks = static_cast<std::uint64_t>((sec + 11644473600LL) * 10000000LL + nsec / 100);
    FILETIME when;
    when.dwLowDateTime = static_cast<DWORD>(ticks);
    when.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const bool done = SetFileTime(handle, nullptr, &when, &when) != 0;
    CloseHandle(handle);
    return done;
}

bool privileged()
{
    return false;
}

void set_owner(const std::string& path, unsigned, unsigned)
{
    throw std::runtime_error("no owner to set on Windows: " + path);
}

ownership_t ownership_of(const std::string& path)
{
    throw std::runtime_error("no owner to read on Windows: " + path);
}

std::string unused_drive()
{
    const DWORD drives = GetLogicalDrives();
    for (char letter = 'Y'; letter > 'C'; --letter) {
        if (!(drives & (1u << (letter - 'A'))))
            return std::string(1, letter) + ":";
    }
    throw std::runtime_error("every drive letter is taken");
}

std::string bind_mount(const std::string&, const std::string&)
{
    return "Windows has no bind mounts";
}

void unmount(const std::string&) {}

namespace {

std::string joined(const std::string& root, const std::string& relative)
{
    std::string native = relative;
    std::replace(native.begin(), native.end(), '/', '\\');
    return relative.empty() ? root : root + "\\" + native;
}

// Calls `visit` for every entry below `root`, dot names included, in name
// order within each directory, with its path relative to `root` ("/"
// between names) and its attributes; a link (a reparse point) is never
// entered. `visit` returns whether to go into a directory.
void walk_below(const std::string& root, const std::string& relative,
                const std::function<bool(const std::string&, const WIN32_FILE_ATTRIBUTE_DATA&)>& visit)
{
    std::vector<std::string> names = delivered_names(joined(root, relative));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(long_form(joined(root, child)).c_str(), GetFileExInfoStandard, &data))
            continue;
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                               !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (visit(child, data) && directory)
            walk_below(root, child, visit);
    }
}

bool is_link(const WIN32_FILE_ATTRIBUTE_DATA& data)
{
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool is_directory(const WIN32_FILE_ATTRIBUTE_DATA& data)
{
    return !is_link(data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::uint64_t ticks_of(FILETIME when)
{
    return (static_cast<std::uint64_t>(when.dwHighDateTime) << 32) | when.dwLowDateTime;
}

bool listable(const std::string& path)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW((long_form(path) + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    return true;
}

}  // namespace

// The mode shown is what a Windows file has of one: 0444 when it is
// read-only, 0666 otherwise (as TempTree::mode tells it).
std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only)
{
    std::vector<std::string> lines;
    if (!listable(root))
        lines.push_back("?  (cannot be listed)");
    walk_below(root, "", [&](const std::string& relative, const WIN32_FILE_ATTRIBUTE_DATA& data) {
        if (mirrored_only && fs::path(relative).filename().string()[0] == '.')
            return false;
        const std::string shown = printable(relative);
        if (is_directory(data)) {
            lines.push_back("d " + shown);
            if (!listable(joined(root, relative)))
                lines.push_back("? " + shown + " (cannot be listed)");
        } else if (!is_link(data)) {
            const std::size_t hash = std::hash<std::string>{}(read_file(joined(root, relative)));
            const unsigned long long size =
                (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            char detail[160];
            std::snprintf(detail, sizeof detail, " size=%llu bytes=%zx mtime/2=%lld mode=%03o", size, hash,
                          static_cast<long long>(seconds_of(data.ftLastWriteTime) / 2),
                          (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444u : 0666u);
            lines.push_back("f " + shown + detail);
        } else if (!mirrored_only) {
            lines.push_back("l " + shown);
        }
        return true;
    });
    return lines;
}

// The DOS attribute byte stands for the mode, and the last-write time is
// shown in the system's own 100-nanosecond units.
std::vector<std::string> snapshot(const std::string& root)
{
    std::vector<std::string> lines;
    walk_below(root, "", [&](const std::string& relative, const WIN32_FILE_ATTRIBUTE_DATA& data) {
        const std::string full = joined(root, relative);
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, " attr=%02lx mtime=%llu", data.dwFileAttributes & 0xffUL,
                      static_cast<unsigned long long>(ticks_of(data.ftLastWriteTime)));
        if (is_link(data))
            lines.push_back("l " + relative + " -> " + utf8_of(fs::read_symlink(fs_path(full))));
        else if (is_directory(data))
            lines.push_back("d " + relative + stamp);
        else
            lines.push_back("f " + relative + stamp + " " + read_file(full));
        return true;
    });
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Paths of the Windows layer: the UTF-8 text of the program and the UTF-16
// of the system, the \\?\ form that lifts the length limit, the roots that
// are never created, and the operations that take whole paths.
#include "platform/windows/windows_internal.h"

#include <cstring>

namespace {

constexpr wchar_t REPLACEMENT = 0xFFFD;

// The length of the UTF-8 sequence that begins with `lead`, 0 when no
// sequence begins with it.
int sequence_length(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool is_continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

bool win_is_separator(char c)
{
    return c == '\\' || c == '/';
}

}  // namespace

void win_fill_status(const win_info_t& info, fs_status_t* status, bool followed)
{
    const bool link = !followed && win_is_name_surrogate(info.attributes, info.reparse_tag);
    status->is_link = link;
    status->is_dir = !link && (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->is_file = !link && !status->is_dir && (info.attributes & FILE_ATTRIBUTE_DEVICE) == 0;
    status->id = info.id;
}

namespace {

int win_stat(const char* path, bool follow, fs_status_t* status)
{
    const std::wstring full = win_full_path(path);
    if (full.empty())
        return -1;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!follow)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return win_fail();
    win_info_t info;
    const bool known = win_query(handle, &info);
    const bool device = GetFileType(handle) == FILE_TYPE_CHAR;
    const int saved = win_error();
    CloseHandle(handle);
    if (!known) {
        win_set_error(saved);
        return -1;
    }
    if (device)
        info.attributes |= FILE_ATTRIBUTE_DEVICE;
    win_fill_status(info, status, follow);
    return 0;
}

int win_make_dir(const char* path)
{
    const std::wstring full = win_full_path(path);
    if (full.empty())
        return -1;
    return CreateDirectoryW(full.c_str(), nullptr) ? 0 : win_fail();
}

}  // namespace

// The length of the part of the path that names no directory to create:
// "C:\" or "C:", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\",
// the leading separator of a path on the current drive; 0 for a relative
// path.
std::size_t win_root_length(const char* path)
{
    const auto sep = [](char c) { return c == '\\' || c == '/'; };
    const auto drive = [](const char* p) {
        return ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
    };
    // Skips `parts` names after `at`, each with its separator.
    const auto after_names = [&](std::size_t at, int parts) {
        for (int part = 0; part < parts; ++part) {
            while (path[at] != '\0' && !sep(path[at]))
                ++at;
            if (path[at] != '\0')
                ++at;
        }
        return at;
    };
    if (sep(path[0]) && sep(path[1])) {
        // "\\?\" or "\\.\" and what follows, or "\\server\share\".
        if ((path[2] == '?' || path[2] == '.') && sep(path[3])) {
            const char* rest = path + 4;
            if (drive(rest))
                return sep(rest[2]) ? 7 : 6;
            if ((rest[0] == 'U' || rest[0] == 'u') && (rest[1] == 'N' || rest[1] == 'n') &&
                (rest[2] == 'C' || rest[2] == 'c') && sep(rest[3]))
                return after_names(8, 2);
            return after_names(4, 1);   // a volume name
        }
        return after_names(2, 2);
    }
    if (drive(path))
        return sep(path[2]) ? 3 : 2;
    return sep(path[0]) ? 1 : 0;
}

std::string win_narrow(const wchar_t* text, std::size_t count)
{
    std::string result;
    result.reserve(count);
    for (std::size_t at = 0; at < count; ++at) {
        std::uint32_t unit = static_cast<std::uint16_t>(text[at]);
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < count) {
            const std::uint32_t low = static_cast<std::uint16_t>(text[at + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++at;
            }
        }
        // A lone surrogate takes the three-byte form like any other unit.
        if (unit < 0x80) {
            result += static_cast<char>(unit);
        } else if (unit < 0x800) {
            result += static_cast<char>(0xC0 | (unit >> 6));
            result += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            result += static_cast<char>(0xE0 | (unit >> 12));
            result += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (unit >> 18));
            result += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return result;
}

std::string win_narrow(const std::wstring& text)
{
    return win_narrow(text.data(), text.size());
}

std::wstring win_wide(const char* text, std::size_t count)
{
    std::wstring result;
    result.reserve(count);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t at = 0; at < count;) {
        const int length = sequence_length(bytes[at]);
        bool valid = length > 0 && at + static_cast<std::size_t>(length) <= count;
        for (int i = 1; valid && i < length; ++i)
            valid = is_continuation(bytes[at + static_cast<std::size_t>(i)]);
        if (!valid) {
            result += REPLACEMENT;
            ++at;
            continue;
        }
        std::uint32_t unit = length == 1 ? bytes[at] : bytes[at] & (0x7F >> length);
        for (int i = 1; i < length; ++i)
            unit = (unit << 6) | (bytes[at + static_cast<std::size_t>(i)] & 0x3F);
        // Overlong forms name nothing; surrogates in their three-byte form
        // are the lone units that win_narrow wrote.
        const bool overlong = (length == 3 && unit < 0x800) || (length == 4 && (unit < 0x10000 || unit > 0x10FFFF));
        if (overlong) {
            result += REPLACEMENT;
            ++at;
            continue;
        }
        if (unit >= 0x10000) {
            unit -= 0x10000;
            result += static_cast<wchar_t>(0xD800 + (unit >> 10));
            result += static_cast<wchar_t>(0xDC00 + (unit & 0x3FF));
        } else {
            result += static_cast<wchar_t>(unit);
        }
        at += static_cast<std::size_t>(length);
    }
    return result;
}

std::wstring win_wide(const char* text)
{
    return win_wide(text, std::strlen(text));
}

std::wstring win_full_path(const char* path)
{
    if (*path == '\0') {
        win_set_error(ERROR_FILE_NOT_FOUND);   // no name, no such file
        return {};
    }
    const std::wstring wide = win_wide(path);
    // A \\?\ path is taken as it is written; the system resolves nothing in it.
    if (wide.size() >= 4 && wide[0] == L'\\' && wide[1] == L'\\' && wide[2] == L'?' && wide[3] == L'\\')
        return wide;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            win_fail();
            return {};
        }
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'?' || full[2] == L'.') &&
        full[3] == L'\\')
        return full;   // a device path such as \\.\C:\dir stays one
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

void win_fill_paths(platform_t* record)
{
    record->separator = '\\';
    record->is_separator = win_is_separator;
    record->root_length = win_root_length;
    record->option_prefixes = "-/";
    record->stat = win_stat;
    record->make_dir = win_make_dir;
}

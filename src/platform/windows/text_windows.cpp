// Text files of the Windows layer: the log, appended to in text mode (each
// line end written as CR LF, as Windows programs read them), and the
// exclusion list files, read whole.
#include "platform/windows/windows_internal.h"

namespace {

// Keeps an open text file only where it is a file on a disk or a character
// device (NUL, the console): reading or writing a named pipe would wait
// for whoever holds its other end, and a log or a list is no such thing.
// Anything else is closed and refused; returns false then.
bool is_text_file(HANDLE handle)
{
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR)
        return true;
    CloseHandle(handle);
    win_set_error(ERROR_NOT_SUPPORTED);
    return false;
}

int win_append_text(const char* path, const char* bytes, std::size_t count)
{
    const std::wstring full = win_full_path(path);
    if (full.empty())
        return -1;
    // Others may read and write the log meanwhile (a second run appending
    // to it, say); FILE_APPEND_DATA alone makes every write go to its end.
    const HANDLE handle = CreateFileW(full.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return win_fail();
    if (!is_text_file(handle))
        return -1;
    std::string text;
    text.reserve(count + count / 16);
    for (std::size_t at = 0; at < count; ++at) {
        if (bytes[at] == '\n')
            text += '\r';
        text += bytes[at];
    }
    const std::int64_t written = win_write_all(handle, text.data(), text.size());
    int saved = win_error();
    if (written >= 0 && static_cast<std::size_t>(written) != text.size())
        saved = ERROR_DISK_FULL;
    const bool closed = CloseHandle(handle) != 0;
    if (written < 0 || static_cast<std::size_t>(written) != text.size()) {
        win_set_error(saved);
        return -1;
    }
    return closed ? 0 : win_fail();
}

int win_read_text(const char* path, std::string* contents)
{
    const std::wstring full = win_full_path(path);
    if (full.empty())
        return -1;
    const HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A directory is refused as a lack of rights; say what it is.
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(full.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            win_set_error(WIN_ERROR_IS_DIR);
            return -1;
        }
        SetLastError(error);
        return win_fail();
    }
    if (!is_text_file(handle))
        return -1;
    contents->clear();
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, chunk, sizeof chunk, &got, nullptr)) {
            // A failure is reported: what was read so far stands.
            win_fail();
            win_close_keeping_error(handle);
            return -1;
        }
        if (got == 0)
            break;
        contents->append(chunk, got);
    }
    CloseHandle(handle);
    return 0;
}

}  // namespace

void win_fill_text(platform_t* record)
{
    record->append_text = win_append_text;
    record->read_text = win_read_text;
}

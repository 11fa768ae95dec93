// Errors, clock, memory and process of the Windows layer.
#include "platform/windows/windows_internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

// The layer's last error (see windows_internal.h).
thread_local int last_code = 0;

int win_last_error()
{
    return last_code;
}

void win_set_last_error(int code)
{
    last_code = code;
}

// Which Win32 error stands for each condition the portable code tells
// apart. Windows has none for two of them, which the layer itself meets:
// a directory where a file was expected is ERROR_DIRECTORY_NOT_SUPPORTED
// (ERROR_ACCESS_DENIED, what the system gives, also stands for a real lack
// of rights), and a link where none may be followed is
// ERROR_STOPPED_ON_SYMLINK.
int win_error_code(error_kind_t kind)
{
    switch (kind) {
    case ERR_NONE: return ERROR_SUCCESS;
    case ERR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case ERR_IS_DIR: return WIN_ERROR_IS_DIR;
    case ERR_IS_LINK: return WIN_ERROR_IS_LINK;
    case ERR_EXISTS: return ERROR_ALREADY_EXISTS;
    case ERR_NOT_EMPTY: return ERROR_DIR_NOT_EMPTY;
    case ERR_NO_SPACE: return ERROR_DISK_FULL;
    case ERR_BUSY: return ERROR_SHARING_VIOLATION;
    case ERR_CANCELED: return ERROR_CANCELLED;
    case ERR_BAD_TEXT: return ERROR_NO_UNICODE_TRANSLATION;
    case ERR_CROSS_DEVICE: return ERROR_NOT_SAME_DEVICE;
    case ERR_OTHER: break;
    }
    return ERROR_GEN_FAILURE;
}

error_kind_t win_error_kind(int code)
{
    switch (code) {
    case ERROR_SUCCESS: return ERR_NONE;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ERR_NOT_FOUND;
    case WIN_ERROR_IS_DIR: return ERR_IS_DIR;
    case WIN_ERROR_IS_LINK: return ERR_IS_LINK;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return ERR_EXISTS;
    case ERROR_DIR_NOT_EMPTY: return ERR_NOT_EMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ERR_NO_SPACE;
    case ERROR_SHARING_VIOLATION: return ERR_BUSY;
    case ERROR_CANCELLED: return ERR_CANCELED;
    case ERROR_NO_UNICODE_TRANSLATION: return ERR_BAD_TEXT;
    case ERROR_NOT_SAME_DEVICE: return ERR_CROSS_DEVICE;
    default: return ERR_OTHER;
    }
}

// The system's own words for an error, in its language, without the line
// end it puts after them. Each text is kept, so that what is returned stays
// valid for the rest of the run.
const char* win_error_text(int code)
{
    static std::mutex guard;
    static std::map<int, std::string> texts;
    const std::lock_guard<std::mutex> lock(guard);
    auto found = texts.find(code);
    if (found != texts.end())
        return found->second.c_str();
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                        nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr)
        text = win_narrow(buffer, length);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty()) {
        // Systems that lack the text of an error the layer gives.
        if (code == WIN_ERROR_IS_DIR)
            text = "An operation is not supported on a directory.";
        else if (code == WIN_ERROR_IS_LINK)
            text = "The operation stopped after reaching a symbolic link.";
        else
            text = "Unknown error " + std::to_string(code);
    }
    return texts.emplace(code, std::move(text)).first->second.c_str();
}

std::time_t win_clock_now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::time_t>(win_fs_time(now).sec);
}

// The zone rules of one year, read once per year: the rules in force at a
// moment, not today's, give its local time, so that a change of daylight
// saving time never shifts a date.
bool zone_of(int year, TIME_ZONE_INFORMATION* zone)
{
    static std::mutex guard;
    static std::map<int, TIME_ZONE_INFORMATION> zones;
    const std::lock_guard<std::mutex> lock(guard);
    auto found = zones.find(year);
    if (found == zones.end()) {
        TIME_ZONE_INFORMATION rules{};
        if (!GetTimeZoneInformationForYear(static_cast<USHORT>(year), nullptr, &rules) &&
            GetTimeZoneInformation(&rules) == TIME_ZONE_ID_INVALID)
            return false;
        found = zones.emplace(year, rules).first;
    }
    *zone = found->second;
    return true;
}

bool win_local_time(std::int64_t when, local_time_t* local)
{
    // FILETIME begins in 1601 and SYSTEMTIME ends in 30827.
    if (when < -11644473600LL || when > 910692730085LL)
        return false;
    const FILETIME moment = win_filetime({when, 0});
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&moment, &utc))
        return false;
    TIME_ZONE_INFORMATION zone;
    SYSTEMTIME broken;
    if (!zone_of(utc.wYear, &zone) || !SystemTimeToTzSpecificLocalTime(&zone, &utc, &broken))
        return false;
    if (broken.wYear != utc.wYear) {
        // The first or last hours of a year: the local year's rules hold.
        if (!zone_of(broken.wYear, &zone) || !SystemTimeToTzSpecificLocalTime(&zone, &utc, &broken))
            return false;
    }
    local->year = broken.wYear;
    local->month = broken.wMonth;
    local->day = broken.wDay;
    local->hour = broken.wHour;
    local->minute = broken.wMinute;
    local->second = broken.wSecond;
    local->weekday = broken.wDayOfWeek;
    return true;
}

void* win_mem_try_alloc(std::size_t size)
{
    return std::malloc(size);
}

void win_mem_free(void* block)
{
    std::free(block);
}

void win_proc_exit(int code)
{
    win_flush_output();
    std::exit(code);
}

}  // namespace

int win_error()
{
    return last_code;
}

void win_set_error(int code)
{
    last_code = code;
}

int win_fail()
{
    last_code = static_cast<int>(GetLastError());
    if (last_code == 0)
        last_code = ERROR_GEN_FAILURE;   // a failure must never read as success
    return -1;
}

int win_fail_status(NTSTATUS status)
{
    last_code = static_cast<int>(RtlNtStatusToDosError(status));
    if (last_code == 0 || last_code == ERROR_MR_MID_NOT_FOUND)
        last_code = ERROR_GEN_FAILURE;
    return -1;
}

void win_fill_process(platform_t* record)
{
    record->last_error = win_last_error;
    record->set_last_error = win_set_last_error;
    record->error_code = win_error_code;
    record->error_kind = win_error_kind;
    record->error_text = win_error_text;
    record->clock_now = win_clock_now;
    record->local_time = win_local_time;
    record->mem_try_alloc = win_mem_try_alloc;
    record->mem_free = win_mem_free;
    record->proc_exit = win_proc_exit;
}

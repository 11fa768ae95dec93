// Errors, clock, memory and process of the POSIX layer.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

std::int64_t posix_write_all(int fd, const void* buffer, std::uint64_t count)
{
    std::uint64_t done = 0;
    const char* bytes = static_cast<const char*>(buffer);
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, static_cast<std::size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<std::uint64_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t posix_read_some(int fd, void* buffer, std::uint64_t count)
{
    for (;;) {
        const ssize_t n = read(fd, buffer, static_cast<std::size_t>(count));
        if (n >= 0 || errno != EINTR)
            return static_cast<std::int64_t>(n);
    }
}

namespace {

int posix_last_error()
{
    return errno;
}

void posix_set_last_error(int code)
{
    errno = code;
}

int posix_error_code(error_kind_t kind)
{
    switch (kind) {
    case ERR_NONE: return 0;
    case ERR_NOT_FOUND: return ENOENT;
    case ERR_IS_DIR: return EISDIR;
    case ERR_IS_LINK: return ELOOP;
    case ERR_EXISTS: return EEXIST;
    case ERR_NOT_EMPTY: return ENOTEMPTY;
    case ERR_NO_SPACE: return ENOSPC;
    case ERR_BUSY: return EBUSY;
    case ERR_CANCELED: return ECANCELED;
    case ERR_BAD_TEXT: return EILSEQ;
    case ERR_CROSS_DEVICE: return EXDEV;
    case ERR_OTHER: break;
    }
    return EIO;
}

error_kind_t posix_error_kind(int code)
{
    switch (code) {
    case 0: return ERR_NONE;
    case ENOENT: return ERR_NOT_FOUND;
    case EISDIR: return ERR_IS_DIR;
    case ELOOP: return ERR_IS_LINK;
    case EEXIST: return ERR_EXISTS;
    case ENOTEMPTY: return ERR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return ERR_NO_SPACE;
    case EBUSY: return ERR_BUSY;
    case ECANCELED: return ERR_CANCELED;
    case EILSEQ: return ERR_BAD_TEXT;
    case EXDEV: return ERR_CROSS_DEVICE;
    default: return ERR_OTHER;
    }
}

const char* posix_error_text(int code)
{
    return std::strerror(code);
}

std::time_t posix_clock_now()
{
    return std::time(nullptr);
}

bool posix_local_time(std::int64_t when, local_time_t* local)
{
    std::tm broken{};
    const std::time_t moment = static_cast<std::time_t>(when);
    if (localtime_r(&moment, &broken) == nullptr)
        return false;
    local->year = broken.tm_year + 1900;
    local->month = broken.tm_mon + 1;
    local->day = broken.tm_mday;
    local->hour = broken.tm_hour;
    local->minute = broken.tm_min;
    local->second = broken.tm_sec;
    local->weekday = broken.tm_wday;
    return true;
}

void* posix_mem_try_alloc(std::size_t size)
{
    return std::malloc(size);
}

void posix_mem_free(void* block)
{
    std::free(block);
}

void posix_proc_exit(int code)
{
    posix_flush_output();
    std::exit(code);
}

}  // namespace

void posix_fill_process(platform_t* record)
{
    record->last_error = posix_last_error;
    record->set_last_error = posix_set_last_error;
    record->error_code = posix_error_code;
    record->error_kind = posix_error_kind;
    record->error_text = posix_error_text;
    record->clock_now = posix_clock_now;
    record->local_time = posix_local_time;
    record->mem_try_alloc = posix_mem_try_alloc;
    record->mem_free = posix_mem_free;
    record->proc_exit = posix_proc_exit;
}

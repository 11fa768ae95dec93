// Path operations of the POSIX layer.
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

// A backslash is an ordinary character of a POSIX name.
bool posix_is_separator(char c)
{
    return c == '/';
}

std::size_t posix_root_length(const char* path)
{
    return path[0] == '/' ? 1 : 0;
}

int posix_stat(const char* path, bool follow, fs_status_t* status)
{
    struct stat info;
    if ((follow ? stat(path, &info) : lstat(path, &info)) != 0)
        return -1;
    status->is_file = S_ISREG(info.st_mode);
    status->is_dir = S_ISDIR(info.st_mode);
    status->is_link = S_ISLNK(info.st_mode);
    status->id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return 0;
}

}  // namespace

bool posix_privileged()
{
    static const bool privileged = geteuid() == 0;
    return privileged;
}

void posix_fill_paths(platform_t* record)
{
    record->separator = '/';
    record->is_separator = posix_is_separator;
    record->root_length = posix_root_length;
    record->option_prefixes = "-";
    record->stat = posix_stat;
}

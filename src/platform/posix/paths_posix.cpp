// Path operations of the POSIX layer.
#include <cerrno>
#include <climits>
#include <cstdlib>
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
    status->read_only = !(info.st_mode & S_IWUSR);
    return 0;
}

int posix_clear_readonly(const char* path)
{
    struct stat info;
    if (lstat(path, &info) != 0)
        return -1;
    if (S_ISLNK(info.st_mode))
        return 0;  // a link has no bits of its own to change
    return chmod(path, (info.st_mode & 07777) | S_IWUSR);
}

int posix_remove_file(const char* path)
{
    return unlink(path);
}

int posix_make_dir(const char* path)
{
    return mkdir(path, 0777);
}

int posix_remove_dir(const char* path)
{
    return rmdir(path);
}

int posix_real_path(const char* path, std::string* resolved)
{
    char* text = realpath(path, nullptr);
    if (text == nullptr)
        return -1;
    resolved->assign(text);
    std::free(text);
    return 0;
}

}  // namespace

void posix_fill_paths(platform_t* record)
{
    record->separator = '/';
    record->is_separator = posix_is_separator;
    record->root_length = posix_root_length;
    record->stat = posix_stat;
    record->clear_readonly = posix_clear_readonly;
    record->remove_file = posix_remove_file;
    record->make_dir = posix_make_dir;
    record->remove_dir = posix_remove_dir;
    record->real_path = posix_real_path;
}

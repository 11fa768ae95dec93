// Directory enumeration of the POSIX layer: one readdir pass, and a status
// query only for the entries the listing keeps.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dos_time.h"
#include "platform/posix/posix_internal.h"

struct fs_dir_t {
    DIR* stream;
    bool have_stat;      // the current entry was already examined by dir_next
    struct stat info;
};

namespace {

void fill_file(dos_dirent_t* entry, const struct stat& info)
{
    entry->attr = (info.st_mode & S_IWUSR) ? ATTR_NORMAL : ATTR_READONLY;
    const dos_stamp_t stamp = dos_from_time(info.st_mtime);
    entry->date = stamp.date;
    entry->time = stamp.time;
    entry->size = static_cast<std::uint64_t>(info.st_size);
    entry->protection = info.st_mode & 0777;
}

void fill_dir(dos_dirent_t* entry)
{
    entry->attr = ATTR_DIRECTORY;
    entry->date = 0;
    entry->time = 0;
    entry->size = 0;
    entry->protection = 0;
}

fs_dir_t* posix_dir_open(const char* path)
{
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    fs_dir_t* dir = new fs_dir_t;
    dir->stream = stream;
    dir->have_stat = false;
    return dir;
}

int posix_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    for (;;) {
        errno = 0;
        const struct dirent* raw = readdir(dir->stream);
        if (raw == nullptr)
            return errno == 0 ? 0 : -1;
        dir->have_stat = false;
        unsigned char type = raw->d_type;
        if (type == DT_UNKNOWN) {
            // Some file systems do not tell the type: ask, without following links.
            if (fstatat(dirfd(dir->stream), raw->d_name, &dir->info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;  // gone since it was read
                return -1;
            }
            if (S_ISDIR(dir->info.st_mode))
                type = DT_DIR;
            else if (S_ISREG(dir->info.st_mode))
                type = DT_REG;
            else
                continue;
            dir->have_stat = true;
        }
        if (type != DT_DIR && type != DT_REG)
            continue;  // links, FIFOs, sockets and devices are never listed
        const std::size_t length = std::strlen(raw->d_name);
        if (length >= sizeof entry->name)
            continue;  // cannot occur where names are at most 255 bytes
        std::memcpy(entry->name, raw->d_name, length + 1);
        if (type == DT_DIR)
            fill_dir(entry);
        else
            entry->attr = 0;
        return 1;
    }
}

int posix_dir_details(fs_dir_t* dir, dos_dirent_t* entry)
{
    if (entry->attr & ATTR_DIRECTORY)
        return 1;  // a sub-directory needs nothing but its directory bit
    if (!dir->have_stat) {
        if (fstatat(dirfd(dir->stream), entry->name, &dir->info, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? 0 : -1;
        dir->have_stat = true;
    }
    if (S_ISDIR(dir->info.st_mode)) {
        fill_dir(entry);
        return 1;
    }
    if (!S_ISREG(dir->info.st_mode))
        return 0;
    fill_file(entry, dir->info);
    return 1;
}

void posix_dir_close(fs_dir_t* dir)
{
    closedir(dir->stream);
    delete dir;
}

}  // namespace

void posix_fill_listing(platform_t* record)
{
    record->dir_open = posix_dir_open;
    record->dir_next = posix_dir_next;
    record->dir_details = posix_dir_details;
    record->dir_close = posix_dir_close;
}

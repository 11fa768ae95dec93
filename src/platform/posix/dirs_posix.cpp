// Directories of the POSIX layer: opened one name at a time without
// following links, listed with one readdir pass and a status query for each
// entry kept, and everything done in them relative to their descriptor.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// An open directory. Its listing reads the raw entries with getdents64 into
// a buffer of its own (Linux-specific; elsewhere readdir on a duplicate of
// the descriptor does the same): one system call for many entries, and none
// to set up or end a stream.
struct fs_dir_t {
    int fd;
    bool path_only = false;    // opened without read permission: it can be walked through, not listed
    int list_fd = -1;          // the descriptor the listing reads, while it is under way
    char* entries = nullptr;   // raw entries read and not yet delivered
    std::size_t filled = 0;
    std::size_t at = 0;
    bool have_stat = false;    // the current entry was already examined by dir_next
    struct stat info;
    bool have_own = false;     // own holds the directory's own status
    struct stat own;
    int remote = -1;           // a file system that may reset written times; -1 not known yet
    bool closes_quietly = false;   // one whose closing of a file never reports a write error
};

namespace {

fs_id_t id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

void fill_entry(dos_dirent_t* entry, const struct stat& info)
{
    if (S_ISDIR(info.st_mode)) {
        entry->attr = ATTR_DIRECTORY;
        entry->size = 0;
    } else {
        entry->attr = (info.st_mode & S_IWUSR) ? ATTR_NORMAL : ATTR_READONLY;
        entry->size = static_cast<std::uint64_t>(info.st_size);
    }
    entry->mtime = {static_cast<std::int64_t>(info.st_mtim.tv_sec), static_cast<std::uint32_t>(info.st_mtim.tv_nsec)};
    entry->id = id_of(info);
}

fs_dir_t* posix_dir_open(fs_dir_t* base, const char* path, bool follow, fs_id_t* id)
{
    const int at = base != nullptr ? base->fd : AT_FDCWD;
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (!follow)
        flags |= O_NOFOLLOW;
    int fd = openat(at, path, flags);
    bool path_only = false;
    if (fd < 0 && errno == EACCES) {
        // A directory we may not read may still be entered and worked in;
        // its listing then fails, and is reported as such.
        fd = openat(at, path, (flags & ~O_RDONLY) | O_PATH);
        path_only = fd >= 0;
        if (fd < 0)
            errno = EACCES;
    }
    if (fd < 0)
        return nullptr;
    fs_dir_t* dir = new fs_dir_t;
    dir->fd = fd;
    dir->path_only = path_only;
    if (id != nullptr) {
        if (fstat(fd, &dir->own) != 0) {
            const int saved = errno;
            close(fd);
            delete dir;
            errno = saved;
            return nullptr;
        }
        dir->have_own = true;
        *id = id_of(dir->own);
    }
    return dir;
}

constexpr std::size_t LISTING_BUFFER = 65536;

void end_listing(fs_dir_t* dir)
{
    const int saved = errno;
    if (dir->list_fd >= 0 && dir->list_fd != dir->fd)
        close(dir->list_fd);
    dir->list_fd = -1;
    delete[] dir->entries;
    dir->entries = nullptr;
    errno = saved;
}

// The next raw entry of the listing under way: 1, 0 at the end, -1 when
// reading failed.
int next_raw(fs_dir_t* dir, const struct dirent64** raw)
{
    if (dir->at >= dir->filled) {
        ssize_t n;
        do
            n = getdents64(dir->list_fd, dir->entries, LISTING_BUFFER);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return n < 0 ? -1 : 0;
        dir->filled = static_cast<std::size_t>(n);
        dir->at = 0;
    }
    *raw = reinterpret_cast<const struct dirent64*>(dir->entries + dir->at);
    dir->at += (*raw)->d_reclen;
    return 1;
}

void posix_dir_close(fs_dir_t* dir)
{
    end_listing(dir);
    const int saved = errno;
    close(dir->fd);
    delete dir;
    errno = saved;
}

int posix_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    if (dir->entries == nullptr) {
        // Every listing starts from the first entry. A directory opened
        // without read permission is opened again for reading, which then
        // fails as the listing should.
        dir->list_fd = dir->path_only ? openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : dir->fd;
        if (dir->list_fd < 0 || (!dir->path_only && lseek(dir->fd, 0, SEEK_SET) < 0))
            return -1;
        dir->entries = new char[LISTING_BUFFER];
        dir->filled = 0;
        dir->at = 0;
    }
    for (;;) {
        const struct dirent64* raw = nullptr;
        const int got = next_raw(dir, &raw);
        if (got <= 0) {
            end_listing(dir);
            return got;
        }
        dir->have_stat = false;
        unsigned char type = raw->d_type;
        if (type == DT_UNKNOWN) {
            // Some file systems do not tell the type: ask, without following links.
            if (fstatat(dir->fd, raw->d_name, &dir->info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;  // gone since it was read
                end_listing(dir);
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
        entry->attr = type == DT_DIR ? ATTR_DIRECTORY : 0;
        return 1;
    }
}

int posix_dir_details(fs_dir_t* dir, dos_dirent_t* entry)
{
    if (!dir->have_stat) {
        if (fstatat(dir->fd, entry->name, &dir->info, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? 0 : -1;
        dir->have_stat = true;
    }
    if (!S_ISDIR(dir->info.st_mode) && !S_ISREG(dir->info.st_mode))
        return 0;
    fill_entry(entry, dir->info);
    return 1;
}

int posix_stat_at(fs_dir_t* dir, const char* name, fs_status_t* status)
{
    struct stat info;
    if (fstatat(dir->fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    status->is_file = S_ISREG(info.st_mode);
    status->is_dir = S_ISDIR(info.st_mode);
    status->is_link = S_ISLNK(info.st_mode);
    status->id = id_of(info);
    return 0;
}

// Unlinking needs no permission on the file itself: nothing is changed on it
// first, which would reach every other name of the same file.
int posix_remove_file_at(fs_dir_t* dir, const char* name)
{
    return unlinkat(dir->fd, name, 0);
}

int posix_remove_dir_at(fs_dir_t* dir, const char* name)
{
    return unlinkat(dir->fd, name, AT_REMOVEDIR);
}

int posix_make_dir_at(fs_dir_t* dir, const char* name)
{
    return mkdirat(dir->fd, name, 0700);
}

// The directory's own status, asked once.
const struct stat* own_status(fs_dir_t* dir)
{
    if (!dir->have_own) {
        if (fstat(dir->fd, &dir->own) != 0)
            return nullptr;
        dir->have_own = true;
    }
    return &dir->own;
}

int posix_set_dir_protection(fs_dir_t* dir, fs_dir_t* like)
{
    const struct stat* current = own_status(dir);
    const struct stat* wanted = own_status(like);
    if (current == nullptr || wanted == nullptr)
        return -1;
    bool owned = current->st_uid == wanted->st_uid && current->st_gid == wanted->st_gid;
    bool changed = false;
    if (!owned && posix_privileged()) {
        if (fchownat(dir->fd, "", wanted->st_uid, wanted->st_gid, AT_EMPTY_PATH) != 0)
            return -1;
        owned = true;
        changed = true;   // a change of owner may have cleared bits
    }
    const mode_t bits = owned ? wanted->st_mode & 07777 : wanted->st_mode & 01777;
    if (!changed && (current->st_mode & 07777) == bits)
        return 0;
    dir->have_own = false;
    if (!dir->path_only)
        return fchmod(dir->fd, bits);
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", dir->fd);
    return chmod(proc_path, bits);
}

}  // namespace

int posix_dir_fd(const fs_dir_t* dir)
{
    return dir != nullptr ? dir->fd : AT_FDCWD;
}

bool posix_dir_device(fs_dir_t* dir, dev_t* device)
{
    const struct stat* own = own_status(dir);
    if (own == nullptr)
        return false;
    *device = own->st_dev;
    return true;
}

// What the file system of `dir` is, asked once.
void classify(fs_dir_t* dir)
{
    if (dir->remote >= 0)
        return;
    // FUSE drivers and SMB clients may set the time of a written file when
    // it is closed, or when its data reaches the server. Local ext2/3/4, XFS
    // and tmpfs have nothing to write when a file is closed.
    constexpr long FUSE = 0x65735546, CIFS = 0xff534d42, SMB2 = 0xfe534d42, SMB = 0x517b;
    constexpr long EXT = 0xef53, XFS = 0x58465342, TMPFS = 0x01021994;
    struct statfs info;
    const bool known = fstatfs(dir->fd, &info) == 0;
    dir->remote = known && (info.f_type == FUSE || info.f_type == CIFS || info.f_type == SMB2 || info.f_type == SMB);
    dir->closes_quietly = known && (info.f_type == EXT || info.f_type == XFS || info.f_type == TMPFS);
}

bool posix_dir_remote(fs_dir_t* dir)
{
    classify(dir);
    return dir->remote == 1;
}

bool posix_dir_closes_quietly(fs_dir_t* dir)
{
    classify(dir);
    return dir->closes_quietly;
}

void posix_fill_dirs(platform_t* record)
{
    record->dir_open = posix_dir_open;
    record->dir_close = posix_dir_close;
    record->dir_next = posix_dir_next;
    record->dir_details = posix_dir_details;
    record->stat_at = posix_stat_at;
    record->remove_file_at = posix_remove_file_at;
    record->remove_dir_at = posix_remove_dir_at;
    record->make_dir_at = posix_make_dir_at;
    record->set_dir_protection = posix_set_dir_protection;
}

// Directories of the POSIX layer: opened one name at a time without
// following links, listed with one pass over the raw entries and a status
// query for each entry kept, and everything done in them relative to their
// descriptor.
//
// Linux-specific, with what other POSIX systems (macOS, the BSDs) get instead:
// - getdents64 reads many raw entries per call into a buffer of the
//   directory's own; elsewhere readdir reads them through a stream on a
//   duplicate of the descriptor.
// - O_PATH opens a directory that may not be read, so that the walk can
//   still work in it (its listing is reported as failed), and /proc/self/fd
//   gives such a directory its bits; elsewhere opening it is refused.
// - statfs magic numbers tell the file system: how it looks names up (and
//   the casefolding flag of ext4 and F2FS directories), whether it may set
//   the time of a written file itself, and whether closing a file can report
//   a write error. Elsewhere the walk probes names, and every file system is
//   taken for one that may reset times and report errors on close.
// - renameat2 with RENAME_NOREPLACE refuses to replace; elsewhere the name
//   is looked at just before the rename.
#include "platform/posix/posix_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#if CALVENTO_HAVE_STATFS_MAGIC
#include <sys/vfs.h>
#endif
#if CALVENTO_HAVE_CASEFOLD_FLAG
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/posix/posix_internal.h"

// An open directory, and the listing under way in it.
struct fs_dir_t {
    int fd;
    bool path_only = false;    // opened without read permission: it can be walked through, not listed
    bool listing = false;      // a listing is under way
#if CALVENTO_HAVE_GETDENTS64
    int list_fd = -1;          // the descriptor the listing reads
    char* entries = nullptr;   // raw entries read and not yet delivered
    std::size_t filled = 0;
    std::size_t at = 0;
#else
    DIR* stream = nullptr;     // on a duplicate of fd, or on fd opened again for reading
#endif
    bool have_stat = false;    // the current entry was already examined by dir_next
    struct stat info;
    // What is learnt of the directory when first needed; copies made on
    // several threads at once ask for it, under `learnt`.
    std::mutex learnt;
    bool have_own = false;     // own holds the directory's own status
    struct stat own;
    int remote = -1;           // a file system that may reset written times; -1 not known yet
    bool write_added = false;  // owner write added for a change, to be taken back (posix_open_for_owner)
    mode_t mode_before = 0;    // the bits it had before
    bool closes_quietly = false;   // one whose closing of a file never reports a write error
    std::uint64_t passed_over = 0; // entries the listing did not deliver (links and special files)
};

namespace {

#if CALVENTO_HAVE_STATFS_MAGIC
// File system types, by the magic number that statfs gives.
constexpr long FUSE = 0x65735546, CIFS = static_cast<long>(0xff534d42), SMB2 = static_cast<long>(0xfe534d42),
               SMB = 0x517b, EXT_FAMILY = 0xEF53, F2FS = static_cast<long>(0xF2F52010), XFS = 0x58465342,
               BTRFS = static_cast<long>(0x9123683E), TMPFS = 0x01021994, ZFS = 0x2FC12FC1, MSDOS = 0x4d44,
               EXFAT = 0x2011BAB0;
#endif

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
    const struct timespec& mtime = posix_mtime(info);
    entry->mtime = {static_cast<std::int64_t>(mtime.tv_sec), static_cast<std::uint32_t>(mtime.tv_nsec)};
    entry->id = id_of(info);
    entry->protection = posix_protection(info);
    const struct timespec& ctime = posix_ctime(info);
    entry->changed = static_cast<std::int64_t>(ctime.tv_sec) * 1000000000 + ctime.tv_nsec;
}

fs_dir_t* posix_dir_open(fs_dir_t* base, const char* path, bool follow, fs_id_t* id)
{
    const int at = base != nullptr ? base->fd : AT_FDCWD;
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (!follow)
        flags |= O_NOFOLLOW;
    int fd = openat(at, path, flags);
    bool path_only = false;
#if CALVENTO_HAVE_O_PATH
    if (fd < 0 && errno == EACCES) {
        // A directory we may not read may still be entered and worked in;
        // its listing then fails, and is reported as such. Without O_PATH
        // the refusal stands.
        fd = openat(at, path, (flags & ~O_RDONLY) | O_PATH);
        path_only = fd >= 0;
        if (fd < 0)
            errno = EACCES;
    }
#endif
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

// The descriptor a listing reads: the directory's own or, for one opened
// only as a path, the directory opened again for reading, which then fails
// as its listing should.
int listing_fd(fs_dir_t* dir)
{
    return dir->path_only ? openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : dir->fd;
}

// What a raw entry tells of what it is.
enum class raw_type_t { unknown, directory, file, other };

#if CALVENTO_HAVE_GETDENTS64 || CALVENTO_HAVE_DIRENT_D_TYPE
raw_type_t type_of(unsigned char d_type)
{
    switch (d_type) {
    case DT_UNKNOWN: return raw_type_t::unknown;   // some file systems do not tell
    case DT_DIR: return raw_type_t::directory;
    case DT_REG: return raw_type_t::file;
    default: return raw_type_t::other;
    }
}
#endif

#if CALVENTO_HAVE_GETDENTS64
// One system call for many entries, and none to set up or end a stream.
constexpr std::size_t LISTING_BUFFER = 65536;

// Starts a listing from the first entry; false when it cannot be read.
bool begin_listing(fs_dir_t* dir)
{
    dir->list_fd = listing_fd(dir);
    if (dir->list_fd < 0 || (!dir->path_only && lseek(dir->fd, 0, SEEK_SET) < 0))
        return false;
    dir->entries = new char[LISTING_BUFFER];
    dir->filled = 0;
    dir->at = 0;
    dir->listing = true;
    return true;
}

void end_listing(fs_dir_t* dir)
{
    const int saved = errno;
    if (dir->list_fd >= 0 && dir->list_fd != dir->fd)
        close(dir->list_fd);
    dir->list_fd = -1;
    delete[] dir->entries;
    dir->entries = nullptr;
    dir->listing = false;
    errno = saved;
}

// The next raw entry of the listing under way: 1, 0 at the end, -1 when
// reading failed.
int next_raw(fs_dir_t* dir, const char** name, raw_type_t* type)
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
    const auto* raw = reinterpret_cast<const struct dirent64*>(dir->entries + dir->at);
    dir->at += raw->d_reclen;
    *name = raw->d_name;
    *type = type_of(raw->d_type);
    return 1;
}
#else
// A stream of its own: the walk goes on using the directory's descriptor
// for everything else, and the stream's closing leaves it open.
bool begin_listing(fs_dir_t* dir)
{
    const int fd = dir->path_only ? listing_fd(dir) : fcntl(dir->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return false;
    dir->stream = fdopendir(fd);
    if (dir->stream == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    // The duplicate shares its position with the directory's descriptor,
    // which an earlier listing left at the end.
    rewinddir(dir->stream);
    dir->listing = true;
    return true;
}

void end_listing(fs_dir_t* dir)
{
    const int saved = errno;
    if (dir->stream != nullptr)
        closedir(dir->stream);
    dir->stream = nullptr;
    dir->listing = false;
    errno = saved;
}

int next_raw(fs_dir_t* dir, const char** name, raw_type_t* type)
{
    errno = 0;
    const struct dirent* raw = readdir(dir->stream);
    if (raw == nullptr)
        return errno != 0 ? -1 : 0;
    *name = raw->d_name;
#if CALVENTO_HAVE_DIRENT_D_TYPE
    *type = type_of(raw->d_type);
#else
    *type = raw_type_t::unknown;
#endif
    return 1;
}
#endif

void posix_dir_close(fs_dir_t* dir)
{
    if (dir->write_added)
        posix_put_back(dir);
    end_listing(dir);
    const int saved = errno;
    close(dir->fd);
    delete dir;
    errno = saved;
}

int posix_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    // Every listing starts from the first entry.
    if (!dir->listing) {
        dir->passed_over = 0;
        if (!begin_listing(dir))
            return -1;
    }
    for (;;) {
        const char* name = nullptr;
        raw_type_t type = raw_type_t::unknown;
        const int got = next_raw(dir, &name, &type);
        if (got <= 0) {
            end_listing(dir);
            return got;
        }
        dir->have_stat = false;
        if (type == raw_type_t::unknown) {
            // Not told by the file system (or the system): ask, without
            // following links.
            if (fstatat(dir->fd, name, &dir->info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;  // gone since it was read
                end_listing(dir);
                return -1;
            }
            if (S_ISDIR(dir->info.st_mode))
                type = raw_type_t::directory;
            else if (S_ISREG(dir->info.st_mode))
                type = raw_type_t::file;
            else {
                ++dir->passed_over;
                continue;
            }
            dir->have_stat = true;
        }
        if (type != raw_type_t::directory && type != raw_type_t::file) {
            ++dir->passed_over;
            continue;  // links, FIFOs, sockets and devices are never listed
        }
        const std::size_t length = std::strlen(name);
        if (length >= sizeof entry->name)
            continue;  // cannot occur where names are at most 255 bytes
        std::memcpy(entry->name, name, length + 1);
        entry->attr = type == raw_type_t::directory ? ATTR_DIRECTORY : 0;
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

std::uint64_t posix_dir_passed_over(fs_dir_t* dir)
{
    return dir->passed_over;
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
    return posix_change_in(dir, [&] { return unlinkat(dir->fd, name, 0); });
}

int posix_remove_dir_at(fs_dir_t* dir, const char* name)
{
    return posix_change_in(dir, [&] { return unlinkat(dir->fd, name, AT_REMOVEDIR); });
}

int posix_make_dir_at(fs_dir_t* dir, const char* name)
{
    return posix_change_in(dir, [&] { return mkdirat(dir->fd, name, 0700); });
}

// A directory made by its path, private to its owner like one made in an
// open directory, until it is given its source's protection. Where the
// directory it goes into refuses, that one is opened as the path leads, so
// that it can take its owner's write bit for the moment of the creation.
int posix_make_dir(const char* path)
{
    if (mkdir(path, 0700) == 0)
        return 0;
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    if (errno != EACCES || *name == '\0')
        return -1;
    const std::string parent = slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
    fs_dir_t* dir = posix_dir_open(nullptr, parent.c_str(), true, nullptr);
    if (dir == nullptr) {
        errno = EACCES;
        return -1;
    }
    const int result = posix_change_in(dir, [&] { return mkdirat(dir->fd, name, 0700); });
    posix_dir_close(dir);   // takes the bit back
    return result;
}

// The directory's own status, asked once.
const struct stat* own_status(fs_dir_t* dir)
{
    const std::lock_guard<std::mutex> lock(dir->learnt);
    if (!dir->have_own) {
        if (fstat(dir->fd, &dir->own) != 0)
            return nullptr;
        dir->have_own = true;
    }
    return &dir->own;
}

// Gives the open directory these permission bits, also one opened only as
// a path, which fchmod refuses.
int change_mode(fs_dir_t* dir, mode_t bits)
{
    {
        const std::lock_guard<std::mutex> lock(dir->learnt);
        dir->have_own = false;
    }
    if (!dir->path_only)
        return fchmod(dir->fd, bits);
#if CALVENTO_HAVE_PROC_SELF
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", dir->fd);
    return chmod(proc_path, bits);
#else
    errno = EBADF;
    return -1;
#endif
}

// Gives the open directory this owner and group, also one opened only as a
// path, which fchown refuses.
int change_owner(fs_dir_t* dir, uid_t owner, gid_t group)
{
#if CALVENTO_HAVE_AT_EMPTY_PATH
    return fchownat(dir->fd, "", owner, group, AT_EMPTY_PATH);
#else
    return fchown(dir->fd, owner, group);
#endif
}

// The one directory that holds an owner write bit added for a change, by
// the handle that added it. The bits belong to the directory, which other
// handles may reach too (the listing threads open directories ahead of the
// walk): what is taken back is decided by the bits the directory has then,
// never by a copy of them kept by a handle.
std::mutex opened_guard;
fs_dir_t* opened_dir = nullptr;

// Forgets the bit added to `dir` without touching its bits. Called with
// opened_guard held.
void forget_added(fs_dir_t* dir)
{
    dir->write_added = false;
    if (opened_dir == dir) {
        opened_dir = nullptr;
        posix_note_opened_dir(-1, false, 0);
    }
}

// Takes back the bit added to `dir`. Only what the run added goes: bits
// that anyone else has given since stay as they were given. Called with
// opened_guard held; errno stays.
void take_back(fs_dir_t* dir)
{
    const int saved = errno;
    forget_added(dir);
    struct stat info;
    if (fstat(dir->fd, &info) == 0 && (info.st_mode & 07777) == (dir->mode_before | S_IWUSR))
        change_mode(dir, dir->mode_before);
    errno = saved;
}

// Whether the run's user is in group `gid`, as a change of bits asks.
bool in_group(gid_t gid)
{
    if (gid == getegid())
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Whether the run may open the directory of status `info` for its changes
// by adding its owner's write bit: the run's own directory lacking that
// bit, whose setgid bit a change of bits would keep (a group that is not
// the run's would lose it).
bool owner_may_open(const struct stat& info)
{
    return info.st_uid == geteuid() && (info.st_mode & S_IWUSR) == 0 &&
           ((info.st_mode & S_ISGID) == 0 || in_group(info.st_gid));
}

// The system's own answer for the effective user, which weighs ACLs, a
// read-only mount (EROFS, for root too) and an immutable directory (EPERM)
// as a change would; root passes the bits. A refusal that
// posix_open_for_owner would lift (the owner's write bit alone is missing,
// and the search bit is there) is no refusal.
int posix_may_change(fs_dir_t* dir)
{
    if (faccessat(dir->fd, ".", W_OK | X_OK, AT_EACCESS) == 0)
        return 0;
    if (errno != EACCES)
        return -1;
    struct stat info;
    if (fstat(dir->fd, &info) == 0 && owner_may_open(info) && (info.st_mode & S_IXUSR) != 0)
        return 0;
    errno = EACCES;
    return -1;
}

int posix_set_dir_protection(fs_dir_t* dir, fs_dir_t* like)
{
    // Its attributes may need the owner's bit for a while: no copy takes
    // it away meanwhile.
    const std::lock_guard<std::recursive_mutex> turn(posix_owner_turn);
    const struct stat* current = own_status(dir);
    const struct stat* wanted = own_status(like);
    if (current == nullptr || wanted == nullptr)
        return -1;
    bool owned = current->st_uid == wanted->st_uid && current->st_gid == wanted->st_gid;
    bool changed = false;
    if (!owned && posix_privileged()) {
        if (change_owner(dir, wanted->st_uid, wanted->st_gid) != 0)
            return -1;
        owned = true;
        changed = true;   // a change of owner may have cleared bits
    }
    mode_t bits = owned ? wanted->st_mode & 07777 : wanted->st_mode & 01777;
    // The attributes and ACLs before the bits, which an ACL changes; a
    // directory refused for want of its write bit is opened as for any
    // change (and its bits given below). A destination that keeps none
    // goes without: the directory then grants no more than its source's
    // access ACL.
    std::string lost_acl;
    const int carried = posix_carry_attributes(
        {dir->fd, dir->path_only}, {like->fd, like->path_only},
        [](void* context) { return posix_open_for_owner(static_cast<fs_dir_t*>(context)); }, dir, &changed,
        &lost_acl);
    if (carried < 0)
        return -1;
    if (!lost_acl.empty()) {
        bits = posix_without_acl(bits, lost_acl);
        changed = true;
    }
    // The bits given now are the directory's own: a bit that the run added
    // for its changes is not taken back afterwards, unless they cannot be
    // given.
    const std::lock_guard<std::mutex> lock(opened_guard);
    const bool added = dir->write_added;
    forget_added(dir);
    if (!changed && (current->st_mode & 07777) == bits)
        return 0;
    const int result = change_mode(dir, bits);
    if (result != 0 && added) {
        const int saved = errno;
        change_mode(dir, dir->mode_before);
        errno = saved;
    }
    return result;
}

// A hidden name for an entry between the two steps of a change of case.
std::string interim_name(unsigned attempt)
{
    static const long pid = static_cast<long>(getpid());
    return ".calvento-" + std::to_string(pid) + "-" + std::to_string(attempt) + ".case";
}

// Renames `from` of the directory `from_fd` to `to` of the directory
// `to_fd` unless `to` is taken.
int rename_free(int from_fd, const char* from, int to_fd, const char* to)
{
#if CALVENTO_HAVE_RENAMEAT2
    if (renameat2(from_fd, from, to_fd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif
    // No way to refuse a replacement here (a system without renameat2, or a
    // file system that refuses the flag): the name was free a moment ago,
    // which must do.
    struct stat info;
    if (fstatat(to_fd, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(from_fd, from, to_fd, to);
}

// Whether a directory of `dir` may be renamed to spell it anew: not on FUSE,
// where a driver for FAT has been seen to lose everything in a directory it
// renames, nor where the file system cannot be told.
bool renames_directories_safely([[maybe_unused]] fs_dir_t* dir)
{
#if CALVENTO_HAVE_STATFS_MAGIC
    struct statfs fs;
    return fstatfs(dir->fd, &fs) != 0 || fs.f_type != FUSE;
#else
    return false;
#endif
}

int posix_respell_at(fs_dir_t* dir, const char* from, const char* to)
{
    struct stat info;
    if (fstatat(dir->fd, to, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return -1;
        return posix_change_in(dir, [&] { return rename_free(dir->fd, from, dir->fd, to); });
    }
    // A directory keeps its spelling where renaming it is not known to be safe.
    if (S_ISDIR(info.st_mode) && !renames_directories_safely(dir))
        return 1;
    // The new spelling finds the entry itself, where the kernel takes a
    // rename between two names of one entry for done: through a hidden
    // name, the entry is spelt anew. Neither step replaces anything.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string interim = interim_name(attempt);
        if (posix_change_in(dir, [&] { return rename_free(dir->fd, from, dir->fd, interim.c_str()); }) != 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        if (posix_change_in(dir, [&] { return rename_free(dir->fd, interim.c_str(), dir->fd, to); }) == 0)
            return 0;
        const int saved = errno;
        renameat(dir->fd, interim.c_str(), dir->fd, from);
        errno = saved;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

// Moves `from` of `dir` to `to` of `to_dir` unless `to` is taken.
int posix_move_at(fs_dir_t* dir, const char* from, fs_dir_t* to_dir, const char* to)
{
    const int to_fd = posix_dir_fd(to_dir);
    return posix_change_in(dir, [&] { return rename_free(dir->fd, from, to_fd, to); });
}

case_rule_t posix_case_rule([[maybe_unused]] fs_dir_t* dir, bool* per_directory)
{
    *per_directory = false;
#if !CALVENTO_HAVE_STATFS_MAGIC
    // Nothing tells the file system here: a look at the names does.
    return CASE_UNKNOWN;
#else
    struct statfs info;
    if (fstatfs(dir->fd, &info) != 0)
        return CASE_UNKNOWN;
    switch (info.f_type) {
    case EXT_FAMILY:
    case F2FS: {
#if CALVENTO_HAVE_CASEFOLD_FLAG
        // Casefolding is a flag of each directory here.
        *per_directory = true;
        int flags = 0;
        const int fd = listing_fd(dir);
        const bool known = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (fd >= 0 && fd != dir->fd)
            close(fd);
        return known && (flags & FS_CASEFOLD_FL) ? CASE_FOLDS : CASE_EXACT;
#else
        // Casefolding is a flag of each directory here, which these system
        // headers cannot read: a look at the names tells.
        return CASE_UNKNOWN;
#endif
    }
    case XFS:
    case BTRFS:
    case TMPFS:
    case ZFS:
        return CASE_EXACT;
    case MSDOS:
    case EXFAT:
        return CASE_FOLDS;
    default:
        // FUSE, network shares, NTFS and HFS+ drivers: it depends on the
        // server or the mount, which a look at the names tells.
        return CASE_UNKNOWN;
    }
#endif
}

// An advisory lock of the directory's open file description: another run
// opens the directory anew and cannot take it, while listing and changing
// the directory stay open to everyone. The system drops it with the last
// descriptor, so that no run that ended, however it ended, leaves it held.
// A directory open only to be walked through (O_PATH) cannot be locked,
// nor can one on a file system without locks; both are no lock offered.
int posix_lock_dir(fs_dir_t* dir)
{
    int done;
    do
        done = flock(dir->fd, LOCK_EX | LOCK_NB);
    while (done != 0 && errno == EINTR);
    if (done == 0)
        return 1;
    return errno == EWOULDBLOCK ? 0 : -1;
}

}  // namespace

std::recursive_mutex posix_owner_turn;

bool posix_fat_family([[maybe_unused]] int fd)
{
#if CALVENTO_HAVE_STATFS_MAGIC
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && (fs.f_type == MSDOS || fs.f_type == EXFAT);
#else
    return false;
#endif
}

bool posix_open_for_owner(fs_dir_t* dir)
{
    const std::lock_guard<std::mutex> lock(opened_guard);
    // Another thread's change in the same directory may have added it since
    // this thread's change was refused: the bits before are the ones it
    // kept, and the directory no longer looks as if it needed the bit.
    if (dir->write_added && opened_dir == dir)
        return true;
    struct stat info;
    // Only the owner's write bit is ever added, and only where adding it
    // changes nothing else: a setgid bit that a change of bits would clear
    // (the group is not the run's) stays, and so does the refusal.
    const bool mine = fstat(dir->fd, &info) == 0 && owner_may_open(info);
    if (!mine) {
        errno = EACCES;
        return false;
    }
    // One directory at a time: a crash leaves at most one with the bit.
    if (opened_dir != nullptr && opened_dir != dir)
        take_back(opened_dir);
    const mode_t bits = info.st_mode & 07777;
    if (change_mode(dir, bits | S_IWUSR) != 0) {
        errno = EACCES;
        return false;
    }
    dir->write_added = true;
    dir->mode_before = bits;
    opened_dir = dir;
    posix_note_opened_dir(dir->fd, dir->path_only, bits);
    return true;
}

void posix_put_back(fs_dir_t* dir)
{
    const std::lock_guard<std::mutex> lock(opened_guard);
    if (dir->write_added)
        take_back(dir);
}

int posix_dir_fd(const fs_dir_t* dir)
{
    return dir != nullptr ? dir->fd : AT_FDCWD;
}

bool posix_dir_device(fs_dir_t* dir, dev_t* device)
{
    if (own_status(dir) == nullptr)
        return false;
    const std::lock_guard<std::mutex> lock(dir->learnt);
    *device = dir->own.st_dev;
    return true;
}

// What the file system of `dir` is, asked once.
void classify(fs_dir_t* dir)
{
    const std::lock_guard<std::mutex> lock(dir->learnt);
    if (dir->remote >= 0)
        return;
    // FUSE drivers and SMB clients may set the time of a written file when
    // it is closed, or when its data reaches the server. Local ext2/3/4, XFS
    // and tmpfs have nothing to write when a file is closed.
#if CALVENTO_HAVE_STATFS_MAGIC
    struct statfs info;
    const bool known = fstatfs(dir->fd, &info) == 0;
    dir->remote = known && (info.f_type == FUSE || info.f_type == CIFS || info.f_type == SMB2 || info.f_type == SMB);
    dir->closes_quietly = known && (info.f_type == EXT_FAMILY || info.f_type == XFS || info.f_type == TMPFS);
#else
    // Where the file system cannot be told, it is taken for one that may do
    // both: a time that did not hold is set again, and every closing is
    // checked.
    dir->remote = 1;
    dir->closes_quietly = false;
#endif
}

bool posix_dir_remote(fs_dir_t* dir)
{
    classify(dir);
    const std::lock_guard<std::mutex> lock(dir->learnt);
    return dir->remote == 1;
}

bool posix_dir_closes_quietly(fs_dir_t* dir)
{
    classify(dir);
    const std::lock_guard<std::mutex> lock(dir->learnt);
    return dir->closes_quietly;
}

void posix_fill_dirs(platform_t* record)
{
    record->dir_open = posix_dir_open;
    record->dir_close = posix_dir_close;
    record->dir_next = posix_dir_next;
    record->dir_details = posix_dir_details;
    record->dir_passed_over = posix_dir_passed_over;
    record->stat_at = posix_stat_at;
    record->remove_file_at = posix_remove_file_at;
    record->remove_dir_at = posix_remove_dir_at;
    record->make_dir_at = posix_make_dir_at;
    record->make_dir = posix_make_dir;
    record->set_dir_protection = posix_set_dir_protection;
    record->set_file_protection = posix_set_file_protection;
    record->respell_at = posix_respell_at;
    record->move_at = posix_move_at;
    record->case_rule = posix_case_rule;
    record->lock_dir = posix_lock_dir;
    record->may_change = posix_may_change;
}

// Shared by the files of the POSIX layer, and by nothing else.
//
// Each file of the layer includes this header after its system headers: in
// the generic build it makes the calls that only Linux offers unusable from
// here on, so that the build fails on Linux where it would fail on macOS or a
// BSD.
#pragma once

#include "platform/posix/posix_config.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/platform.h"

// Each file fills the fields of the record that it supplies.
void posix_fill_dirs(platform_t* record);
void posix_fill_paths(platform_t* record);
void posix_fill_copy(platform_t* record);
void posix_fill_text(platform_t* record);
void posix_fill_console(platform_t* record);
void posix_fill_process(platform_t* record);
void posix_fill_mounts(platform_t* record);

// The descriptor of an open directory (AT_FDCWD for nullptr).
int posix_dir_fd(const fs_dir_t* dir);

// The device of the file system `dir` is on, as the files made in it have
// it; false when it cannot be told.
bool posix_dir_device(fs_dir_t* dir, dev_t* device);

// Whether the file system of `dir` may set the time of a written file
// after the program has set it (FUSE drivers, SMB clients).
bool posix_dir_remote(fs_dir_t* dir);

// Whether closing a file written in `dir` never reports a write error
// (local file systems that write nothing then).
bool posix_dir_closes_quietly(fs_dir_t* dir);

// Whether the run may give files and directories their source's owner.
bool posix_privileged();

// After a change in `dir` was refused with EACCES: where `dir` belongs to
// the run's user and lacks its owner's write bit, adds that bit alone and
// returns true, so that the change can be made once more. One directory
// at a time holds the bit: it goes again when that directory is closed,
// when another directory needs it, or when set_dir_protection gives the
// directory its source's bits. Otherwise returns false with errno EACCES.
bool posix_open_for_owner(fs_dir_t* dir);

// Takes back the bit that posix_open_for_owner added to `dir`, if any;
// errno stays.
void posix_put_back(fs_dir_t* dir);

// Makes `change`, a system call on an entry of `dir` that gives a negative
// value and sets errno when it fails. A change refused only because the
// run's own directory lacks its owner's write bit is made once more with
// the bit added (posix_open_for_owner); without any refusal this costs
// nothing.
// Held while a change is made once more with the bit added: the copies
// made on several threads at once take turns, so that none takes the bit
// away from a directory where another is about to make its change.
extern std::recursive_mutex posix_owner_turn;

template <typename Change>
auto posix_change_in(fs_dir_t* dir, Change change)
{
    auto result = change();
    if (result >= 0 || errno != EACCES || dir == nullptr)
        return result;
    const std::lock_guard<std::recursive_mutex> turn(posix_owner_turn);
    if (!posix_open_for_owner(dir))
        return result;
    result = change();
    if (result < 0 && errno == EACCES)
        posix_put_back(dir);   // refused for another reason: the bit gained nothing
    return result;
}

// Remembers a hidden file of a copy in progress (`name` in the directory
// `dir_fd`), so that an interrupt can remove it, until it is forgotten
// (the file is gone or has its own name); call before the file is made,
// and posix_created_pending_temp once the call that makes it has returned,
// made or not. Gives the note's number, or -1 when none could be kept.
// Safe to read from a signal handler.
int posix_note_pending_temp(int dir_fd, const char* name);
void posix_created_pending_temp(int slot);
void posix_forget_pending_temp(int slot);

// Remembers the directory to which the run has added its owner's write bit
// (its descriptor `dir_fd`, opened only as a path when `path_only`, and the
// bits it had before; -1: none), so that an interrupt can put them back.
// Safe to read from a signal handler.
void posix_note_opened_dir(int dir_fd, bool path_only, unsigned mode);

// Writes all of `count` bytes, retrying after interrupts; the count
// written, which is short only when the device took no more, or -1.
std::int64_t posix_write_all(int fd, const void* buffer, std::uint64_t count);

// Reads up to `count` bytes, retrying after interrupts.
std::int64_t posix_read_some(int fd, void* buffer, std::uint64_t count);

// Reads the whole file `path` into `contents`; fails also when reading
// stops early, leaving what was read.
int posix_read_text(const char* path, std::string* contents);

// Writes out what standard output holds.
void posix_flush_output();

// The last-write time of a status, spelt st_mtim by POSIX and st_mtimespec
// by macOS.
inline const struct timespec& posix_mtime(const struct stat& info)
{
#if CALVENTO_HAVE_STAT_ST_MTIM
    return info.st_mtim;
#else
    return info.st_mtimespec;
#endif
}

// The last change of a status, guards included: st_ctim, st_ctimespec.
inline const struct timespec& posix_ctime(const struct stat& info)
{
#if CALVENTO_HAVE_STAT_ST_MTIM
    return info.st_ctim;
#else
    return info.st_ctimespec;
#endif
}

// Whether the open file `fd` is on a FAT or exFAT file system, whose files
// have the owner and the bits of the mount (false where the system cannot
// tell).
bool posix_fat_family(int fd);

// The protection value of a listed entry (dos_dirent_t): its permission
// bits, without those that a run without privileges never carries onto a
// copy of a file of another owner or group.
std::uint16_t posix_protection(const struct stat& info);

// The file operation set_file_protection.
int posix_set_file_protection(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                              fs_dir_t* like_dir, const char* like_name);

// A file or directory whose extended attributes are read or changed: open
// as `fd`, or only as a path (O_PATH), then reached through /proc/self/fd.
struct posix_node_t {
    int fd = -1;
    bool path_only = false;
};

// Gives `node` the extended attributes of `like` that a copy carries (its
// POSIX ACLs among them) where they differ, and takes from it those that
// `like` lacks. `open_up` is called once where a change is refused for
// want of write permission (user attributes need it), and tells whether
// the node was opened for the change; the caller gives the final bits
// afterwards. `changed` tells whether anything was set or removed. Returns
// 0; 1 when the destination refused some, the source's access ACL then in
// `lost_acl` when it was one of them; -1 with errno on failure. Without
// extended attributes on this system: 0, nothing done.
int posix_carry_attributes(posix_node_t node, posix_node_t like, bool (*open_up)(void* context), void* context,
                           bool* changed, std::string* lost_acl);

// The access ACL of `like`, in the form of its extended attribute; empty
// where it has none or where it cannot be read.
std::string posix_access_acl(posix_node_t like);

// The bits `bits` of a copy that lacks its source's access ACL `acl`,
// granting no more than the ACL does: the group's bits come from its
// owning-group entry, not from its mask, which the group bits of a file
// with an ACL show.
mode_t posix_without_acl(mode_t bits, const std::string& acl);

#if CALVENTO_POSIX_GENERIC
// What only Linux offers, unusable in the generic build: a use that no
// configure check guards fails to compile here as it would elsewhere.
#undef O_PATH
#undef O_TMPFILE
#undef AT_EMPTY_PATH
#undef SEEK_DATA
#undef SEEK_HOLE
#undef RENAME_NOREPLACE
#undef STATX_MNT_ID
#undef AT_STATX_DONT_SYNC
#undef M_ARENA_MAX
#undef FS_IOC_GETFLAGS
#undef FS_CASEFOLD_FL
#pragma GCC poison O_PATH O_TMPFILE AT_EMPTY_PATH SEEK_DATA SEEK_HOLE RENAME_NOREPLACE STATX_MNT_ID
#pragma GCC poison AT_STATX_DONT_SYNC M_ARENA_MAX FS_IOC_GETFLAGS FS_CASEFOLD_FL
#pragma GCC poison getdents64 dirent64 copy_file_range syncfs renameat2 statx statfs fstatfs mallopt
#endif

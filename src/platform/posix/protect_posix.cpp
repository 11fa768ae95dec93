// What guards a copy already in place on POSIX systems: its permission
// bits, and its owner and group on a privileged run, compared at every run
// through the listing's protection value and the files' change times, and
// corrected in place without copying the data again.
//
// Linux-specific, with what other POSIX systems get instead:
// - O_PATH opens the copy without reading it (nothing happens on open, not
//   even to a device put in its place), and /proc/self/fd changes its bits;
//   elsewhere it is opened for reading or writing, without waiting, and
//   where its owner may do neither it is changed by its name, never
//   following a link (AT_SYMLINK_NOFOLLOW, which the BSDs and macOS take
//   for a change of bits too).
// - AT_EMPTY_PATH changes the owner of a file opened so; elsewhere fchown.
#include "platform/posix/posix_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

#define OPEN_AS_PATH (CALVENTO_HAVE_O_PATH && CALVENTO_HAVE_PROC_SELF && CALVENTO_HAVE_AT_EMPTY_PATH)

// Whether a refusal with `error` says that the file system does not keep
// such a thing at all (FUSE servers may answer ENOSYS).
bool not_kept(int error)
{
    return error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

// The file systems found not to keep permission bits, by device, so that
// the files of a FAT disk are not tried again one by one at every run.
std::mutex bits_guard;
std::vector<dev_t> without_bits;

bool keeps_no_bits(dev_t device)
{
    const std::lock_guard<std::mutex> lock(bits_guard);
    return std::find(without_bits.begin(), without_bits.end(), device) != without_bits.end();
}

void note_no_bits(dev_t device)
{
    const std::lock_guard<std::mutex> lock(bits_guard);
    if (!std::count(without_bits.begin(), without_bits.end(), device))
        without_bits.push_back(device);
}

// A copy whose protection is changed: open as `fd`, or, where it could not
// be opened, by its `name` in the directory `dir_fd` (fd -1).
struct copy_node_t {
    int fd = -1;
    int dir_fd = -1;
    const char* name = nullptr;
};

int status_of(const copy_node_t& node, struct stat* info)
{
    return node.fd >= 0 ? fstat(node.fd, info) : fstatat(node.dir_fd, node.name, info, AT_SYMLINK_NOFOLLOW);
}

// Opens the file `name` of `dir` to change what guards it, never through a
// link and never as anything but a regular file: -1 with ENOENT when it is
// no longer one.
int open_copy(fs_dir_t* dir, const char* name, struct stat* info, copy_node_t* node)
{
    node->dir_fd = posix_dir_fd(dir);
    node->name = name;
#if OPEN_AS_PATH
    node->fd = openat(node->dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
#else
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    node->fd = openat(node->dir_fd, name, O_RDONLY | flags);
    if (node->fd < 0 && errno == EACCES)
        node->fd = openat(node->dir_fd, name, O_WRONLY | flags);
    if (node->fd < 0 && errno == EACCES) {
        // Neither readable nor writable by its owner: by its name.
        if (fstatat(node->dir_fd, name, info, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (!S_ISREG(info->st_mode)) {
            errno = ENOENT;
            return -1;
        }
        return 0;
    }
#endif
    if (node->fd < 0) {
        if (errno == ELOOP)
            errno = ENOENT;   // a link now: not the file that was listed
        return -1;
    }
    if (fstat(node->fd, info) != 0 || !S_ISREG(info->st_mode)) {
        close(node->fd);
        errno = ENOENT;
        return -1;
    }
    return 0;
}

void close_copy(const copy_node_t& node)
{
    if (node.fd >= 0) {
        const int saved = errno;
        close(node.fd);
        errno = saved;
    }
}

int change_owner(const copy_node_t& node, uid_t owner, gid_t group)
{
    if (node.fd < 0)
        return fchownat(node.dir_fd, node.name, owner, group, AT_SYMLINK_NOFOLLOW);
#if OPEN_AS_PATH
    return fchownat(node.fd, "", owner, group, AT_EMPTY_PATH);
#else
    return fchown(node.fd, owner, group);
#endif
}

int change_bits(const copy_node_t& node, mode_t bits)
{
    if (node.fd < 0)
        return fchmodat(node.dir_fd, node.name, bits, AT_SYMLINK_NOFOLLOW);
#if OPEN_AS_PATH
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", node.fd);
    return chmod(proc_path, bits);
#else
    return fchmod(node.fd, bits);
#endif
}

// The bits a copy of `source` gets once it is `current`, as a new copy
// gets them: without any write bit where its owner may not write, the
// setuid and sticky bits only where the copy has its source's owner, the
// setgid bit only where it has its group too. A copy that has exactly its
// source's bits keeps them: it grants no more than its source.
mode_t wanted_bits(const struct stat& source, const struct stat& current)
{
    mode_t bits = source.st_mode & 0777;
    if ((bits & S_IWUSR) == 0)
        bits &= ~static_cast<mode_t>(0222);
    mode_t special = 0;
    if (current.st_uid == source.st_uid) {
        special |= source.st_mode & (S_ISUID | S_ISVTX);
        if (current.st_gid == source.st_gid)
            special |= source.st_mode & S_ISGID;
    }
    if ((current.st_mode & 07777) == (special | (source.st_mode & 0777)))
        return current.st_mode & 07777;
    return special | bits;
}

// Lets the run's own read-only copy `context` (a copy_node_t) take a
// change of its attributes; guard_copy gives its bits after.
bool open_copy_up(void* context)
{
    const copy_node_t& node = *static_cast<const copy_node_t*>(context);
    struct stat info;
    return !posix_privileged() && status_of(node, &info) == 0 && info.st_uid == geteuid() &&
           (info.st_mode & S_IWUSR) == 0 && change_bits(node, (info.st_mode & 07777) | S_IWUSR) == 0;
}

// Gives the copy `node`, which is `current`, what guards the file `like`,
// which is `source`.
int guard_copy(const copy_node_t& node, struct stat current, const copy_node_t& like, const struct stat& source)
{
    int result = 0;
    if (posix_privileged() && (current.st_uid != source.st_uid || current.st_gid != source.st_gid)) {
        // A copy of another owner was not written by this run as it is
        // now: someone who may write in the destination could have put it
        // there with the source's size and time. It never becomes setuid or
        // setgid in place, nor is a file with other names (which may be
        // anyone's) given away.
        if ((source.st_mode & (S_ISUID | S_ISGID)) != 0 || current.st_nlink > 1) {
            errno = EPERM;
            return -1;
        }
        if (change_owner(node, source.st_uid, source.st_gid) == 0) {
            if (status_of(node, &current) != 0)
                return -1;
        } else if (not_kept(errno) || errno == EPERM || errno == EINVAL) {
            // A server that maps the run's user to another, a disk whose
            // files all have the mount's owner, an id it cannot hold.
            result = 1;
        } else {
            return -1;
        }
    }
    // The attributes and ACLs before the bits, which an ACL changes.
    std::string lost_acl;
    if (node.fd >= 0 && like.fd >= 0) {
        bool changed = false;
        const int carried = posix_carry_attributes({node.fd, OPEN_AS_PATH != 0}, {like.fd, OPEN_AS_PATH != 0},
                                                   open_copy_up, const_cast<copy_node_t*>(&node), &changed,
                                                   &lost_acl);
        if (carried < 0)
            return -1;
        if (carried > 0)
            result = 1;
    }
    mode_t bits = wanted_bits(source, current);
    if (!lost_acl.empty())
        bits = posix_without_acl(bits, lost_acl);
    // Given even where they are alike: the copy's change time then passes
    // its source's, and the next run need not compare the two again.
    if (change_bits(node, bits) != 0) {
        if (!not_kept(errno) && !(errno == EPERM && node.fd >= 0 && posix_fat_family(node.fd)))
            return -1;
        note_no_bits(current.st_dev);
        return 1;
    }
    // Some shares take the change and keep bits of their own.
    struct stat after;
    if ((current.st_mode & 07777) != bits && status_of(node, &after) == 0 && (after.st_mode & 07777) != bits) {
        note_no_bits(current.st_dev);
        return 1;
    }
    return result;
}

}  // namespace

std::uint16_t posix_protection(const struct stat& info)
{
    // Without privileges every copy belongs to the run's user: the bits that
    // go only with another's owner or group are never carried, and so are
    // not compared.
    static const uid_t user = geteuid();
    static const gid_t group = getegid();
    mode_t bits = info.st_mode & 07777;
    if (!posix_privileged()) {
        if (info.st_uid != user)
            bits &= ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX);
        else if (info.st_gid != group)
            bits &= ~static_cast<mode_t>(S_ISGID);
    }
    return static_cast<std::uint16_t>(bits);
}

int posix_set_file_protection(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                              fs_dir_t* like_dir, const char* like_name)
{
    dev_t device;
    if (posix_dir_device(dir, &device) && keeps_no_bits(device))
        return 1;
    // The source is opened too, for its attributes; a source that is no
    // longer a regular file is gone since the listing: the next run sees
    // what took its place.
    struct stat source;
    copy_node_t like;
    if (open_copy(like_dir, like_name, &source, &like) != 0)
        return errno == ENOENT ? 0 : -1;
    struct stat current;
    copy_node_t node;
    if (open_copy(dir, name, &current, &node) != 0) {
        close_copy(like);
        return errno == ENOENT ? 0 : -1;
    }
    // Only the file that was listed: one written since is the next run's
    // to compare.
    const struct timespec& written = posix_mtime(current);
    int result = 0;
    if (static_cast<std::uint64_t>(current.st_size) == size && written.tv_sec == mtime.sec &&
        static_cast<std::uint32_t>(written.tv_nsec) == mtime.nsec)
        result = guard_copy(node, current, like, source);
    close_copy(node);
    close_copy(like);
    return result;
}

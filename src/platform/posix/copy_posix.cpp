// The copy transaction of the POSIX layer: the new data goes into a file
// that no listing shows and takes the destination's name only when complete.
// Every name is taken relative to the descriptor of its directory.
//
// Linux-specific, with what other POSIX systems (macOS, the BSDs) get
// instead:
// - O_TMPFILE makes the file unnamed, so that even a killed process leaves
//   nothing behind; elsewhere (and on file systems without it) the file is a
//   hidden ".calvento-<pid>-<n>.tmp" beside the destination, which an
//   interrupt removes and rename puts in place.
// - An unnamed file is named through linkat with AT_EMPTY_PATH or, without
//   the privilege that takes, through its /proc/self/fd entry.
// - copy_file_range moves the data inside the kernel (FreeBSD has it too);
//   elsewhere it is refused and the data goes through the copy buffer.
// - SEEK_DATA and SEEK_HOLE find the holes of a sparse file (macOS and
//   FreeBSD have them too); where they are missing the holes are copied as
//   zeros.
// - syncfs makes a batch of copies durable with one flush per file system;
//   elsewhere each file is flushed with fsync.
#include "platform/posix/posix_config.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/side_by_side.h"

// Unnamed files, and the ways to name them, are Linux's.
#define UNNAMED_COPIES (CALVENTO_HAVE_O_TMPFILE && CALVENTO_HAVE_AT_EMPTY_PATH && CALVENTO_HAVE_PROC_SELF)

struct fs_file_t {
    int fd;
    struct stat info;         // as it was opened
    bool sparse;              // fewer blocks than bytes: holes to keep
};

struct fs_out_t {
    int fd = -1;
    fs_dir_t* dir = nullptr;  // the directory it will be named in, until then
    int dir_fd = -1;          // its descriptor
    std::string name;         // and its name there
    bool unnamed = false;     // created with O_TMPFILE: nothing on disk to clean up
    std::string temp_name;    // the hidden name in the directory, when the file has one
    int pending_slot = -1;    // its note for an interrupt
    bool timed = false;
    struct timespec mtime {};
    // On a file server that may set the time of a written file itself: a
    // descriptor of its directory of its own, which outlives the walk's, to
    // set the time again by name once the file is closed.
    bool remote = false;
    int own_dir_fd = -1;
    // The file system it is on, which one syncfs flushes with the others.
    bool local_device = false;
    dev_t device = 0;
    bool check_close = true;  // its file system may report write errors at its closing
    // The bits it is to have, given once the data is written (protect_out)
    // where they hold the setuid or setgid bit, which a write without
    // privileges would clear, or where its attributes changed them.
    mode_t bits = 0;
    bool late_bits = false;
    bool narrowed = false;    // created granting no more than its source's access ACL, not yet given
};

namespace {

fs_file_t* posix_open_read_at(fs_dir_t* dir, const char* name)
{
    // O_NONBLOCK: a FIFO put in place of the listed file must not hold the
    // run; it is refused below like anything else that is no regular file.
    // On a regular file the flag changes nothing.
    const int fd = openat(posix_dir_fd(dir), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    fs_file_t* file = new fs_file_t;
    file->fd = fd;
    if (fstat(fd, &file->info) != 0 || !S_ISREG(file->info.st_mode)) {
        close(fd);
        delete file;
        errno = ENOENT;
        return nullptr;
    }
    file->sparse = static_cast<std::int64_t>(file->info.st_blocks) * 512 < static_cast<std::int64_t>(file->info.st_size);
    return file;
}

std::int64_t posix_read(fs_file_t* file, void* buffer, std::uint64_t count)
{
    return posix_read_some(file->fd, buffer, count);
}

void posix_close_read(fs_file_t* file)
{
    const int saved = errno;
    close(file->fd);
    delete file;
    errno = saved;
}

fs_time_t posix_file_mtime(fs_file_t* file)
{
    return {static_cast<std::int64_t>(file->info.st_mtim.tv_sec), static_cast<std::uint32_t>(file->info.st_mtim.tv_nsec)};
}

// A hidden name beside the destination; the leading dot keeps it out of
// every listing, so a run never copies or removes it. The numbers are the
// process's own, one after the other: copies made at once in one
// directory each try a name of their own first.
std::string hidden_name()
{
    static std::atomic<unsigned> next{0};
    char name[64];
    static const long pid = static_cast<long>(getpid());
    std::snprintf(name, sizeof name, ".calvento-%ld-%u.tmp", pid, next++);
    return name;
}

// The process's file-creation mask, read once: the bits it takes away from
// a new file are the only ones exact_mode has to put back.
mode_t creation_mask()
{
    static const mode_t mask = [] {
        const mode_t old = umask(0);
        umask(old);
        return old;
    }();
    return mask;
}

// The permission bits of a copy of a file with `mode`: without any write
// bit when the owner may not write (a read-only source gives a copy that
// nobody may write).
mode_t copy_bits(mode_t mode)
{
    mode &= 0777;
    return (mode & S_IWUSR) ? mode : mode & ~0222;
}

// Gives the new file `out` its source's owner and group where the run may,
// then exactly its source's mode bits, which the creation mask may have
// cut. The setuid, setgid and sticky bits go only onto a file that has the
// source's owner (and group, for setgid): never onto one owned by someone
// else. The bits are kept in `bits` for protect_out, which gives the
// setuid and setgid bits (`late_bits`): the data is still to be written,
// and a write without privileges clears them (nor is a half-written
// program setuid meanwhile). Until then a copy of a file with the access
// ACL `acl` grants no more than that ACL (narrowed).
int give_protection(fs_out_t* out, const struct stat& source, const std::string& acl)
{
    bool owned = false;
    if (posix_privileged())
        owned = fchown(out->fd, source.st_uid, source.st_gid) == 0;
    mode_t wanted = copy_bits(source.st_mode);
    if (owned || source.st_uid == geteuid()) {
        wanted |= source.st_mode & (S_ISUID | S_ISVTX);
        if (owned || source.st_gid == getegid())
            wanted |= source.st_mode & S_ISGID;
    }
    out->bits = wanted;
    out->late_bits = (wanted & (S_ISUID | S_ISGID)) != 0;
    out->narrowed = !acl.empty();
    wanted &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (out->narrowed)
        wanted = posix_without_acl(wanted, acl);
    if (wanted == (wanted & 0777 & ~creation_mask()))
        return 0;   // the creation gave exactly these bits, and a change of owner takes none away
    return fchmod(out->fd, wanted);
}

fs_out_t* posix_create_temp_at(fs_dir_t* dir, const char* name, fs_file_t* like)
{
    if (dir == nullptr) {
        errno = ENOENT;   // the destination directory does not exist
        return nullptr;
    }
    const int dir_fd = posix_dir_fd(dir);
    // A source with an access ACL shows the ACL's mask as its group bits:
    // until protect_out gives the copy that ACL, it grants no more than
    // the ACL does.
    const std::string acl = posix_access_acl({like->fd, false});
    const mode_t bits =
        acl.empty() ? copy_bits(like->info.st_mode) : posix_without_acl(copy_bits(like->info.st_mode), acl);
    fs_out_t* out = new fs_out_t;
    out->dir = dir;
    out->dir_fd = dir_fd;
    out->name = name;
    out->remote = posix_dir_remote(dir);
    out->local_device = !out->remote && posix_dir_device(dir, &out->device);
    out->check_close = !posix_dir_closes_quietly(dir);
    if (out->remote) {
        out->own_dir_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
        if (out->own_dir_fd < 0) {
            const int saved = errno;
            delete out;
            errno = saved;
            return nullptr;
        }
    }
#if UNNAMED_COPIES
    out->fd = posix_change_in(dir, [&] { return openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, bits); });
    out->unnamed = out->fd >= 0;
    // A file system without unnamed files answers one of these.
    const bool named = out->fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
#else
    const bool named = true;
#endif
    if (named) {
        // No unnamed files here: a hidden named one.
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            std::string hidden = hidden_name();
            const int slot = posix_note_pending_temp(dir_fd, hidden.c_str());
            out->fd = posix_change_in(dir, [&] {
                return openat(dir_fd, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
            });
            posix_created_pending_temp(slot);
            if (out->fd >= 0) {
                out->temp_name = std::move(hidden);
                out->pending_slot = slot;
                break;
            }
            posix_forget_pending_temp(slot);
            if (errno != EEXIST)
                break;
        }
    }
    if (out->fd < 0) {
        const int saved = errno;
        if (out->own_dir_fd >= 0)
            close(out->own_dir_fd);
        delete out;
        errno = saved;
        return nullptr;
    }
    give_protection(out, like->info, acl);
    return out;
}

// Lets the owner of the new copy `out` write it for a change of its
// attributes: a read-only copy of a run without privileges refuses a user
// attribute, whatever the descriptor. protect_out gives its bits after.
bool open_copy_up(void* context)
{
    const fs_out_t* out = static_cast<const fs_out_t*>(context);
    struct stat info;
    return !posix_privileged() && fstat(out->fd, &info) == 0 && (info.st_mode & S_IWUSR) == 0 &&
           fchmod(out->fd, (info.st_mode & 07777) | S_IWUSR) == 0;
}

int posix_protect_out(fs_out_t* out, fs_file_t* like)
{
    // The attributes after the data: a write takes a file capability away.
    bool changed = false;
    std::string lost_acl;
    const int carried = posix_carry_attributes({out->fd, false}, {like->fd, false}, open_copy_up, out, &changed,
                                               &lost_acl);
    if (carried < 0)
        return -1;
    // Setting or removing an access ACL changes the bits too: they are
    // given again, exactly; without the ACL, no more than it grants.
    if (!lost_acl.empty())
        out->bits = posix_without_acl(out->bits, lost_acl);
    changed = changed || out->narrowed || !lost_acl.empty();
    if ((changed || out->late_bits) && fchmod(out->fd, out->bits) != 0) {
        // A disk that keeps no bits at all (FAT through FUSE answers
        // ENOSYS, the kernel's FAT EPERM) takes the copy without them.
        const int error = errno;
        if (error != ENOSYS && error != EOPNOTSUPP && error != ENOTSUP &&
            !(error == EPERM && posix_fat_family(out->fd)))
            return -1;
        return 1;
    }
    return carried;
}

std::int64_t posix_write(fs_out_t* out, const void* buffer, std::uint64_t count)
{
    return posix_write_all(out->fd, buffer, count);
}

std::int64_t posix_copy_range([[maybe_unused]] fs_file_t* in, [[maybe_unused]] fs_out_t* out,
                              [[maybe_unused]] std::uint64_t count)
{
#if CALVENTO_HAVE_COPY_FILE_RANGE
    for (;;) {
        const ssize_t n = copy_file_range(in->fd, nullptr, out->fd, nullptr, static_cast<std::size_t>(count), 0);
        if (n >= 0 || errno != EINTR)
            return static_cast<std::int64_t>(n);
    }
#else
    // No way here to move data inside the kernel: the copy buffer does it.
    errno = ENOSYS;
    return -1;
#endif
}

std::int64_t posix_skip_hole(fs_file_t* in, [[maybe_unused]] fs_out_t* out, std::uint64_t count,
                             std::uint64_t* data)
{
    *data = count;
    if (!in->sparse)
        return 0;
#if !CALVENTO_HAVE_SEEK_DATA
    return 0;   // no holes to be found here: they are copied as zeros
#else
    const off_t at = lseek(in->fd, 0, SEEK_CUR);
    if (at < 0)
        return 0;
    off_t data_at = lseek(in->fd, at, SEEK_DATA);
    if (data_at < 0) {
        if (errno != ENXIO)
            return lseek(in->fd, at, SEEK_SET) < 0 ? -1 : 0;   // no holes to be found here: copy them as zeros
        data_at = in->info.st_size;   // a hole up to the end
    }
    if (data_at <= at) {
        // Data here: as far as the next hole.
        const off_t hole_at = lseek(in->fd, at, SEEK_HOLE);
        if (lseek(in->fd, at, SEEK_SET) < 0)
            return -1;
        if (hole_at > at)
            *data = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(hole_at - at));
        return 0;
    }
    const off_t skip = static_cast<off_t>(std::min<std::uint64_t>(count, static_cast<std::uint64_t>(data_at - at)));
    if (lseek(in->fd, at + skip, SEEK_SET) < 0)
        return -1;
    const off_t end = lseek(out->fd, skip, SEEK_CUR);
    // A file that ends in a hole gets its length all the same.
    if (end < 0 || (at + skip >= in->info.st_size && ftruncate(out->fd, end) != 0))
        return -1;
    return skip;
#endif
}

int posix_set_times(fs_out_t* out, fs_time_t mtime)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(mtime.sec);
    times[0].tv_nsec = static_cast<long>(mtime.nsec);
    times[1] = times[0];
    out->timed = true;
    out->mtime = times[1];
    return futimens(out->fd, times);
}

#if UNNAMED_COPIES
// Gives the open unnamed file the name `target` in `dir_fd`; fails with
// EEXIST when the name is taken.
int link_once(int fd, int dir_fd, const char* target)
{
    // Naming the descriptor itself is the direct way, but it needs a
    // privilege; without it the kernel answers ENOENT, and the name under
    // /proc serves instead. The answer holds for the whole run.
    static std::atomic<bool> direct{true};
    if (direct) {
        if (linkat(fd, "", dir_fd, target, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return -1;
        direct = false;
    }
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, dir_fd, target, AT_SYMLINK_FOLLOW);
}

// The same in the directory of `out`, which may need its owner's write bit.
int link_unnamed(fs_out_t* out, const char* target)
{
    return posix_change_in(out->dir, [&] { return link_once(out->fd, out->dir_fd, target); });
}
#endif

// Reports the delayed write errors that some network file systems give
// only when a file is closed, by closing a duplicate: the file stays open
// for the flush of its batch and the time it gets then.
int close_checked(fs_out_t* out)
{
    if (!out->check_close)
        return 0;
    const int copy = fcntl(out->fd, F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? -1 : close(copy);
}

// Releases `out`: closes what it holds and removes a hidden name it was
// given, keeping errno for the report.
int release(fs_out_t* out)
{
    const int saved = errno;
    if (out->fd >= 0)
        close(out->fd);
    if (!out->temp_name.empty())
        posix_change_in(out->dir, [&] { return unlinkat(out->dir_fd, out->temp_name.c_str(), 0); });
    if (out->own_dir_fd >= 0)
        close(out->own_dir_fd);
    posix_forget_pending_temp(out->pending_slot);
    delete out;
    errno = saved;
    return -1;
}

#if UNNAMED_COPIES
// Gives the open unnamed file a hidden name in its directory.
int link_hidden(fs_out_t* out)
{
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string name = hidden_name();
        const int slot = posix_note_pending_temp(out->dir_fd, name.c_str());
        const int linked = link_unnamed(out, name.c_str());
        posix_created_pending_temp(slot);
        if (linked == 0) {
            out->temp_name = std::move(name);
            out->pending_slot = slot;
            return 0;
        }
        posix_forget_pending_temp(slot);
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}
#endif

// Some file systems set the time of a written file themselves once it is
// closed: the copy's time is set again where it did not hold, so that the
// next run does not see a changed file.
// Only the copy itself (`own`, as it was before the closing) is set again:
// never a file put under its name since.
void make_time_hold(fs_out_t* out, const struct stat& own)
{
    const char* name = out->name.c_str();
    struct stat info;
    if (fstatat(out->own_dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_dev != own.st_dev || info.st_ino != own.st_ino)
        return;
    const struct timespec& mtime = posix_mtime(info);
    if (mtime.tv_sec == out->mtime.tv_sec && mtime.tv_nsec == out->mtime.tv_nsec)
        return;
    const struct timespec times[2] = {out->mtime, out->mtime};
    utimensat(out->own_dir_fd, name, times, AT_SYMLINK_NOFOLLOW);
}

int posix_commit(fs_out_t* out, [[maybe_unused]] bool replace)
{
    const char* name = out->name.c_str();
    bool placed = false;
#if UNNAMED_COPIES
    if (out->unnamed) {
        // A new file takes its name at once; an old one is replaced in one
        // step, through a hidden name.
        if (!replace) {
            if (link_unnamed(out, name) == 0) {
                if (close_checked(out) != 0) {
                    const int saved = errno;
                    unlinkat(out->dir_fd, name, 0);
                    errno = saved;
                    return release(out);
                }
                placed = true;
            } else if (errno != EEXIST) {
                return release(out);
            }
        }
        if (!placed && link_hidden(out) != 0)
            return release(out);
    }
#endif
    const auto rename_in_place = [&] { return renameat(out->dir_fd, out->temp_name.c_str(), out->dir_fd, name); };
    if (!placed && (close_checked(out) != 0 || posix_change_in(out->dir, rename_in_place) != 0))
        return release(out);
    posix_forget_pending_temp(std::exchange(out->pending_slot, -1));
    out->temp_name.clear();
    out->dir = nullptr;   // the walk may close it before this file is settled
    // A server that set its own time when the duplicate was closed gets
    // back the one that was set.
    if (out->remote && out->timed) {
        const struct timespec times[2] = {out->mtime, out->mtime};
        futimens(out->fd, times);
    }
    return 0;
}

// 0 or the error that kept the file from being made durable. EINVAL tells
// of a file system that has no flush to offer.
int flush_file(fs_out_t* out)
{
    return fsync(out->fd) == 0 || errno == EINVAL ? 0 : errno;
}

std::size_t posix_flush_outs(fs_out_t* const* outs, std::size_t count, int* errors, unsigned threads, bool* one_by_one)
{
    // One syncfs writes out everything on a local file system with a
    // single commit of its journal, where a fsync per file would commit it
    // once per file. A file server is asked file by file: syncfs on its
    // client sends the data but does not ask the server to write it to its
    // disk. Where a syncfs fails, each of its files is flushed on its own,
    // to learn which of them the failure concerns. Without syncfs, every
    // file is.
    std::vector<bool> alone(count, true);
#if CALVENTO_HAVE_SYNCFS
    struct volume_t {
        dev_t device;
        bool synced;
    };
    std::vector<volume_t> volumes;
    for (std::size_t i = 0; i < count; ++i) {
        const fs_out_t* out = outs[i];
        if (!out->local_device)
            continue;
        auto volume = std::find_if(volumes.begin(), volumes.end(),
                                   [&](const volume_t& v) { return v.device == out->device; });
        if (volume == volumes.end())
            volume = volumes.insert(volumes.end(), {out->device, syncfs(out->fd) == 0});
        alone[i] = !volume->synced;
    }
#endif
    std::vector<std::size_t> each;
    for (std::size_t i = 0; i < count; ++i) {
        errors[i] = 0;
        if (alone[i])
            each.push_back(i);
    }
    // Files flushed one by one wait a round trip each on a file server:
    // several threads wait side by side.
    side_by_side(each.size(), threads, [&](std::size_t at) { errors[each[at]] = flush_file(outs[each[at]]); });
    if (one_by_one != nullptr)
        *one_by_one = !each.empty();
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i)
        failed += errors[i] != 0;
    return failed;
}

int posix_close_out(fs_out_t* out)
{
    struct stat own;
    const bool hold = out->timed && out->own_dir_fd >= 0 && fstat(out->fd, &own) == 0;
    const int result = close(out->fd);
    const int saved = errno;
    out->fd = -1;
    if (result == 0 && hold)
        make_time_hold(out, own);
    if (out->own_dir_fd >= 0)
        close(out->own_dir_fd);
    delete out;
    errno = saved;
    return result == 0 ? 0 : -1;
}

std::size_t posix_open_outs_limit()
{
    // Half of what is left once the walk, its listing threads and the log
    // are served: a copy on a file server holds two descriptors.
    struct rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 4096;
    const std::uint64_t limit = files.rlim_cur;
    const std::uint64_t reserve = std::min<std::uint64_t>(limit / 2, 512);
    return static_cast<std::size_t>(std::max<std::uint64_t>((limit - reserve) / 2, 1));
}

void posix_discard(fs_out_t* out)
{
    release(out);
}

}  // namespace

void posix_fill_copy(platform_t* record)
{
    record->open_read_at = posix_open_read_at;
    record->read = posix_read;
    record->close_read = posix_close_read;
    record->file_mtime = posix_file_mtime;
    record->create_temp_at = posix_create_temp_at;
    record->protect_out = posix_protect_out;
    record->write = posix_write;
    record->copy_range = posix_copy_range;
    record->skip_hole = posix_skip_hole;
    record->set_times = posix_set_times;
    record->commit = posix_commit;
    record->flush_outs = posix_flush_outs;
    record->close_out = posix_close_out;
    record->open_outs_limit = posix_open_outs_limit;
    record->discard = posix_discard;
}

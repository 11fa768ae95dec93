// The copy transaction of the POSIX layer: the new data goes into a file
// that no listing shows and takes the destination's name only when complete.
//
// Linux-specific, with what other POSIX systems get instead:
// - O_TMPFILE makes the file unnamed, so that even a killed process leaves
//   nothing behind; elsewhere (and on file systems without it) the file is a
//   hidden ".calvento-<pid>-<n>.tmp" beside the destination, which an
//   interrupt removes.
// - copy_file_range moves the data inside the kernel; elsewhere it is
//   refused and the data goes through the copy buffer.
// - An unnamed file is named through linkat with AT_EMPTY_PATH or, without
//   the privilege that takes, through its /proc/self/fd entry.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

struct fs_file_t {
    int fd;
};

struct fs_out_t {
    int fd = -1;
    bool unnamed = false;     // created with O_TMPFILE: nothing on disk to clean up
    std::string temp_path;    // the hidden name, when the file has one
};

namespace {

fs_file_t* posix_open_read(const char* path)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return new fs_file_t{fd};
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

// The directory part of a path, for the temporary file beside it.
std::string directory_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}

// A hidden name beside the destination; the leading dot keeps it out of
// every listing, so a run never copies or removes it.
std::string hidden_name(const std::string& directory, unsigned attempt)
{
    char tail[64];
    static const long pid = static_cast<long>(getpid());
    std::snprintf(tail, sizeof tail, "/.calvento-%ld-%u.tmp", pid, attempt);
    return directory + tail;
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

// Gives a new file exactly `mode`, which the creation mask may have cut.
int exact_mode(int fd, std::uint32_t mode)
{
    const mode_t wanted = static_cast<mode_t>(mode & 0777);
    if ((wanted & ~creation_mask()) == wanted)
        return 0;
    return fchmod(fd, wanted);
}

fs_out_t* posix_create_temp(const char* dst_path, std::uint32_t protection)
{
    const std::string directory = directory_of(dst_path);
    const mode_t bits = static_cast<mode_t>(protection & 0777);
    fs_out_t* out = new fs_out_t;
    out->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, bits);
    if (out->fd >= 0) {
        out->unnamed = true;
        exact_mode(out->fd, protection);
        return out;
    }
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        // No unnamed files here: fall back to a hidden named one.
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            std::string name = hidden_name(directory, attempt);
            posix_note_pending_temp(name.c_str());
            out->fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, bits);
            if (out->fd >= 0) {
                out->temp_path = std::move(name);
                exact_mode(out->fd, protection);
                return out;
            }
            posix_note_pending_temp(nullptr);
            if (errno != EEXIST)
                break;
        }
    }
    const int saved = errno;
    delete out;
    errno = saved;
    return nullptr;
}

std::int64_t posix_write(fs_out_t* out, const void* buffer, std::uint64_t count)
{
    return posix_write_all(out->fd, buffer, count);
}

std::int64_t posix_copy_range(fs_file_t* in, fs_out_t* out, std::uint64_t count)
{
    for (;;) {
        const ssize_t n = copy_file_range(in->fd, nullptr, out->fd, nullptr, static_cast<std::size_t>(count), 0);
        if (n >= 0 || errno != EINTR)
            return static_cast<std::int64_t>(n);
    }
}

int posix_set_times(fs_out_t* out, std::uint16_t date, std::uint16_t time)
{
    const std::time_t when = time_from_dos(date, time);
    if (when == -1) {
        errno = EINVAL;
        return -1;
    }
    struct timespec times[2];
    times[0].tv_sec = when;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return futimens(out->fd, times);
}

// Gives the open unnamed file the name `target`; fails with EEXIST when the
// name is taken.
int link_unnamed(int fd, const char* target)
{
    // Naming the descriptor itself is the direct way, but it needs a
    // privilege; without it the kernel answers ENOENT, and the name under
    // /proc serves instead. The answer holds for the whole run.
    static bool direct = true;
    if (direct) {
        if (linkat(fd, "", AT_FDCWD, target, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return -1;
        direct = false;
    }
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, AT_FDCWD, target, AT_SYMLINK_FOLLOW);
}

// Closes the finished file, reporting the delayed write errors that some
// network file systems give only here.
int close_checked(fs_out_t* out)
{
    const int result = close(out->fd);
    out->fd = -1;
    return result;
}

// Releases `out` after a commit or a discard, undoing what a failed commit
// left behind (the open file, a name it was given) and keeping errno for
// the report.
int release(fs_out_t* out, const char* linked)
{
    const int saved = errno;
    if (out->fd >= 0)
        close(out->fd);
    if (linked != nullptr)
        unlink(linked);
    posix_note_pending_temp(nullptr);
    delete out;
    errno = saved;
    return -1;
}

// Gives the open unnamed file a hidden name beside `dst_path`.
int link_hidden(fs_out_t* out, const char* dst_path)
{
    const std::string directory = directory_of(dst_path);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string name = hidden_name(directory, attempt);
        posix_note_pending_temp(name.c_str());
        if (link_unnamed(out->fd, name.c_str()) == 0) {
            out->temp_path = std::move(name);
            return 0;
        }
        posix_note_pending_temp(nullptr);
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

int posix_commit(fs_out_t* out, const char* dst_path, bool replace)
{
    if (out->unnamed) {
        // A new file takes its name at once; an old one is replaced in one
        // step, through a hidden name.
        if (!replace) {
            if (link_unnamed(out->fd, dst_path) == 0) {
                if (close_checked(out) != 0)
                    return release(out, dst_path);
                delete out;
                return 0;
            }
            if (errno != EEXIST)
                return release(out, nullptr);
        }
        if (link_hidden(out, dst_path) != 0)
            return release(out, nullptr);
    }
    if (close_checked(out) != 0 || rename(out->temp_path.c_str(), dst_path) != 0)
        return release(out, out->temp_path.c_str());
    posix_note_pending_temp(nullptr);
    delete out;
    return 0;
}

void posix_discard(fs_out_t* out)
{
    release(out, out->temp_path.empty() ? nullptr : out->temp_path.c_str());
}

std::uint32_t posix_read_only(std::uint32_t protection)
{
    return protection & ~0222u;
}

}  // namespace

void posix_fill_copy(platform_t* record)
{
    record->open_read = posix_open_read;
    record->read = posix_read;
    record->close_read = posix_close_read;
    record->create_temp = posix_create_temp;
    record->write = posix_write;
    record->copy_range = posix_copy_range;
    record->set_times = posix_set_times;
    record->commit = posix_commit;
    record->discard = posix_discard;
    record->read_only = posix_read_only;
}

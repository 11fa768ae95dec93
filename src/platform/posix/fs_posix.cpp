// File system operations of the POSIX layer.
#include "platform/dos_time.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    entry->mode = info.st_mode & 0777;
}

void fill_dir(dos_dirent_t* entry)
{
    entry->attr = ATTR_DIRECTORY;
    entry->date = 0;
    entry->time = 0;
    entry->size = 0;
    entry->mode = 0;
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

int posix_open_read(const char* path)
{
    return open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

long posix_read(int fd, void* buffer, std::size_t count)
{
    for (;;) {
        const ssize_t n = read(fd, buffer, count);
        if (n >= 0 || errno != EINTR)
            return static_cast<long>(n);
    }
}

int posix_close(int fd)
{
    return close(fd);
}

// The directory part of a path, for the temporary file beside it.
std::string directory_of(const char* path)
{
    const char* slash = std::strrchr(path, PATH_SEP);
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

int posix_create_temp(const char* dst_path, std::uint32_t mode, fs_out_t* out)
{
    const std::string directory = directory_of(dst_path);
    out->temp_path.clear();
    const mode_t bits = static_cast<mode_t>(mode & 0777);
    out->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, bits);
    if (out->fd >= 0) {
        out->unnamed = true;
        exact_mode(out->fd, mode);
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return -1;
    // No unnamed files here: fall back to a hidden named one.
    out->unnamed = false;
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string name = hidden_name(directory, attempt);
        posix_note_pending_temp(name.c_str());
        out->fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, bits);
        if (out->fd >= 0) {
            out->temp_path = std::move(name);
            exact_mode(out->fd, mode);
            return 0;
        }
        posix_note_pending_temp(nullptr);
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

long posix_write(int fd, const void* buffer, std::size_t count)
{
    std::size_t done = 0;
    const char* bytes = static_cast<const char*>(buffer);
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

long posix_copy_range(int in, int out, std::size_t count)
{
    for (;;) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, count, 0);
        if (n >= 0 || errno != EINTR)
            return static_cast<long>(n);
    }
}

int posix_set_times(int fd, std::uint16_t date, std::uint16_t time)
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
    return futimens(fd, times);
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

void forget_temp(fs_out_t* out)
{
    posix_note_pending_temp(nullptr);
    out->temp_path.clear();
}

// Undoes what a failed commit left behind (the open file, a name it was
// given), keeping errno for the report.
int give_up(fs_out_t* out, const char* linked)
{
    const int saved = errno;
    if (out->fd >= 0)
        close(out->fd);
    out->fd = -1;
    if (linked != nullptr)
        unlink(linked);
    forget_temp(out);
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
            if (link_unnamed(out->fd, dst_path) == 0)
                return close_checked(out) == 0 ? 0 : give_up(out, dst_path);
            if (errno != EEXIST)
                return give_up(out, nullptr);
        }
        if (link_hidden(out, dst_path) != 0)
            return give_up(out, nullptr);
    }
    if (close_checked(out) != 0 || rename(out->temp_path.c_str(), dst_path) != 0)
        return give_up(out, out->temp_path.c_str());
    forget_temp(out);
    return 0;
}

void posix_discard(fs_out_t* out)
{
    const int saved = errno;
    if (out->fd >= 0)
        close(out->fd);
    out->fd = -1;
    if (!out->temp_path.empty())
        unlink(out->temp_path.c_str());
    forget_temp(out);
    errno = saved;
}

int posix_append_text(const char* path, const char* bytes, std::size_t count)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    const long written = posix_write(fd, bytes, count);
    int saved = errno;
    if (written >= 0 && static_cast<std::size_t>(written) != count)
        saved = ENOSPC;
    const int closed = close(fd);
    if (written < 0 || static_cast<std::size_t>(written) != count) {
        errno = saved;
        return -1;
    }
    return closed;
}

int posix_read_text(const char* path, std::string* contents)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    contents->clear();
    char chunk[65536];
    long n;
    while ((n = posix_read(fd, chunk, sizeof chunk)) > 0)
        contents->append(chunk, static_cast<std::size_t>(n));
    // A failure (a directory, say) is reported: what was read so far stands.
    const int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    return 0;
}

}  // namespace

// The fields of the record that this file supplies.
void posix_fill_fs(platform_t* record)
{
    record->dir_open = posix_dir_open;
    record->dir_next = posix_dir_next;
    record->dir_details = posix_dir_details;
    record->dir_close = posix_dir_close;
    record->stat = posix_stat;
    record->clear_readonly = posix_clear_readonly;
    record->remove_file = posix_remove_file;
    record->make_dir = posix_make_dir;
    record->remove_dir = posix_remove_dir;
    record->real_path = posix_real_path;
    record->open_read = posix_open_read;
    record->read = posix_read;
    record->close = posix_close;
    record->create_temp = posix_create_temp;
    record->write = posix_write;
    record->copy_range = posix_copy_range;
    record->set_times = posix_set_times;
    record->commit = posix_commit;
    record->discard = posix_discard;
    record->append_text = posix_append_text;
    record->read_text = posix_read_text;
}

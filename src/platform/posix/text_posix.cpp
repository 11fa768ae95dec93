// Text files of the POSIX layer: the log, appended to, and the exclusion
// list files, read whole.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

// Opens the text file `path` without waiting on it: opening a FIFO that no
// one has open at its other end would wait for ever, before the run has
// said a word. Only a regular file or a character device (/dev/null, a
// terminal) is kept, and is then read or written as usual; anything else
// (a FIFO, a socket, a block device) is refused as a file that cannot be
// opened (ENXIO, as the system itself refuses a socket, or a FIFO without
// a reader), and a directory as a directory.
int open_text(const char* path, int flags)
{
    const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode))
        error = ENXIO;
    else if (const int status = fcntl(fd, F_GETFL); status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int posix_append_text(const char* path, const char* bytes, std::size_t count)
{
    const int fd = open_text(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0)
        return -1;
    const std::int64_t written = posix_write_all(fd, bytes, count);
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

}  // namespace

int posix_read_text(const char* path, std::string* contents)
{
    const int fd = open_text(path, O_RDONLY);
    if (fd < 0)
        return -1;
    contents->clear();
    char chunk[65536];
    std::int64_t n;
    while ((n = posix_read_some(fd, chunk, sizeof chunk)) > 0)
        contents->append(chunk, static_cast<std::size_t>(n));
    // A failure is reported: what was read so far stands.
    const int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    return 0;
}

void posix_fill_text(platform_t* record)
{
    record->append_text = posix_append_text;
    record->read_text = posix_read_text;
}

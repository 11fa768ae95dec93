// Text files of the POSIX layer: the log, appended to, and the exclusion
// list files, read whole.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

int posix_append_text(const char* path, const char* bytes, std::size_t count)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    contents->clear();
    char chunk[65536];
    std::int64_t n;
    while ((n = posix_read_some(fd, chunk, sizeof chunk)) > 0)
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

void posix_fill_text(platform_t* record)
{
    record->append_text = posix_append_text;
    record->read_text = posix_read_text;
}

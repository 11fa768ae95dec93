// The console of the POSIX layer.
#include <cerrno>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Standard output is gathered here and written in large pieces: a run over a
// big tree prints a line per directory or per file. A closed or broken stream
// loses the text, not the run.
char out_buffer[65536];
std::size_t out_used = 0;

void posix_con_write(int stream, const char* bytes, std::size_t count)
{
    const int saved = errno;
    if (stream == CON_ERR) {
        posix_flush_output();
        posix_write_all(STDERR_FILENO, bytes, count);
    } else if (count > sizeof out_buffer - out_used) {
        posix_flush_output();
        if (count >= sizeof out_buffer)
            posix_write_all(STDOUT_FILENO, bytes, count);
        else {
            std::memcpy(out_buffer, bytes, count);
            out_used = count;
        }
    } else {
        std::memcpy(out_buffer + out_used, bytes, count);
        out_used += count;
    }
    // Someone watching a terminal sees each line as it is finished; a file or
    // a pipe gets large writes.
    static const bool watched = isatty(STDOUT_FILENO) == 1;
    if (watched && stream != CON_ERR && count > 0 && (bytes[count - 1] == '\n' || bytes[count - 1] == '\r'))
        posix_flush_output();
    errno = saved;
}

void posix_con_read_key()
{
    if (!isatty(STDIN_FILENO))
        return;  // nobody there to press a key
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return;
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

}  // namespace

void posix_flush_output()
{
    const int saved = errno;
    posix_write_all(STDOUT_FILENO, out_buffer, out_used);
    out_used = 0;
    errno = saved;
}


void posix_fill_console(platform_t* record)
{
    record->con_write = posix_con_write;
    record->con_flush = posix_flush_output;
    record->con_read_key = posix_con_read_key;
}

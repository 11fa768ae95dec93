// Console, clock, memory, process and signals of the POSIX layer.
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <termios.h>
#include <unistd.h>

namespace {

// Standard output is gathered here and written in large pieces: a run over a
// big tree prints a line per directory or per file.
char out_buffer[65536];
std::size_t out_used = 0;

void write_all(int fd, const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // a closed or broken stream loses the text, not the run
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

void posix_con_flush()
{
    const int saved = errno;
    write_all(STDOUT_FILENO, out_buffer, out_used);
    out_used = 0;
    errno = saved;
}

void posix_con_write(int stream, const char* bytes, std::size_t count)
{
    const int saved = errno;
    if (stream == CON_ERR) {
        posix_con_flush();
        write_all(STDERR_FILENO, bytes, count);
    } else if (count > sizeof out_buffer - out_used) {
        posix_con_flush();
        if (count >= sizeof out_buffer)
            write_all(STDOUT_FILENO, bytes, count);
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
        posix_con_flush();
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

std::time_t posix_clock_now()
{
    return std::time(nullptr);
}

void* posix_mem_try_alloc(std::size_t size)
{
    return std::malloc(size);
}

void posix_mem_free(void* block)
{
    std::free(block);
}

void posix_proc_exit(int code)
{
    posix_con_flush();
    std::exit(code);
}

// The hidden file of the copy in progress, for the interrupt handler.
char pending_temp[8192];
volatile std::sig_atomic_t pending = 0;

extern "C" void on_interrupt(int)
{
    if (pending)
        unlink(pending_temp);
    _exit(1);
}

}  // namespace

void posix_note_pending_temp(const char* path)
{
    pending = 0;
    if (path == nullptr)
        return;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof pending_temp)
        return;  // too long for any system call anyway
    std::memcpy(pending_temp, path, length + 1);
    pending = 1;
}

void platform_start()
{
    // Without TZ the C library looks at /etc/localtime again at every time
    // conversion; naming it keeps the zone it read first.
    setenv("TZ", ":/etc/localtime", 0);
    tzset();

    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader that goes away (a pipe into head, say) must not stop the
    // mirror halfway: the output is lost, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
}

void posix_fill_console(platform_t* record)
{
    record->con_write = posix_con_write;
    record->con_flush = posix_con_flush;
    record->con_read_key = posix_con_read_key;
    record->clock_now = posix_clock_now;
    record->mem_try_alloc = posix_mem_try_alloc;
    record->mem_free = posix_mem_free;
    record->proc_exit = posix_proc_exit;
}

extern const platform_t posix_platform = [] {
    platform_t record{};
    posix_fill_fs(&record);
    posix_fill_console(&record);
    return record;
}();

// What the POSIX layer prepares before a run: the end of an interrupted run
// and the local time zone.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

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

    // SIGINT, SIGTERM and SIGHUP end the run with exit code 1 after removing
    // the hidden file of the copy in progress.
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

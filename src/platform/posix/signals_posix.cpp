// What the POSIX layer prepares before a run: the end of an interrupted run,
// the local time zone, the number of open files and the allocator's arenas.
#include "platform/posix/posix_config.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#if CALVENTO_HAVE_MALLOPT_ARENAS
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

// The hidden file of the copy in progress, for the interrupt handler: its
// name in the directory whose descriptor is pending_dir.
char pending_name[256];
volatile std::sig_atomic_t pending_dir = -1;

// The directory that holds an owner write bit added for a change, and the
// bits to give it back: through its descriptor, or through opened_path
// when it was opened only as a path (which only Linux does, and only Linux
// has /proc/self/fd to reach it by).
char opened_path[64];
volatile std::sig_atomic_t opened_fd = -1;
volatile std::sig_atomic_t opened_by_path = 0;
volatile std::sig_atomic_t opened_mode = 0;

// The walk's thread: the one that notes what an interrupt must undo.
pthread_t walk_thread;

extern "C" void on_interrupt(int signal)
{
    // An interrupt of the process may reach any of its threads; the walk's
    // own thread, which keeps the notes below, is the one that acts on it.
    if (!pthread_equal(pthread_self(), walk_thread)) {
        pthread_kill(walk_thread, signal);
        return;
    }
    // The hidden file first: its removal may need the bit.
    if (pending_dir >= 0)
        unlinkat(pending_dir, pending_name, 0);
    if (opened_fd >= 0) {
        if (opened_by_path)
            chmod(opened_path, static_cast<mode_t>(opened_mode));
        else
            fchmod(opened_fd, static_cast<mode_t>(opened_mode));
    }
    _exit(1);
}

}  // namespace

void posix_note_pending_temp(int dir_fd, const char* name)
{
    pending_dir = -1;
    if (name == nullptr)
        return;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof pending_name)
        return;  // no such name is made
    std::memcpy(pending_name, name, length + 1);
    pending_dir = dir_fd;
}

void posix_note_opened_dir(int dir_fd, bool path_only, unsigned mode)
{
    opened_fd = -1;
    if (dir_fd < 0)
        return;
#if CALVENTO_HAVE_PROC_SELF
    std::snprintf(opened_path, sizeof opened_path, "/proc/self/fd/%d", dir_fd);
#else
    if (path_only)
        return;   // no way to reach it from the handler
#endif
    opened_by_path = path_only ? 1 : 0;
    opened_mode = static_cast<std::sig_atomic_t>(mode);
    opened_fd = dir_fd;
}

void platform_start()
{
    // Without TZ the C library looks at /etc/localtime again at every time
    // conversion; naming it keeps the zone it read first.
    setenv("TZ", ":/etc/localtime", 0);
    tzset();

    // SIGINT, SIGTERM and SIGHUP end the run with exit code 1 after removing
    // the hidden file of the copy in progress and taking back an owner write
    // bit added for a change.
    walk_thread = pthread_self();
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader that goes away (a pipe into head, say) must not stop the
    // mirror halfway: the output is lost, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);

    // The walk keeps a directory open per level and side: a deep tree needs
    // more descriptors than the usual soft limit.
    struct rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

#if CALVENTO_HAVE_MALLOPT_ARENAS
    // The GNU allocator gives every thread an arena of its own. The listing
    // threads make lists that the walk frees, so each arena keeps pages the
    // others cannot reuse; two arenas hold peak memory near a single-threaded
    // run's, and the listing allocates too seldom to contend for them.
    mallopt(M_ARENA_MAX, 2);
#endif
}

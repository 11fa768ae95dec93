// What the POSIX layer prepares before a run: the end of an interrupted run,
// the signals that must not end it, the local time zone, the number of open
// files and the allocator's arenas.
#include "platform/posix/posix_config.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#if CALVENTO_HAVE_MALLOPT_ARENAS
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

namespace {

// The hidden files of the copies in progress, for the interrupt handler:
// a slot for each, with its name in the directory whose descriptor is
// `dir`. A copy written and waiting for its turn keeps its slot while its
// thread goes on with another. A slot is `creating` from the moment its
// name is noted until the file's creation has returned: an interrupt waits
// for that, so that a file made just after its look at the slots cannot
// stay.
// The name is written and read a character at a time, and `version` is
// odd while it is being written: a handler that finds the version changed
// while it read the name leaves that slot alone (its file was gone or named
// before the slot was taken again).
struct pending_slot_t {
    std::atomic<char> name[256];
    std::atomic<unsigned> version{0};
    std::atomic<int> dir{-1};
    std::atomic<bool> creating{false};
    std::atomic<bool> taken{false};
};
constexpr int PENDING_SLOTS = 4096;
pending_slot_t pending[PENDING_SLOTS];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the interrupt handler reads the slots");
std::atomic<unsigned> next_slot{0};

// Set by an interrupt that is ending the run: no copy begins a hidden file
// after it.
std::atomic<bool> stopping{false};

// The directory that holds an owner write bit added for a change, and the
// bits to give it back: through its descriptor, or through its
// /proc/self/fd entry when it was opened only as a path (which only Linux
// does, and only Linux has /proc/self/fd to reach it by).
std::atomic<int> opened_fd{-1};
std::atomic<int> opened_by_path{0};
std::atomic<int> opened_mode{0};

// "/proc/self/fd/<fd>", written into `path` without anything a handler
// may not call.
void fd_path(int fd, char (&path)[32])
{
    static const char prefix[] = "/proc/self/fd/";
    std::size_t at = 0;
    for (; prefix[at] != '\0'; ++at)
        path[at] = prefix[at];
    char digits[12];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + fd % 10);
        fd /= 10;
    } while (fd > 0 && count < sizeof digits);
    while (count > 0)
        path[at++] = digits[--count];
    path[at] = '\0';
}

// Set once the run is telling its end: an interrupt is then let go, and
// the run ends as it would have.
volatile std::sig_atomic_t finishing = 0;

// The walk's thread: the one that notes what an interrupt must undo.
pthread_t walk_thread;

extern "C" void on_interrupt(int signal)
{
    // An interrupt of the process may reach any of its threads; the walk's
    // own thread, which keeps the notes below, is the one that acts on it.
    if (finishing != 0)
        return;
    if (!pthread_equal(pthread_self(), walk_thread)) {
        pthread_kill(walk_thread, signal);
        return;
    }
    // The hidden files first: their removal may need the bit. A creation
    // under way ends before they are looked at (a file system that does
    // not answer is waited for a few seconds at most).
    stopping = true;
    for (int waited = 0; waited < 5000; ++waited) {
        bool busy = false;
        for (const pending_slot_t& slot : pending)
            busy = busy || slot.creating;
        if (!busy)
            break;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    for (const pending_slot_t& slot : pending) {
        const unsigned version = slot.version;
        const int dir = slot.dir;
        if (dir < 0 || version % 2 != 0)
            continue;
        char name[std::size(pending[0].name)];
        for (std::size_t at = 0; at < sizeof name; ++at)
            name[at] = slot.name[at].load(std::memory_order_relaxed);
        name[sizeof name - 1] = '\0';
        if (slot.version == version)
            unlinkat(dir, name, 0);
    }
    if (const int fd = opened_fd; fd >= 0) {
        char opened_path[32];
        fd_path(fd, opened_path);
        if (opened_by_path)
            chmod(opened_path, static_cast<mode_t>(opened_mode.load()));
        else
            fchmod(fd, static_cast<mode_t>(opened_mode.load()));
    }
    _exit(1);
}

}  // namespace

int posix_note_pending_temp(int dir_fd, const char* name)
{
    const std::size_t length = std::strlen(name);
    if (length >= std::size(pending[0].name))
        return -1;  // no such name is made
    pending_slot_t* slot = nullptr;
    int index = -1;
    const unsigned first = next_slot++;
    for (int tried = 0; slot == nullptr && tried < PENDING_SLOTS; ++tried) {
        const int at = static_cast<int>((first + static_cast<unsigned>(tried)) % PENDING_SLOTS);
        bool expected = false;
        if (pending[at].taken.compare_exchange_strong(expected, true)) {
            slot = &pending[at];
            index = at;
        }
    }
    if (slot == nullptr)
        return -1;   // more copies under way than slots: none makes that many
    ++slot->version;
    for (std::size_t at = 0; at <= length; ++at)
        slot->name[at].store(name[at], std::memory_order_relaxed);
    ++slot->version;
    slot->creating = true;
    slot->dir = dir_fd;
    // An interrupt that has begun ending the run has looked, or is about
    // to look, at the slots: this thread makes nothing more and waits for
    // the end.
    if (stopping) {
        slot->dir = -1;
        slot->creating = false;
        for (;;)
            pause();
    }
    return index;
}

void posix_created_pending_temp(int slot)
{
    if (slot >= 0)
        pending[slot].creating = false;
}

void posix_forget_pending_temp(int slot)
{
    if (slot < 0)
        return;
    pending[slot].dir = -1;
    pending[slot].creating = false;
    pending[slot].taken = false;
}

void posix_note_opened_dir(int dir_fd, bool path_only, unsigned mode)
{
    opened_fd = -1;
    if (dir_fd < 0)
        return;
#if !CALVENTO_HAVE_PROC_SELF
    if (path_only)
        return;   // no way to reach it from the handler
#endif
    opened_by_path = path_only ? 1 : 0;
    opened_mode = static_cast<int>(mode);
    opened_fd = dir_fd;
}

void platform_finishing()
{
    finishing = 1;
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
    finishing = 0;
    stopping = false;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    // A handler that returns (on a thread that hands the interrupt over, or
    // once the run is telling its end) must not fail the call it broke into.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader that goes away (a pipe into head, say) must not stop the
    // mirror halfway: the output is lost, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    // A limit on the size of files (ulimit -f) would end the run at the
    // first copy past it, without a word or a log footer: ignored, the write
    // fails with EFBIG instead, and that copy is reported as any failed one.
    std::signal(SIGXFSZ, SIG_IGN);

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

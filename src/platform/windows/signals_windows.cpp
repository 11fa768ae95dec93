// What the Windows layer prepares before a run: the end of an interrupted
// run (Ctrl+C, Ctrl+Break, the console window closed, the system shutting
// down; not another user logging off) and the system's error boxes.
#include "platform/windows/windows_internal.h"

#include <atomic>
#include <new>

namespace {

// The hidden files of the copies in progress, for the interrupt: one slot
// for each thread that copies, claimed on its first note and given back
// when the thread ends, so that noting a file costs one store. A thread
// that finds the table full notes its file in a slot of its own, linked
// into a list under a lock that only the linking, the unlinking and the
// interrupt take.
struct pending_slot_t {
    std::atomic<HANDLE> file{nullptr};
    std::atomic<bool> taken{false};
    pending_slot_t* next = nullptr;       // in the list of slots beyond the table
    pending_slot_t* previous = nullptr;
};
constexpr int PENDING_SLOTS = 72;
pending_slot_t pending[PENDING_SLOTS];

SRWLOCK beyond_lock = SRWLOCK_INIT;
pending_slot_t* beyond = nullptr;

// The calling thread's slot. The system gives it back when the thread
// ends, through the callback of a fiber-local value: mingw-w64 would run
// the destructor of a thread_local object after freeing its storage.
thread_local pending_slot_t* own_slot = nullptr;

void WINAPI give_back(void* claimed)
{
    auto* slot = static_cast<pending_slot_t*>(claimed);
    slot->file = nullptr;
    if (slot >= pending && slot < pending + PENDING_SLOTS) {
        slot->taken = false;
        return;
    }
    AcquireSRWLockExclusive(&beyond_lock);
    if (slot->previous != nullptr)
        slot->previous->next = slot->next;
    else
        beyond = slot->next;
    if (slot->next != nullptr)
        slot->next->previous = slot->previous;
    ReleaseSRWLockExclusive(&beyond_lock);
    delete slot;
}

pending_slot_t* claim_slot()
{
    static const DWORD claims = FlsAlloc(give_back);
    pending_slot_t* slot = nullptr;
    for (int at = 0; slot == nullptr && at < PENDING_SLOTS; ++at) {
        bool expected = false;
        if (pending[at].taken.compare_exchange_strong(expected, true))
            slot = &pending[at];
    }
    if (slot == nullptr) {
        slot = new (std::nothrow) pending_slot_t;
        if (slot == nullptr)
            return nullptr;   // the file goes with the process all the same
        AcquireSRWLockExclusive(&beyond_lock);
        slot->next = beyond;
        if (beyond != nullptr)
            beyond->previous = slot;
        beyond = slot;
        ReleaseSRWLockExclusive(&beyond_lock);
    }
    FlsSetValue(claims, slot);
    return slot;
}

// Held shared while a hidden file is being made, put in place or closed
// (so that copies do those at once), and exclusive by the interrupt: it
// never ends the process between the making of a file and its note, nor
// halfway through putting one in place, and a handle it marks is never
// one that a copy has just closed and the system given to another file.
SRWLOCK commit_lock = SRWLOCK_INIT;

}  // namespace

void win_note_pending_temp(HANDLE file)
{
    if (own_slot == nullptr)
        own_slot = claim_slot();
    if (own_slot != nullptr)
        own_slot->file = file;
}

void win_forget_pending_temp(HANDLE file)
{
    if (own_slot != nullptr && own_slot->file == file) {
        own_slot->file = nullptr;
        return;
    }
    // Noted by another thread: the note must go all the same before the
    // handle is closed, or the interrupt could mark a file that the system
    // opens later under the same handle.
    for (pending_slot_t& slot : pending) {
        HANDLE noted = file;
        slot.file.compare_exchange_strong(noted, nullptr);
    }
    AcquireSRWLockExclusive(&beyond_lock);
    for (pending_slot_t* slot = beyond; slot != nullptr; slot = slot->next) {
        HANDLE noted = file;
        slot->file.compare_exchange_strong(noted, nullptr);
    }
    ReleaseSRWLockExclusive(&beyond_lock);
}

void win_each_pending_temp(void (*visit)(HANDLE file, void* context), void* context)
{
    for (const pending_slot_t& slot : pending) {
        const HANDLE file = slot.file;
        if (file != nullptr)
            visit(file, context);
    }
    AcquireSRWLockExclusive(&beyond_lock);
    for (const pending_slot_t* slot = beyond; slot != nullptr; slot = slot->next) {
        const HANDLE file = slot->file;
        if (file != nullptr)
            visit(file, context);
    }
    ReleaseSRWLockExclusive(&beyond_lock);
}

void win_commit_begin()
{
    AcquireSRWLockShared(&commit_lock);
}

void win_commit_end()
{
    ReleaseSRWLockShared(&commit_lock);
}

// Set once the run is telling its end: an interrupt is then taken as
// handled and the run ends as it would have.
static volatile LONG finishing = 0;

BOOL WINAPI win_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    case CTRL_LOGOFF_EVENT:
        // Sent to console programs whenever any user logs off, also to a
        // run the task scheduler started in another session: a nightly
        // run must not end because someone logged off. Handled here, so
        // that the system's own handler does not end the process; a run
        // in the session that ends is ended by the system all the same.
        return TRUE;
    default:
        return FALSE;
    }
    if (finishing != 0)
        return TRUE;
    // Copies being put in place finish first; every other hidden file is
    // marked for deletion (since its creation; again here, to be sure) and
    // goes when the process ends and the system closes its handle. The
    // handles stay open until then: a copy under way must not meet a
    // closed handle and report it. The lock is never given back: copies
    // that come to it wait for the end.
    AcquireSRWLockExclusive(&commit_lock);
    win_each_pending_temp(
        [](HANDLE file, void*) {
            IO_STATUS_BLOCK io{};
            BOOLEAN flag = TRUE;
            NtSetInformationFile(file, &io, &flag, sizeof flag, static_cast<FILE_INFORMATION_CLASS>(13));
        },
        nullptr);
    TerminateProcess(GetCurrentProcess(), 1);
    return TRUE;
}

void platform_finishing()
{
    InterlockedExchange(&finishing, 1);
}

void platform_start()
{
    // Ctrl+C, Ctrl+Break, a closed console and a shutdown end the run with
    // exit code 1 after removing the hidden files of the copies in progress.
    InterlockedExchange(&finishing, 0);
    SetConsoleCtrlHandler(win_console_event, TRUE);
    // A drive without a medium, or a share that went away, is an error for
    // the run to report, not a dialog box waiting for someone to answer it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

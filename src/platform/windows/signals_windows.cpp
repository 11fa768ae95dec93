// What the Windows layer prepares before a run: the end of an interrupted
// run (Ctrl+C, Ctrl+Break, the console window closed, the system shutting
// down; not another user logging off) and the system's error boxes.
#include "platform/windows/windows_internal.h"

namespace {

// The hidden file of the copy in progress, and the lock that keeps an
// interrupt from ending the process while that file is being put in place.
HANDLE volatile pending = nullptr;
SRWLOCK commit_lock = SRWLOCK_INIT;

}  // namespace

void win_note_pending_temp(HANDLE file)
{
    pending = file;
}

void win_commit_begin()
{
    AcquireSRWLockExclusive(&commit_lock);
}

void win_commit_end()
{
    ReleaseSRWLockExclusive(&commit_lock);
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
    // A copy being put in place finishes first; any other hidden file is
    // marked for deletion (since its creation; again here, to be sure) and
    // goes when the process ends and the system closes its handle. The
    // handle stays open until then: the copy under way must not meet a
    // closed handle and report it.
    AcquireSRWLockExclusive(&commit_lock);
    const HANDLE file = pending;
    if (file != nullptr) {
        IO_STATUS_BLOCK io{};
        BOOLEAN flag = TRUE;
        NtSetInformationFile(file, &io, &flag, sizeof flag, static_cast<FILE_INFORMATION_CLASS>(13));
    }
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
    // exit code 1 after removing the hidden file of the copy in progress.
    InterlockedExchange(&finishing, 0);
    SetConsoleCtrlHandler(win_console_event, TRUE);
    // A drive without a medium, or a share that went away, is an error for
    // the run to report, not a dialog box waiting for someone to answer it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

#include "fileops/copy_file.h"

#include "core/output.h"
#include "fileops/dest_changes.h"
#include "fileops/dest_dir.h"
#include "fileops/durable.h"
#include "fileops/make_dir.h"
#include "platform/platform.h"

void show_copy_source(const run_t& run, const char* src_path, std::uint64_t size)
{
    if (size >= 100000)
        show(run, SHOW_PROGRESS, "Da\t%-60.60s %7lu KB\n", fit_path(src_path, FIT_WIDTH),
             static_cast<unsigned long>(size / 1024));
    else
        show(run, SHOW_PROGRESS, "Da\t%-60.60s %5lu BYTE\n", fit_path(src_path, FIT_WIDTH),
             static_cast<unsigned long>(size));
}

unsigned long copy_percent(std::uint64_t done, std::uint64_t size)
{
    if (done == size)
        return 100;
    if (size >= 100)
        return static_cast<unsigned long>(done / (size / 100));
    // Below 100 bytes the hundredth is zero: scale instead. A file listed
    // empty that has grown since shows 100 throughout.
    if (size == 0)
        return 100;
    return static_cast<unsigned long>(done * 100 / size);
}

namespace {

// Why an existing destination file may not be replaced, or ERR_NONE: only a
// regular file is ever replaced (never a directory, never a link nor what
// it leads to, never a FIFO, socket or device, none of which a listing
// shows), and never the run's own log.
error_kind_t refusal(const run_t& run, const fs_status_t& old)
{
    if (old.is_dir)
        return ERR_IS_DIR;
    if (old.is_link)
        return ERR_IS_LINK;
    if (!old.is_file)
        return ERR_EXISTS;
    if (run.log.id && old.id == *run.log.id)
        return ERR_BUSY;
    return ERR_NONE;
}

// The report order differs by failure: a destination that cannot be
// opened is logged before its error line, everything else after it.
int fail_destination_open(run_t& run, const char* dst_path, fs_error_t error)
{
    show(run, SHOW_PROGRESS, "\n");
    log_error(run, dst_path, error);
    print_error_line(run, dst_path, error);
    return 2;
}

}  // namespace

int make_copy(run_t& run, dest_changes_t& changes, copy_buffer_t& buffer, copy_turn_t* turn, const filelist_t* entry,
              fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir, const char* dst_path, copy_outcome_t* made)
{
    // The old file stays until the new one is complete; it is announced as
    // removed all the same, before the copy, at the level of a trace.
    fs_status_t old;
    const bool have_old = changes.find(*dst_dir, entry->name(), &old);
    if (have_old && (old.is_file || old.is_dir))
        show(run, SHOW_TRACE, "File\t%-60.60s Cancellato\n", fit_path(dst_path, FIT_WIDTH));

    show_copy_source(run, src_path, entry->size);
    show(run, SHOW_PROGRESS, "A\t%-60.60s       ", fit_path(dst_path, FIT_WIDTH));

    fs_error_t error;
    fs_file_t* src = fs_open_read_at(src_dir, entry->name(), &error);
    if (src == nullptr) {
        show(run, SHOW_PROGRESS, "\n");
        report_failure(run, src_path, error);
        made->error = error;
        return 2;
    }
    const error_kind_t refused = have_old ? refusal(run, old) : ERR_NONE;
    const copy_outcome_t outcome =
        refused != ERR_NONE
            ? copy_outcome_t{fs_error_of(refused), true}
            : changes.put_copy(run, buffer, turn, *dst_dir, entry->name(), dst_path, src, *entry, have_old);
    fs_close_read(src);
    *made = outcome;
    if (outcome.abandoned || (turn != nullptr && outcome.error.is(ERR_NO_SPACE) && turn->again()))
        return 3;
    if (outcome.waiting != nullptr)
        return 4;
    return end_copy(run, outcome, src_path, dst_path);
}

int end_copy(run_t& run, const copy_outcome_t& outcome, const char* src_path, const char* dst_path)
{
    if (outcome.reported) {
        // A directory on its way could not be made: that was the failure,
        // reported once.
        show(run, SHOW_PROGRESS, "\n");
        return 2;
    }
    if (outcome.opening)
        return fail_destination_open(run, dst_path, outcome.error);
    show(run, SHOW_PROGRESS, "\n");
    if (outcome.error) {
        report_failure(run, outcome.reading ? src_path : dst_path, outcome.error);
        return 1;
    }
    return 0;
}

void count_copy(run_t& run, dest_changes_t& changes, const filelist_t* entry, const std::string& dst_path,
                const copy_outcome_t& made)
{
    ++run.stats.files_copied;
    run.stats.bytes_copied += made.bytes;
    if (made.committed != nullptr)
        changes.hold(run, made.committed, dst_path, entry->mtime(), made.bytes);
}

int copy_file(run_t& run, dest_changes_t& changes, const filelist_t* entry, fs_dir_t* src_dir, const char* src_path,
              dest_dir_t* dst_dir, const char* dst_path)
{
    copy_outcome_t made;
    const int status = make_copy(run, changes, run.buffer, nullptr, entry, src_dir, src_path, dst_dir, dst_path, &made);
    if (status == 0)
        count_copy(run, changes, entry, dst_path, made);
    return status;
}

#include "fileops/copy_file.h"

#include "core/output.h"
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

// The report order differs by failure: a destination that cannot be
// opened is logged before its error line, everything else after it.
int fail_destination_open(run_t& run, const char* dst_path, fs_error_t error)
{
    show(run, SHOW_PROGRESS, "\n");
    log_error(run, dst_path, error);
    print_error_line(run, dst_path, error);
    return 2;
}

int fail_transfer(run_t& run, const char* path, fs_error_t error)
{
    show(run, SHOW_PROGRESS, "\n");
    report_failure(run, path, error);
    return 1;
}

// Closes what a failed copy opened, dropping its unfinished data.
void close_all(fs_file_t* src, fs_out_t* out)
{
    if (out != nullptr)
        fs_discard(out);
    fs_close_read(src);
}

// Opens the hidden file that will become the destination, creating the
// missing directories on its way once when needed_dirs_only asks for it.
fs_out_t* create_destination(run_t& run, dest_dir_t* dst_dir, const char* name, const char* dst_path,
                             fs_file_t* source, fs_error_t* error)
{
    fs_out_t* out = fs_create_temp_at(dst_dir->dir.get(), name, source);
    if (out != nullptr)
        return out;
    *error = fs_last_error();
    if (!error->is(ERR_NOT_FOUND) || !run.settings.needed_dirs_only)
        return nullptr;
    make_path(run, dst_path);
    if (dest_dir_open(dst_dir) == nullptr) {
        *error = fs_error_of(ERR_NOT_FOUND);
        return nullptr;
    }
    out = fs_create_temp_at(dst_dir->dir.get(), name, source);
    if (out == nullptr)
        *error = fs_last_error();
    return out;
}

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

}  // namespace

int copy_file(run_t& run, const filelist_t* entry, fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir,
              const char* dst_path)
{
    const run_settings_t& settings = run.settings;
    // The old file stays until the new one is complete; it is announced as
    // removed all the same, before the copy, at the level of a trace.
    // A dry run has not removed what the walk would have removed by now.
    fs_status_t old;
    const bool have_old = dst_dir->dir && !dst_dir->gone.contains(entry->name()) &&
                          fs_stat_at(dst_dir->dir.get(), entry->name(), &old) == 0;
    if (have_old && (old.is_file || old.is_dir))
        show(run, SHOW_TRACE, "File\t%-60.60s Cancellato\n", fit_path(dst_path, FIT_WIDTH));

    show_copy_source(run, src_path, entry->size);
    show(run, SHOW_PROGRESS, "A\t%-60.60s       ", fit_path(dst_path, FIT_WIDTH));

    fs_file_t* src = fs_open_read_at(src_dir, entry->name());
    if (src == nullptr) {
        const fs_error_t error = fs_last_error();
        show(run, SHOW_PROGRESS, "\n");
        report_failure(run, src_path, error);
        return 2;
    }
    if (have_old) {
        const error_kind_t refused = refusal(run, old);
        if (refused != ERR_NONE) {
            close_all(src, nullptr);
            return fail_destination_open(run, dst_path, fs_error_of(refused));
        }
    }
    if (settings.dry_run) {
        fs_close_read(src);
        if (!dst_dir->dir && !dst_dir->made) {
            if (!settings.needed_dirs_only)
                return fail_destination_open(run, dst_path, fs_error_of(ERR_NOT_FOUND));
            make_path(run, dst_path);
            dst_dir->made = true;
        }
        show(run, SHOW_PROGRESS, "\n");
        ++run.stats.files_copied;
        run.stats.bytes_copied += entry->size;
        return 0;
    }
    fs_error_t error;
    fs_out_t* out = create_destination(run, dst_dir, entry->name(), dst_path, src, &error);
    if (out == nullptr) {
        close_all(src, nullptr);
        return fail_destination_open(run, dst_path, error);
    }

    // Holes of a sparse source stay holes. The kernel moves the data where
    // it can; the first refusal hands the rest of the file to the copy
    // buffer, where reads and writes name their own failures. Either way the
    // data moves in chunks of the buffer's size.
    bool in_kernel = true;
    std::uint64_t done = 0;
    for (;;) {
        std::uint64_t chunk = run.buffer.size;
        std::int64_t got = fs_skip_hole(src, out, chunk, &chunk);
        if (got < 0) {
            error = fs_last_error();
            close_all(src, out);
            return fail_transfer(run, dst_path, error);
        }
        if (got == 0 && in_kernel)
            got = fs_copy_range(src, out, chunk);
        if (got < 0 || (got == 0 && !in_kernel)) {
            in_kernel = false;
            got = fs_read(src, run.buffer.data, chunk);
            if (got < 0) {
                error = fs_last_error();
                close_all(src, out);
                return fail_transfer(run, src_path, error);
            }
            if (got > 0) {
                const std::int64_t put = fs_write(out, run.buffer.data, static_cast<std::uint64_t>(got));
                if (put != got) {
                    // A write that falls short has met a full disk.
                    error = put >= 0 ? fs_error_of(ERR_NO_SPACE) : fs_last_error();
                    close_all(src, out);
                    return fail_transfer(run, dst_path, error);
                }
            }
        }
        if (got == 0)
            break;
        done += static_cast<std::uint64_t>(got);
        if (settings.verbosity >= SHOW_PROGRESS) {
            show(run, SHOW_PROGRESS, "%03lu%%\b\b\b\b", copy_percent(done, entry->size));
            con_flush();
        }
    }
    fs_close_read(src);

    // Until its data is durable the copy carries a time that no run takes
    // as up to date: a crash before then leaves a file that the next run
    // copies again, never one that looks finished.
    fs_set_times(out, UNFINISHED_COPY_TIME);
    if (fs_commit(out, have_old) != 0)
        return fail_transfer(run, dst_path, fs_last_error());

    show(run, SHOW_PROGRESS, "\n");
    ++run.stats.files_copied;
    run.stats.bytes_copied += done;
    hold_copy(run, out, dst_path, entry->mtime(), done);
    return 0;
}

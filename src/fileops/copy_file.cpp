#include "fileops/copy_file.h"

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/dest_dir.h"
#include "fileops/durable.h"
#include "fileops/make_dir.h"
#include "platform/platform.h"

void show_copy_source(const char* src_path, std::uint64_t size)
{
    if (size >= 100000)
        show(SHOW_PROGRESS, "Da\t%-60.60s %7lu KB\n", fit_path(src_path, FIT_WIDTH), static_cast<unsigned long>(size / 1024));
    else
        show(SHOW_PROGRESS, "Da\t%-60.60s %5lu BYTE\n", fit_path(src_path, FIT_WIDTH), static_cast<unsigned long>(size));
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
int fail_destination_open(const char* dst_path)
{
    show(SHOW_PROGRESS, "\n");
    log_error(dst_path);
    print_error_line(dst_path);
    return 2;
}

int fail_transfer(const char* path, int result)
{
    show(SHOW_PROGRESS, "\n");
    print_error_line(path);
    log_error(path);
    return result;
}

// Closes what a failed copy opened (and drops its unfinished data),
// keeping the last error for the report.
void close_all(fs_file_t* src, fs_out_t* out)
{
    const int saved = last_error();
    if (out != nullptr)
        fs_discard(out);
    fs_close_read(src);
    set_last_error(saved);
}

// Opens the hidden file that will become the destination, creating the
// missing directories on its way once when needed_dirs_only asks for it.
fs_out_t* create_destination(dest_dir_t* dst_dir, const char* name, const char* dst_path, fs_file_t* source)
{
    fs_out_t* out = fs_create_temp_at(dst_dir->dir, name, source);
    if (out != nullptr || !last_error_is(ERR_NOT_FOUND) || !RunSettings.needed_dirs_only)
        return out;
    make_path(dst_path);
    if (dest_dir_open(dst_dir) == nullptr) {
        set_last_error_kind(ERR_NOT_FOUND);
        return nullptr;
    }
    return fs_create_temp_at(dst_dir->dir, name, source);
}

// Why an existing destination file may not be replaced, or ERR_NONE: only a
// regular file is ever replaced (never a directory, never a link nor what
// it leads to, never a FIFO, socket or device, none of which a listing
// shows), and never the run's own log.
error_kind_t refusal(const fs_status_t& old)
{
    if (old.is_dir)
        return ERR_IS_DIR;
    if (old.is_link)
        return ERR_IS_LINK;
    if (!old.is_file)
        return ERR_EXISTS;
    if (RunSettings.log_id && old.id == *RunSettings.log_id)
        return ERR_BUSY;
    return ERR_NONE;
}

}  // namespace

int copy_file(const filelist_t* entry, fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir,
              const char* dst_path)
{
    // The old file stays until the new one is complete; it is announced as
    // removed all the same, before the copy, at the level of a trace.
    // A dry run has not removed what the walk would have removed by now.
    fs_status_t old;
    const bool have_old = dst_dir->dir != nullptr && !dst_dir->gone.contains(entry->name()) &&
                          fs_stat_at(dst_dir->dir, entry->name(), &old) == 0;
    if (have_old && (old.is_file || old.is_dir))
        show(SHOW_TRACE, "File\t%-60.60s Cancellato\n", fit_path(dst_path, FIT_WIDTH));

    show_copy_source(src_path, entry->size);
    show(SHOW_PROGRESS, "A\t%-60.60s       ", fit_path(dst_path, FIT_WIDTH));

    fs_file_t* src = fs_open_read_at(src_dir, entry->name());
    if (src == nullptr) {
        show(SHOW_PROGRESS, "\n");
        print_error_line(src_path);
        log_error(src_path);
        return 2;
    }
    if (have_old) {
        const error_kind_t refused = refusal(old);
        if (refused != ERR_NONE) {
            close_all(src, nullptr);
            set_last_error_kind(refused);
            return fail_destination_open(dst_path);
        }
    }
    if (RunSettings.dry_run) {
        fs_close_read(src);
        if (dst_dir->dir == nullptr && !dst_dir->made) {
            if (!RunSettings.needed_dirs_only) {
                set_last_error_kind(ERR_NOT_FOUND);
                return fail_destination_open(dst_path);
            }
            make_path(dst_path);
            dst_dir->made = true;
        }
        show(SHOW_PROGRESS, "\n");
        ++RunStatistics.files_copied;
        RunStatistics.bytes_copied += entry->size;
        return 0;
    }
    fs_out_t* out = create_destination(dst_dir, entry->name(), dst_path, src);
    if (out == nullptr) {
        close_all(src, nullptr);
        return fail_destination_open(dst_path);
    }

    // Holes of a sparse source stay holes. The kernel moves the data where
    // it can; the first refusal hands the rest of the file to copy_buffer,
    // where reads and writes name their own failures. Either way the data
    // moves in chunks of buffer_size.
    bool in_kernel = true;
    std::uint64_t done = 0;
    for (;;) {
        std::uint64_t chunk = RunSettings.buffer_size;
        std::int64_t got = fs_skip_hole(src, out, chunk, &chunk);
        if (got < 0) {
            close_all(src, out);
            return fail_transfer(dst_path, 1);
        }
        if (got == 0 && in_kernel)
            got = fs_copy_range(src, out, chunk);
        if (got < 0 || (got == 0 && !in_kernel)) {
            in_kernel = false;
            got = fs_read(src, copy_buffer, chunk);
            if (got < 0) {
                close_all(src, out);
                return fail_transfer(src_path, 1);
            }
            if (got > 0) {
                const std::int64_t put = fs_write(out, copy_buffer, static_cast<std::uint64_t>(got));
                if (put != got) {
                    // A write that falls short has met a full disk.
                    if (put >= 0)
                        set_last_error_kind(ERR_NO_SPACE);
                    close_all(src, out);
                    return fail_transfer(dst_path, 1);
                }
            }
        }
        if (got == 0)
            break;
        done += static_cast<std::uint64_t>(got);
        if (RunSettings.verbosity >= SHOW_PROGRESS) {
            show(SHOW_PROGRESS, "%03lu%%\b\b\b\b", copy_percent(done, entry->size));
            con_flush();
        }
    }
    fs_close_read(src);

    // Until its data is durable the copy carries a time that no run takes
    // as up to date: a crash before then leaves a file that the next run
    // copies again, never one that looks finished.
    fs_set_times(out, UNFINISHED_COPY_TIME);
    if (fs_commit(out, have_old) != 0)
        return fail_transfer(dst_path, 1);

    show(SHOW_PROGRESS, "\n");
    ++RunStatistics.files_copied;
    RunStatistics.bytes_copied += done;
    hold_copy(out, dst_path, entry->mtime(), done);
    return 0;
}

#include "fileops/copy_file.h"

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
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
fs_out_t* create_destination(const char* dst_path, std::uint32_t protection)
{
    fs_out_t* out = fs_create_temp(dst_path, protection);
    if (out != nullptr || !last_error_is(ERR_NOT_FOUND) || !RunSettings.needed_dirs_only)
        return out;
    make_path(dst_path);
    return fs_create_temp(dst_path, protection);
}

}  // namespace

int copy_file(const filelist_t* entry, const char* src_path, const char* dst_path)
{
    // The old file stays until the new one is complete; it is announced as
    // removed all the same, before the copy, at the level of a trace.
    fs_status_t old;
    const bool have_old = fs_stat(dst_path, false, &old) == 0;
    if (have_old && (old.is_file || old.is_dir))
        show(SHOW_TRACE, "File\t%-60.60s Cancellato\n", fit_path(dst_path, FIT_WIDTH));

    show_copy_source(src_path, entry->size);
    show(SHOW_PROGRESS, "A\t%-60.60s       ", fit_path(dst_path, FIT_WIDTH));

    fs_file_t* src = fs_open_read(src_path);
    if (src == nullptr) {
        show(SHOW_PROGRESS, "\n");
        print_error_line(src_path);
        log_error(src_path);
        return 2;
    }
    // Only a regular file is ever replaced: never a directory, never a link
    // (nor what it leads to), never a FIFO, socket or device, none of which
    // a listing shows.
    if (have_old && !old.is_file) {
        close_all(src, nullptr);
        set_last_error_kind(old.is_dir ? ERR_IS_DIR : old.is_link ? ERR_IS_LINK : ERR_EXISTS);
        return fail_destination_open(dst_path);
    }
    // A read-only source gives a copy that nobody may write.
    std::uint32_t protection = entry->protection;
    if (entry->attr & ATTR_READONLY)
        protection = fs_read_only(protection);
    fs_out_t* out = create_destination(dst_path, protection);
    if (out == nullptr) {
        close_all(src, nullptr);
        return fail_destination_open(dst_path);
    }

    // The kernel moves the data where it can; the first refusal hands the
    // rest of the file to copy_buffer, where reads and writes name their
    // own failures. Either way the data moves in chunks of buffer_size.
    bool in_kernel = true;
    std::uint64_t done = 0;
    for (;;) {
        std::int64_t got = in_kernel ? fs_copy_range(src, out, RunSettings.buffer_size) : -1;
        if (got < 0) {
            in_kernel = false;
            got = fs_read(src, copy_buffer, RunSettings.buffer_size);
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

    fs_set_times(out, entry->date, entry->time);
    if (fs_commit(out, dst_path, have_old) != 0)
        return fail_transfer(dst_path, 1);

    show(SHOW_PROGRESS, "\n");
    ++RunStatistics.files_copied;
    RunStatistics.bytes_copied += done;
    return 0;
}

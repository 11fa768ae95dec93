#include "fileops/copy_file.h"

#include <cerrno>

#include "fileops/make_dir.h"
#include "platform/platform.h"
#include "run/options.h"
#include "run/output.h"
#include "run/stats.h"

void show_copy_source(const char* src_path, std::uint64_t size)
{
    if (size >= 100000)
        show(1, "Da\t%-60.60s %7lu KB\n", fit_path(src_path, FIT_WIDTH), static_cast<unsigned long>(size / 1024));
    else
        show(1, "Da\t%-60.60s %5lu BYTE\n", fit_path(src_path, FIT_WIDTH), static_cast<unsigned long>(size));
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
    show(1, "\n");
    log_error(dst_path);
    print_error_line(dst_path);
    return 2;
}

int fail_transfer(const char* path, int result)
{
    show(1, "\n");
    print_error_line(path);
    log_error(path);
    return result;
}

// Closes what a failed copy opened (and drops its unfinished data),
// keeping errno for the report.
void close_all(int src, fs_out_t* out)
{
    const int saved = errno;
    if (out != nullptr)
        fs_discard(out);
    fs_close(src);
    errno = saved;
}

// Opens the hidden file that will become the destination, creating the
// missing directories on its way once when needed_dirs_only asks for it.
int create_destination(const char* dst_path, std::uint32_t mode, fs_out_t* out)
{
    if (fs_create_temp(dst_path, mode, out) == 0)
        return 0;
    if (errno != ENOENT || !RunSettings.needed_dirs_only)
        return -1;
    make_path(dst_path);
    return fs_create_temp(dst_path, mode, out);
}

}  // namespace

int copy_file(const filelist_t* entry, const char* src_path, const char* dst_path)
{
    // The old file stays until the new one is complete; only its
    // announcement comes first, where its removal used to be.
    fs_status_t old;
    const bool have_old = fs_stat(dst_path, false, &old) == 0;
    if (have_old && (old.is_file || old.is_dir))
        show(5, "File\t%-60.60s Cancellato\n", fit_path(dst_path, FIT_WIDTH));

    show_copy_source(src_path, entry->size);
    show(1, "A\t%-60.60s       ", fit_path(dst_path, FIT_WIDTH));

    const int src = fs_open_read(src_path);
    if (src < 0) {
        show(1, "\n");
        print_error_line(src_path);
        log_error(src_path);
        return 2;
    }
    // Only a regular file is ever replaced: never a directory, never a link
    // (nor what it leads to), never a FIFO, socket or device, none of which
    // a listing shows.
    if (have_old && !old.is_file) {
        close_all(src, nullptr);
        errno = old.is_dir ? EISDIR : old.is_link ? ELOOP : EEXIST;
        return fail_destination_open(dst_path);
    }
    // A read-only source gives a copy that nobody may write.
    std::uint32_t mode = entry->mode;
    if (entry->attr & ATTR_READONLY)
        mode &= ~0222u;
    fs_out_t out;
    if (create_destination(dst_path, mode, &out) != 0) {
        close_all(src, nullptr);
        return fail_destination_open(dst_path);
    }

    // The kernel moves the data where it can; the first refusal hands the
    // rest of the file to copy_buffer, where reads and writes name their
    // own failures. Either way the data moves in chunks of buffer_size.
    bool in_kernel = true;
    std::uint64_t done = 0;
    for (;;) {
        long got = in_kernel ? fs_copy_range(src, out.fd, RunSettings.buffer_size) : -1;
        if (got < 0) {
            in_kernel = false;
            got = fs_read(src, copy_buffer, RunSettings.buffer_size);
            if (got < 0) {
                close_all(src, &out);
                return fail_transfer(src_path, 1);
            }
            if (got > 0) {
                const long put = fs_write(out.fd, copy_buffer, static_cast<std::size_t>(got));
                if (put != got) {
                    // A write that falls short has met a full disk.
                    if (put >= 0)
                        errno = ENOSPC;
                    close_all(src, &out);
                    return fail_transfer(dst_path, 1);
                }
            }
        }
        if (got == 0)
            break;
        done += static_cast<std::uint64_t>(got);
        if (RunSettings.verbosity >= 1) {
            show(1, "%03lu%%\b\b\b\b", copy_percent(done, entry->size));
            con_flush();
        }
    }
    fs_close(src);

    fs_set_times(out.fd, entry->date, entry->time);
    if (fs_commit(&out, dst_path, have_old) != 0)
        return fail_transfer(dst_path, 1);

    show(1, "\n");
    ++RunStatistics.files_copied;
    RunStatistics.bytes_copied += done;
    return 0;
}

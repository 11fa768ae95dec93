#include "fileops/copy_file.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/dest_dir.h"
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

bool unfinished_copy_time(std::int64_t sec)
{
    // A file system that keeps local times (FAT) gives the moment back
    // shifted by the zone it converts with, which may change between runs.
    constexpr std::int64_t ZONES = 14 * 3600;
    return sec >= UNFINISHED_COPY_TIME.sec - ZONES && sec <= UNFINISHED_COPY_TIME.sec + ZONES;
}

namespace {

// A batch of at most this many copies, or of about this many bytes, waits
// to be made durable at once. One flush serves the whole batch, where a
// flush per file would cost a commit of the file system's journal each; a
// run that is cut short copies at most one batch again.
constexpr std::size_t BATCH_FILES = 4096;
constexpr std::uint64_t BATCH_BYTES = std::uint64_t{256} << 20;

// A copy in place under its name, still open, that carries the placeholder
// time until its data is durable.
struct held_copy_t {
    fs_out_t* out;
    std::string dst_path;      // for the report
    fs_time_t mtime;           // its source's time, given once the data is durable
    std::uint64_t bytes;       // counted as copied
};

std::vector<held_copy_t> held;
std::uint64_t held_bytes = 0;

// A copy that could not be made durable after all: reported like a failed
// transfer, and counted as not copied instead of copied.
void fail_held(const held_copy_t& copy, int error)
{
    set_last_error(error);
    print_error_line(copy.dst_path.c_str());
    log_error(copy.dst_path.c_str());
    --RunStatistics.files_copied;
    RunStatistics.bytes_copied -= copy.bytes;
    ++RunStatistics.files_not_copied;
}

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
    held.push_back({out, dst_path, entry->mtime(), done});
    held_bytes += done;
    if (held.size() >= std::min(BATCH_FILES, fs_open_outs_limit()) || held_bytes >= BATCH_BYTES)
        settle_copies();
    return 0;
}

std::uint64_t settle_copies()
{
    if (held.empty())
        return 0;
    // The data first; then the source's times, which are made durable in
    // their turn, so that a time is never on disk before the data it vouches for.
    const std::size_t count = held.size();
    std::vector<fs_out_t*> outs(count);
    std::vector<int> errors(count);
    for (std::size_t i = 0; i < count; ++i)
        outs[i] = held[i].out;
    fs_flush_outs(outs.data(), count, errors.data());

    std::vector<fs_out_t*> timed;
    std::vector<std::size_t> timed_at;
    for (std::size_t i = 0; i < count; ++i) {
        if (errors[i] != 0)
            continue;
        fs_set_times(held[i].out, held[i].mtime);
        timed.push_back(held[i].out);
        timed_at.push_back(i);
    }
    std::vector<int> time_errors(timed.size());
    fs_flush_outs(timed.data(), timed.size(), time_errors.data());
    for (std::size_t k = 0; k < timed.size(); ++k) {
        if (time_errors[k] != 0) {
            // Not made durable: the next run is to copy it again.
            fs_set_times(timed[k], UNFINISHED_COPY_TIME);
            errors[timed_at[k]] = time_errors[k];
        }
    }

    std::uint64_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (fs_close_out(held[i].out) != 0 && errors[i] == 0)
            errors[i] = last_error();
        if (errors[i] != 0) {
            fail_held(held[i], errors[i]);
            ++failed;
        }
    }
    held.clear();
    held_bytes = 0;
    return failed;
}

#include "support/fault_platform.h"

#include <cerrno>
#include <set>

fault_plan_t fault_plan;
recorded_console_t console;

namespace {

platform_t faulty;
std::map<int, std::string> read_paths;   // source fd -> path
std::map<int, std::uint64_t> read_done;
std::map<int, std::string> write_paths;  // destination fd -> destination path
std::map<int, std::uint64_t> write_done;
std::set<int> open_fds;
std::map<const fs_dir_t*, std::pair<std::string, int>> dir_reads;  // dir -> path, entries given
struct watched_copy_t {
    std::uint64_t taken = 0;
    bool hooked = false;
};
std::map<int, watched_copy_t> watched;  // source fd of a watched copy -> its progress

const platform_t& real()
{
    return posix_platform;
}

int fake_open_read(const char* path)
{
    if (!fault_plan.fail_open_read.empty() && fault_plan.fail_open_read == path) {
        errno = fault_plan.read_errno;
        return -1;
    }
    const int fd = real().open_read(path);
    if (fd >= 0) {
        read_paths[fd] = path;
        read_done[fd] = 0;
        open_fds.insert(fd);
        if (!fault_plan.during_copy.empty() && fault_plan.during_copy == path)
            watched[fd] = watched_copy_t{};
    }
    return fd;
}

// Counts what the copy took from the watched source and runs the test's
// hook once the planned amount is reached.
void note_taken(int fd, long count)
{
    auto copy = watched.find(fd);
    if (copy == watched.end() || count <= 0)
        return;
    copy->second.taken += static_cast<std::uint64_t>(count);
    if (!copy->second.hooked && copy->second.taken >= fault_plan.during_copy_after && fault_plan.during_copy_hook) {
        copy->second.hooked = true;
        fault_plan.during_copy_hook();
    }
}

long fake_read(int fd, void* buffer, std::size_t count)
{
    auto path = read_paths.find(fd);
    if (path != read_paths.end() && !fault_plan.fail_read.empty() && path->second == fault_plan.fail_read) {
        std::uint64_t& done = read_done[fd];
        if (done >= fault_plan.fail_read_after) {
            errno = EIO;
            return -1;
        }
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, fault_plan.fail_read_after - done));
        const long got = real().read(fd, buffer, count);
        if (got > 0)
            done += static_cast<std::uint64_t>(got);
        return got;
    }
    const long got = real().read(fd, buffer, count);
    note_taken(fd, got);
    return got;
}

int fake_close(int fd)
{
    read_paths.erase(fd);
    read_done.erase(fd);
    watched.erase(fd);
    open_fds.erase(fd);
    return real().close(fd);
}

int fake_create_temp(const char* dst_path, std::uint32_t mode, fs_out_t* out)
{
    if (fault_plan.enoent_creates > 0) {
        --fault_plan.enoent_creates;
        errno = ENOENT;
        return -1;
    }
    const int result = real().create_temp(dst_path, mode, out);
    if (result == 0) {
        write_paths[out->fd] = dst_path;
        write_done[out->fd] = 0;
        open_fds.insert(out->fd);
    }
    return result;
}

long fake_write(int fd, const void* buffer, std::size_t count)
{
    auto path = write_paths.find(fd);
    if (path != write_paths.end() && !fault_plan.full_disk.empty() && path->second == fault_plan.full_disk) {
        std::uint64_t& done = write_done[fd];
        const std::uint64_t room = fault_plan.full_disk_after > done ? fault_plan.full_disk_after - done : 0;
        if (room == 0) {
            errno = ENOSPC;
            return -1;
        }
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(count, room));
        const long put = real().write(fd, buffer, part);
        if (put > 0)
            done += static_cast<std::uint64_t>(put);
        return put;
    }
    return real().write(fd, buffer, count);
}

// Planned read and write faults live on the copy-buffer path: a copy they
// concern is refused the in-kernel way, as a file system without it would.
long fake_copy_range(int in, int out, std::size_t count)
{
    auto source = read_paths.find(in);
    auto destination = write_paths.find(out);
    const bool faulty_source = source != read_paths.end() && !fault_plan.fail_read.empty() &&
                               source->second == fault_plan.fail_read;
    const bool faulty_destination = destination != write_paths.end() && !fault_plan.full_disk.empty() &&
                                    destination->second == fault_plan.full_disk;
    if (faulty_source || faulty_destination || fault_plan.no_copy_range) {
        errno = EXDEV;
        return -1;
    }
    const long moved = real().copy_range(in, out, count);
    note_taken(in, moved);
    return moved;
}

void forget_out(const fs_out_t* out)
{
    write_paths.erase(out->fd);
    write_done.erase(out->fd);
    open_fds.erase(out->fd);
}

int fake_commit(fs_out_t* out, const char* dst_path, bool replace)
{
    if (!fault_plan.fail_commit.empty() && fault_plan.fail_commit == dst_path) {
        forget_out(out);
        real().discard(out);
        errno = EIO;
        return -1;
    }
    forget_out(out);
    return real().commit(out, dst_path, replace);
}

void fake_discard(fs_out_t* out)
{
    forget_out(out);
    real().discard(out);
}

fs_dir_t* fake_dir_open(const char* path)
{
    if (!fault_plan.fail_dir_open.empty() && fault_plan.fail_dir_open == path) {
        errno = fault_plan.dir_open_errno;
        return nullptr;
    }
    fs_dir_t* dir = real().dir_open(path);
    if (dir != nullptr)
        dir_reads[dir] = {path, 0};
    return dir;
}

int fake_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    auto& state = dir_reads[dir];
    if (!fault_plan.fail_dir_read.empty() && state.first == fault_plan.fail_dir_read &&
        state.second >= fault_plan.fail_dir_read_after) {
        errno = EIO;
        return -1;
    }
    const int got = real().dir_next(dir, entry);
    if (got > 0)
        ++state.second;
    return got;
}

void fake_dir_close(fs_dir_t* dir)
{
    auto state = dir_reads.find(dir);
    if (state != dir_reads.end() && fault_plan.after_listing) {
        const std::string path = state->second.first;
        fault_plan.after_listing(path);
    }
    dir_reads.erase(dir);
    real().dir_close(dir);
}

int fake_append_text(const char* path, const char* bytes, std::size_t count)
{
    if (!fault_plan.fail_append.empty() && fault_plan.fail_append == path) {
        errno = ENOSPC;
        return -1;
    }
    return real().append_text(path, bytes, count);
}

void fake_con_write(int stream, const char* bytes, std::size_t count)
{
    (stream == CON_ERR ? console.err : console.out).append(bytes, count);
    console.both.append(bytes, count);
}

void fake_con_flush()
{
    ++console.flushes;
}

void fake_con_read_key()
{
    ++console.key_reads;
}

std::time_t fake_clock_now()
{
    return fault_plan.now != -1 ? fault_plan.now : real().clock_now();
}

void* fake_mem_try_alloc(std::size_t size)
{
    if (size > fault_plan.alloc_limit)
        return nullptr;
    return real().mem_try_alloc(size);
}

}  // namespace

ScopedFaults::ScopedFaults()
{
    fault_plan = fault_plan_t{};
    console = recorded_console_t{};
    read_paths.clear();
    read_done.clear();
    write_paths.clear();
    write_done.clear();
    open_fds.clear();
    dir_reads.clear();
    watched.clear();
    faulty = posix_platform;
    faulty.open_read = fake_open_read;
    faulty.read = fake_read;
    faulty.close = fake_close;
    faulty.create_temp = fake_create_temp;
    faulty.write = fake_write;
    faulty.copy_range = fake_copy_range;
    faulty.commit = fake_commit;
    faulty.discard = fake_discard;
    faulty.dir_open = fake_dir_open;
    faulty.dir_next = fake_dir_next;
    faulty.dir_close = fake_dir_close;
    faulty.append_text = fake_append_text;
    faulty.con_write = fake_con_write;
    faulty.con_flush = fake_con_flush;
    faulty.con_read_key = fake_con_read_key;
    faulty.clock_now = fake_clock_now;
    faulty.mem_try_alloc = fake_mem_try_alloc;
    previous_ = plat_install(&faulty);
}

ScopedFaults::~ScopedFaults()
{
    plat_install(previous_);
}

int open_descriptors()
{
    return static_cast<int>(open_fds.size());
}

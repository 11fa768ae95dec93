// The POSIX part of the test support: scratch trees with modes, links and
// FIFOs, local times through the C library, and errno numbers.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/system.h"
#include "support/temp_tree.h"

namespace fs = std::filesystem;

const system_errors_t sys_errors = {ENOENT, ENOENT, EACCES, EIO, EPERM, ENOSPC, EISDIR, ELOOP, EEXIST, EBUSY, EILSEQ};

std::string error_words(int code)
{
    return std::strerror(code);
}

std::string sep()
{
    return "/";
}

fs::path fs_path(const std::string& path)
{
    return fs::path(path);
}

std::string utf8_of(const fs::path& path)
{
    return path.string();
}

// A POSIX system has them all (bind mounts and owners still need privileges,
// which the tests that use them check for themselves), but for what the
// program's POSIX layer was built without (CALVENTO_BUILT_*, from the
// configure checks; the posix-generic preset leaves all of it out).
std::string missing(feature_t feature)
{
    switch (feature) {
    case feature_t::sparse_files:
        return CALVENTO_BUILT_HOLES ? "" : "this build copies the holes of a sparse file as zeros (no SEEK_DATA)";
    case feature_t::search_only_dirs:
        return CALVENTO_BUILT_SEARCH_ONLY_DIRS ? ""
                                               : "this build cannot open a directory that may not be read (no O_PATH)";
    case feature_t::unnamed_copies:
        return CALVENTO_BUILT_UNNAMED_COPIES ? ""
                                             : "this build writes each copy into a hidden named file, which a "
                                               "killed run leaves behind (no O_TMPFILE)";
    case feature_t::mount_places:
        return CALVENTO_BUILT_MOUNT_PLACES ? ""
                                           : "this build cannot tell where a directory lies across bind mounts "
                                             "(no /proc/self/mountinfo)";
    case feature_t::case_rules:
        return CALVENTO_BUILT_CASE_RULES ? ""
                                         : "this build cannot tell how a file system looks names up (no statfs "
                                           "types): an empty destination is paired as if it ignored case";
    case feature_t::exclusive_renames:
        return CALVENTO_BUILT_EXCLUSIVE_RENAMES ? ""
                                                : "this build looks at a new name before a rename (no renameat2), "
                                                  "which a FUSE client may answer from its cache";
    case feature_t::extended_attributes:
        return CALVENTO_BUILT_XATTR ? "" : "this build carries no extended attributes or ACLs (no <sys/xattr.h>)";
    default:
        return {};
    }
}

TempTree::TempTree()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/calvento-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
}

TempTree::~TempTree()
{
    // Give write permission back everywhere so that removal cannot fail.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(root_, ignored);
}

void TempTree::link(const std::string& relative, const std::string& target)
{
    const fs::path where = path(relative);
    fs::create_directories(where.parent_path());
    fs::create_symlink(target, where);
}

void TempTree::fifo(const std::string& relative)
{
    if (mkfifo(path(relative).c_str(), 0644) != 0)
        throw std::runtime_error("mkfifo failed");
}

bool TempTree::exists(const std::string& relative) const
{
    struct stat info;
    return lstat(path(relative).c_str(), &info) == 0;
}

bool TempTree::is_dir(const std::string& relative) const
{
    struct stat info;
    return lstat(path(relative).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void TempTree::set_mtime(const std::string& relative, std::time_t when)
{
    struct timeval times[2] = {{when, 0}, {when, 0}};
    if (lutimes(path(relative).c_str(), times) != 0)
        throw std::runtime_error("lutimes failed");
}

std::time_t TempTree::mtime(const std::string& relative) const
{
    struct stat info;
    if (lstat(path(relative).c_str(), &info) != 0)
        return -1;
    return info.st_mtime;
}

void TempTree::set_mode(const std::string& relative, unsigned mode)
{
    if (chmod(path(relative).c_str(), mode) != 0)
        throw std::runtime_error("chmod failed");
}

unsigned TempTree::mode(const std::string& relative) const
{
    struct stat info;
    if (lstat(path(relative).c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

std::time_t local_moment(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::tm local_calendar(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

std::vector<std::string> delivered_names(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

std::string read_text_file(const std::string& path)
{
    return read_file(path);
}

bool make_sparse_file(const std::string& path, std::uint64_t size, const std::string& data, std::uint64_t at)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool made = pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)) ==
                          static_cast<ssize_t>(data.size()) &&
                      ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return made;
}

std::uint64_t allocated_bytes(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

int make_socket(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        close(fd);
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void close_socket(int socket)
{
    close(socket);
}

bool set_exact_mtime(const std::string& path, std::int64_t sec, std::uint32_t nsec)
{
    const struct timespec exact[2] = {{static_cast<time_t>(sec), static_cast<long>(nsec)},
                                      {static_cast<time_t>(sec), static_cast<long>(nsec)}};
    return utimensat(AT_FDCWD, path.c_str(), exact, 0) == 0;
}

bool privileged()
{
    return geteuid() == 0;
}

void set_owner(const std::string& path, unsigned owner, unsigned group)
{
    if (lchown(path.c_str(), owner, group) != 0)
        throw std::runtime_error("lchown failed on " + path);
}

ownership_t ownership_of(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        throw std::runtime_error("lstat failed on " + path);
    return {static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid),
            static_cast<unsigned>(info.st_mode & 07777)};
}

std::string unused_drive()
{
    return "C:";
}

std::string bind_mount(const std::string& from, const std::string& to)
{
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return std::strerror(errno);
    return {};
}

void unmount(const std::string& where)
{
    umount(where.c_str());
}

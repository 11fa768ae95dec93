#include "support/linux_tools.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "support/temp_tree.h"

namespace {

void walk_below(const std::string& root, const std::string& relative,
                const std::function<bool(const std::string&, const struct stat&)>& visit)
{
    std::vector<std::string> names = delivered_names(relative.empty() ? root : root + "/" + relative);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((root + "/" + child).c_str(), &info) != 0)
            continue;
        if (visit(child, info) && S_ISDIR(info.st_mode))
            walk_below(root, child, visit);
    }
}

// The path of an installed program: found on PATH, or in the system
// directories that PATH may leave out for a user who is not root; empty
// when there is none.
std::string installed(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// Runs `argv` (a path, or a program found on PATH) with no input and its
// output thrown away, and gives back whether it ended with exit code 0.
bool quietly(const std::vector<std::string>& argv)
{
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_RDWR);
        dup2(quiet, STDIN_FILENO);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether `where` is the root of a mount other than that of its parent.
bool is_mount_point(const std::string& where)
{
    struct stat self, parent;
    return stat(where.c_str(), &self) == 0 && stat((where + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

}  // namespace

void walk_tree(const std::string& root, const std::function<bool(const std::string&, const struct stat&)>& visit)
{
    walk_below(root, "", visit);
}

std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only)
{
    std::vector<std::string> lines;
    const auto listable = [&](const std::string& relative) {
        if (access((root + "/" + relative).c_str(), R_OK | X_OK) != 0)
            lines.push_back("? " + printable(relative) + " (cannot be listed)");
    };
    listable("");
    walk_tree(root, [&](const std::string& relative, const struct stat& info) {
        if (mirrored_only && std::filesystem::path(relative).filename().string()[0] == '.')
            return false;
        const std::string shown = printable(relative);
        if (S_ISDIR(info.st_mode)) {
            lines.push_back("d " + shown);
            listable(relative);
        } else if (S_ISREG(info.st_mode)) {
            const std::size_t hash = std::hash<std::string>{}(read_file(root + "/" + relative));
            char detail[160];
            std::snprintf(detail, sizeof detail, " size=%lld bytes=%zx mtime/2=%lld mode=%03o",
                          static_cast<long long>(info.st_size), hash, static_cast<long long>(info.st_mtime / 2),
                          static_cast<unsigned>(info.st_mode & 07777));
            lines.push_back("f " + shown + detail);
        } else if (!mirrored_only) {
            lines.push_back((S_ISLNK(info.st_mode) ? "l " : "o ") + shown);
        }
        return true;
    });
    return lines;
}

std::vector<std::string> snapshot(const std::string& root)
{
    std::vector<std::string> lines;
    walk_tree(root, [&](const std::string& relative, const struct stat& info) {
        const std::string full = root + "/" + relative;
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, " mode=%o mtime=%lld.%09ld", info.st_mode & 07777,
                      static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
        if (S_ISLNK(info.st_mode))
            lines.push_back("l " + relative + " -> " + std::filesystem::read_symlink(full).string());
        else if (S_ISDIR(info.st_mode))
            lines.push_back("d " + relative + stamp);
        else
            lines.push_back("f " + relative + stamp + " " + read_file(full));
        return true;
    });
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> hidden_copies(const std::string& root)
{
    std::vector<std::string> found;
    walk_tree(root, [&](const std::string& relative, const struct stat&) {
        if (std::filesystem::path(relative).filename().string().starts_with(".calvento-"))
            found.push_back(root + "/" + relative);
        return true;
    });
    return found;
}

bool fill_up(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string block(4096, 'f');
    bool full = false;
    for (int i = 0; i < 1 << 20; ++i) {
        const ssize_t n = write(fd, block.data(), block.size());
        if (n < 0) {
            full = errno == ENOSPC;
            break;
        }
        if (n < static_cast<ssize_t>(block.size())) {
            char one = 'f';
            full = write(fd, &one, 1) < 0 && errno == ENOSPC;
            break;
        }
    }
    close(fd);
    return full;
}

bool set_immutable(const std::string& path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

std::map<std::string, std::string> extended_attributes(const std::string& path)
{
    std::map<std::string, std::string> attributes;
    std::string names(65536, '\0');
    const ssize_t size = llistxattr(path.c_str(), names.data(), names.size());
    names.resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const std::string name = names.c_str() + at;
        std::string value(65536, '\0');
        const ssize_t got = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        attributes[name] = value;
    }
    return attributes;
}

bool shell(const std::string& command, const std::string& cwd)
{
    return std::system(("cd '" + cwd + "' && " + command).c_str()) == 0;
}

AccessWatch::AccessWatch(const std::string& root)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    // All directories are found first: the search itself opens them.
    std::vector<std::string> dirs = {root};
    walk_tree(root, [&](const std::string& relative, const struct stat& info) {
        if (S_ISDIR(info.st_mode))
            dirs.push_back(root + "/" + relative);
        return true;
    });
    for (const std::string& dir : dirs) {
        const int wd = inotify_add_watch(fd_, dir.c_str(), IN_ALL_EVENTS | IN_DONT_FOLLOW);
        if (wd >= 0)
            dirs_[wd] = dir;
    }
}

AccessWatch::~AccessWatch()
{
    if (fd_ >= 0)
        close(fd_);
}

std::vector<std::string> AccessWatch::events()
{
    std::vector<std::string> seen;
    alignas(inotify_event) char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (char* at = buffer; at < buffer + n;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
            const std::string name = event->len > 0 ? std::string(event->name) : std::string();
            char mask[16];
            std::snprintf(mask, sizeof mask, " %#x", event->mask);
            seen.push_back(dirs_[event->wd] + "/" + name + mask);
            at += sizeof(inotify_event) + event->len;
        }
    }
    return seen;
}

ScopedSlowfs::ScopedSlowfs(const std::string& program, const std::string& backing, const std::string& where,
                           const std::string& options)
    : where_(where)
{
    if (access("/dev/fuse", R_OK | W_OK) != 0 || geteuid() != 0) {
        error_ = "needs /dev/fuse and root";
        return;
    }
    // slowfs returns once the mount is in place and serves it from the
    // background.
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        execl(program.c_str(), program.c_str(), backing.c_str(), where.c_str(), "-o", options.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    mounted_ = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!mounted_)
        error_ = "slowfs could not mount " + where;
}

ScopedSlowfs::~ScopedSlowfs()
{
    if (mounted_ && umount(where_.c_str()) != 0)
        umount2(where_.c_str(), MNT_DETACH);
}

ScopedFatImage::ScopedFatImage(const std::string& image, const std::string& where, unsigned size_kib,
                               int limit_seconds)
    : where_(where)
{
    const std::string mkfs = installed("mkfs.vfat");
    const std::string fusefat = installed("fusefat");
    if (access("/dev/fuse", R_OK | W_OK) != 0 || mkfs.empty() || fusefat.empty()) {
        error_ = "needs /dev/fuse, fusefat and mkfs.vfat (dosfstools)";
        return;
    }
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(size_kib) * 1024) == 0;
    if (fd >= 0)
        close(fd);
    if (!sized || !quietly({mkfs, image})) {
        error_ = "mkfs.vfat could not make " + image;
        return;
    }
    // In the foreground, as a child of this process, so that it can be
    // ended and waited for whatever state it is in.
    server_ = fork();
    if (server_ == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execl(fusefat.c_str(), fusefat.c_str(), "-f", "-o", "rw+", image.c_str(), where.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server_ > 0 && !mounted_ && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(server_, &status, WNOHANG) == server_) {
            server_ = -1;
            break;
        }
        mounted_ = is_mount_point(where);
        if (!mounted_)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!mounted_) {
        error_ = "fusefat could not mount " + image + " on " + where;
        return;
    }
    watchdog_ = std::thread([this, limit_seconds] {
        std::unique_lock<std::mutex> hold(lock_);
        if (!ending_.wait_for(hold, std::chrono::seconds(limit_seconds), [this] { return ended_; }))
            kill(server_, SIGKILL);
    });
}

ScopedFatImage::~ScopedFatImage()
{
    if (watchdog_.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            ended_ = true;
        }
        ending_.notify_one();
        watchdog_.join();
    }
    const std::string fusermount = installed("fusermount");
    const bool unmounted = mounted_ && !fusermount.empty() && quietly({fusermount, "-u", where_});
    if (server_ > 0) {
        // Unmounted, the server ends by itself. One that hangs, or that still
        // serves a busy mount, is ended here, which also fails every request
        // still waiting for it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(unmounted ? 5 : 0);
        int status = 0;
        while (waitpid(server_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(server_, SIGKILL);
                waitpid(server_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (mounted_ && !unmounted && umount(where_.c_str()) != 0)
        umount2(where_.c_str(), MNT_DETACH);
}

ScopedExt4Image::ScopedExt4Image(const std::string& image, const std::string& where, unsigned mebibytes)
    : image_(image), where_(where)
{
    if (geteuid() != 0 || access("/dev/loop-control", R_OK | W_OK) != 0) {
        error_ = "needs root and loop devices";
        return;
    }
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(mebibytes) << 20) != 0) {
        if (fd >= 0)
            close(fd);
        error_ = "cannot make the image " + image;
        return;
    }
    close(fd);
    if (!quietly({"mkfs.ext4", "-q", "-F", image})) {
        error_ = "mkfs.ext4 cannot make a file system in " + image;
        return;
    }
    if (!mount_image())
        error_ = "cannot loop-mount " + image + " on " + where;
}

ScopedExt4Image::~ScopedExt4Image()
{
    if (mounted_ && umount(where_.c_str()) != 0)
        umount2(where_.c_str(), MNT_DETACH);
}

bool ScopedExt4Image::mount_image()
{
    // A journal committed every second makes the state a crash leaves, where
    // names and sizes were committed and data was not, quick to reach.
    mounted_ = quietly({"mount", "-t", "ext4", "-o", "loop,commit=1", image_, where_});
    return mounted_;
}

bool ScopedExt4Image::cut_power()
{
    // From the kernel's ext4 interface, which not every set of headers has.
    constexpr unsigned long EXT4_IOC_SHUTDOWN = _IOR('X', 125, std::uint32_t);
    constexpr std::uint32_t EXT4_GOING_FLAGS_NOLOGFLUSH = 0x2;
    const int fd = open(where_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::uint32_t flags = EXT4_GOING_FLAGS_NOLOGFLUSH;
    const bool done = ioctl(fd, EXT4_IOC_SHUTDOWN, &flags) == 0;
    close(fd);
    return done;
}

bool ScopedExt4Image::remount()
{
    if (mounted_ && umount(where_.c_str()) != 0)
        return false;
    mounted_ = false;
    return mount_image();
}

#include "support/linux_tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
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

// Where a directory lies inside its file system, on Linux. A path in the
// mount namespace cannot tell it: a bind mount shows a sub-directory of a
// file system somewhere else, and ".." at the root of that mount leads to
// the mount point's parent, not to the sub-directory's. So the place is made
// of the mount that the directory's descriptor was reached through, that
// mount's line of /proc/self/mountinfo (the file system's device, the root of
// the mount inside the file system, and where it is mounted), and the
// directory's path below the mount point.
//
// Other POSIX systems (macOS, the BSDs) tell no such place: dir_place
// fails there, and the overlap check compares the identities of the
// directories and their real parents alone.
#include "platform/posix/posix_config.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

#if CALVENTO_HAVE_PROC_SELF
// What a descriptor is open on, and through which mount.
struct mount_view_t {
    std::uint64_t mount;
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const mount_view_t&) const = default;
};

bool view_of(int fd, mount_view_t* view)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    view->device = static_cast<std::uint64_t>(info.st_dev);
    view->inode = static_cast<std::uint64_t>(info.st_ino);
#if CALVENTO_HAVE_STATX_MNT_ID
    struct statx extra;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &extra) == 0 &&
        (extra.stx_mask & STATX_MNT_ID) != 0) {
        view->mount = extra.stx_mnt_id;
        return true;
    }
#endif
    // Kernels before 5.8 (and C libraries without statx) tell the mount only
    // in the descriptor's information, on a line "mnt_id:" that never comes
    // first.
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    std::string text;
    if (posix_read_text(name, &text) != 0)
        return false;
    const std::size_t at = text.find("\nmnt_id:");
    if (at == std::string::npos) {
        errno = ENOENT;
        return false;
    }
    const char* digits = text.c_str() + at + 8;
    char* end = nullptr;
    view->mount = std::strtoull(digits, &end, 10);
    if (end == digits) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// A field of mountinfo as it is: the kernel writes a space, a tab, a newline
// and a backslash in a path as "\" and three octal digits.
std::string unescaped(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](std::size_t k) { return field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            text += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// One line of /proc/self/mountinfo: "id parent major:minor root
// mount-point options ...".
struct mount_line_t {
    std::uint64_t id;
    std::uint64_t parent;
    std::string device;   // "major:minor" of the file system
    std::string root;     // the root of the mount inside the file system
    std::string point;    // where it is mounted
};

bool read_mounts(std::vector<mount_line_t>* mounts)
{
    std::string text;
    if (posix_read_text("/proc/self/mountinfo", &text) != 0)
        return false;
    std::size_t line = 0;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        if (end == std::string::npos)
            end = text.size();
        std::string fields[5];
        std::size_t count = 0;
        std::size_t at = line;
        while (count < 5 && at < end) {
            std::size_t stop = text.find(' ', at);
            if (stop == std::string::npos || stop > end)
                stop = end;
            fields[count++] = text.substr(at, stop - at);
            at = stop + 1;
        }
        if (count == 5)
            mounts->push_back({std::strtoull(fields[0].c_str(), nullptr, 10),
                               std::strtoull(fields[1].c_str(), nullptr, 10), fields[2], unescaped(fields[3]),
                               unescaped(fields[4])});
        line = end + 1;
    }
    return true;
}

// Whether the root of a mount names a place: one whose root was removed
// shows it with "//deleted" appended, and where that was no longer says
// anything.
bool root_known(const std::string& root)
{
    const std::string deleted = "//deleted";
    return !root.empty() && root[0] == '/' &&
           !(root.size() >= deleted.size() && root.compare(root.size() - deleted.size(), deleted.size(), deleted) == 0);
}

// The part of `path` below `point` ("" for `point` itself, "/c" for "/a/b/c"
// below "/a/b"), component by component; false when `path` does not lie there.
bool part_below(const std::string& path, const std::string& point, std::string* below)
{
    if (point == "/") {
        *below = path == "/" ? std::string() : path;
        return true;
    }
    if (path.compare(0, point.size(), point) != 0 || (path.size() > point.size() && path[point.size()] != '/'))
        return false;
    *below = path.substr(point.size());
    return true;
}

// `root` of a mount with `below` appended.
std::string joined(const std::string& root, const std::string& below)
{
    if (below.empty())
        return root;
    return root == "/" ? below : root + below;
}

int posix_dir_place(fs_dir_t* dir, fs_place_t* place)
{
    const int fd = posix_dir_fd(dir);
    mount_view_t view;
    if (!view_of(fd, &view))
        return -1;

    // The path the kernel reached the directory by. It is taken only when it
    // still leads to the same directory through the same mount: not when the
    // directory was removed or moved since, lies outside the process's root,
    // or was covered by another mount.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string path(PATH_MAX + 1, '\0');
    const ssize_t length = readlink(link, path.data(), path.size());
    if (length < 0)
        return -1;
    if (length == 0 || static_cast<std::size_t>(length) >= path.size() || path[0] != '/') {
        errno = ENOENT;
        return -1;
    }
    path.resize(static_cast<std::size_t>(length));
#if CALVENTO_HAVE_O_PATH
    const int look = O_PATH;     // also a directory that may not be read
#else
    const int look = O_RDONLY;
#endif
    const int again = open(path.c_str(), look | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (again < 0)
        return -1;
    mount_view_t check;
    const bool same = view_of(again, &check) && check == view;
    close(again);
    if (!same) {
        errno = ENOENT;
        return -1;
    }

    std::vector<mount_line_t> mounts;
    if (!read_mounts(&mounts))
        return -1;
    std::unordered_map<std::uint64_t, const mount_line_t*> by_id;
    for (const mount_line_t& mount : mounts)
        by_id[mount.id] = &mount;
    const auto own = by_id.find(view.mount);
    std::string below;
    if (own == by_id.end() || !root_known(own->second->root) || !part_below(path, own->second->point, &below)) {
        errno = ENOENT;
        return -1;
    }
    place->volume = own->second->device;
    place->path = joined(own->second->root, below);

    // The mounts inside the directory, which the walk goes into: those whose
    // mount point lies below its path and which hang, through their parents,
    // from its own mount (the others are covered by a later mount).
    place->mounted.clear();
    for (const mount_line_t& mount : mounts) {
        std::string inside;
        if (mount.id == view.mount || !root_known(mount.root) || !part_below(mount.point, path, &inside) ||
            inside.empty())
            continue;
        const mount_line_t* up = &mount;
        for (std::size_t steps = 0; up != nullptr && up->id != view.mount && steps < mounts.size(); ++steps) {
            const auto parent = by_id.find(up->parent);
            up = parent != by_id.end() && parent->second != up ? parent->second : nullptr;
        }
        if (up != nullptr && up->id == view.mount)
            place->mounted.push_back({mount.device, mount.root, {}});
    }
    return 0;
}
#else
int posix_dir_place(fs_dir_t*, fs_place_t*)
{
    errno = ENOSYS;   // no system call tells it here
    return -1;
}
#endif

}  // namespace

void posix_fill_mounts(platform_t* record)
{
    record->dir_place = posix_dir_place;
}

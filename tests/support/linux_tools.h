// Linux facilities that tests use to make and watch hostile conditions:
// immutable files, inotify, a file system filled to its last byte, a FUSE
// file system with a will of its own, and whole-tree walks that see
// everything, dot names included.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "support/tree_text.h"

// Calls `visit` for every entry below `root`, dot names included, in name
// order within each directory, with its path relative to `root` and its
// status; links are never followed. `visit` returns whether to go into a
// directory.
void walk_tree(const std::string& root, const std::function<bool(const std::string&, const struct stat&)>& visit);

// Every path below `root` whose name a copy in progress uses for its hidden
// file.
std::vector<std::string> hidden_copies(const std::string& root);

// Fills the file system of `path` up to its last byte with the file `path`;
// false when the file system did not end up full.
bool fill_up(const std::string& path);

// Sets or clears the immutable flag, as chattr +i and chattr -i do.
bool set_immutable(const std::string& path, bool on);

// Makes paths immutable and gives them back their freedom when the test
// ends, whether it passed or not, so that the scratch tree can go.
class ScopedImmutable {
  public:
    ScopedImmutable() = default;
    ~ScopedImmutable()
    {
        for (const std::string& path : paths_)
            set_immutable(path, false);
    }
    ScopedImmutable(const ScopedImmutable&) = delete;
    ScopedImmutable& operator=(const ScopedImmutable&) = delete;

    bool add(const std::string& path)
    {
        paths_.push_back(path);
        return set_immutable(path, true);
    }

  private:
    std::vector<std::string> paths_;
};

// Watches a directory tree for any access at all: an open, a read, a
// change, a listing. Set up after the test has prepared the tree.
class AccessWatch {
  public:
    explicit AccessWatch(const std::string& root);
    ~AccessWatch();
    AccessWatch(const AccessWatch&) = delete;
    AccessWatch& operator=(const AccessWatch&) = delete;

    bool working() const { return fd_ >= 0 && !dirs_.empty(); }

    // The events seen since the last call, as "<path> <mask>".
    std::vector<std::string> events();

  private:
    int fd_;
    std::map<int, std::string> dirs_;
};

// Mounts slowfs, the benchmark's FUSE pass-through (`program`), over
// `backing` on `where` with the -o `options`, and unmounts it when the test
// ends. It needs /dev/fuse and root: a test checks mounted() and skips with
// error() when it failed.
class ScopedSlowfs {
  public:
    ScopedSlowfs(const std::string& program, const std::string& backing, const std::string& where,
                 const std::string& options);
    ~ScopedSlowfs();
    ScopedSlowfs(const ScopedSlowfs&) = delete;
    ScopedSlowfs& operator=(const ScopedSlowfs&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    std::string where_;
    bool mounted_ = false;
    std::string error_;
};

// A journaled ext4 file system in the image file `image`, loop-mounted on
// `where` with its journal committed every second, whose power a test can
// cut as a crash would: it stops dead, and only what its journal committed
// survives. It needs root, mkfs.ext4 and loop devices: a test checks
// mounted() and skips with error() when it failed. Unmounted when the test
// ends.
class ScopedExt4Image {
  public:
    ScopedExt4Image(const std::string& image, const std::string& where, unsigned mebibytes);
    ~ScopedExt4Image();
    ScopedExt4Image(const ScopedExt4Image&) = delete;
    ScopedExt4Image& operator=(const ScopedExt4Image&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

    // Shuts the file system down without flushing its journal
    // (EXT4_IOC_SHUTDOWN, EXT4_GOING_FLAGS_NOLOGFLUSH); every later access
    // fails. False when the system refused.
    bool cut_power();
    // Unmounts and mounts the image again, as after a reboot: the journal
    // is replayed. Processes that still hold files there must have ended.
    bool remount();

  private:
    bool mount_image();

    std::string image_;
    std::string where_;
    bool mounted_ = false;
    std::string error_;
};

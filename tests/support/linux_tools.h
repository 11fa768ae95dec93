// Linux facilities that tests use to make and watch hostile conditions:
// immutable files, inotify, a file system filled to its last byte, a FUSE
// file system with a will of its own, and whole-tree walks that see
// everything, dot names included.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
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

// Every extended attribute of `path` (its POSIX ACLs among them), by name
// with its value, without following a link; none where the file system
// keeps none.
std::map<std::string, std::string> extended_attributes(const std::string& path);

// Runs `command` with sh in the directory `cwd`: true when it ended with
// exit code 0.
bool shell(const std::string& command, const std::string& cwd);

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

// Makes a FAT file system of `size_kib` KiB in the file `image` (mkfs.vfat,
// from dosfstools) and mounts it read-write on `where` with fusefat, then
// unmounts it (fusermount -u) when the test ends. A test checks mounted()
// and skips with error() where /dev/fuse, fusefat or mkfs.vfat are missing.
//
// A request that fusefat has taken and never answers holds its caller in
// the kernel where not even SIGKILL reaches it: a hung server would hang
// the test, and a run's time limit could not end it. So the server still
// running `limit_seconds` after the mount is ended, which fails the
// requests waiting for it (ECONNABORTED) and all later ones (ENOTCONN);
// so is one that outlives the unmount by five seconds.
//
// fusefat (0.1a) is a FUSE 2 server with a will of its own; what it does:
// - Names fold ASCII case: "readme" finds README; creating "readme" opens
//   README under its old spelling, mkdir of a folded name gives EEXIST,
//   unlink and rmdir find their entry the same way; listings show the
//   stored spellings. A name with a byte outside ASCII, or with one of
//   : * ? " < > | \ or a control character, is refused with EPERM;
//   trailing dots and spaces are kept.
// - A rename onto an existing name replaces it and takes the new spelling.
//   A rename that changes only the case of a file's name works, but hangs
//   the server (it spins) once the file was written through the other
//   spelling. Any rename of a directory, a change of case included, loses
//   what the directory held (fsck finds it orphaned): never rename one.
// - Each name is an inode of its own (stat of README and readme shows two
//   inode numbers); listings give every entry the inode number 4294967295.
// - Times are kept in two-second steps, rounded down, as the local time of
//   the server's time zone; the access and change times read as the
//   modification time; a year outside 1980..2107 wraps (1975 reads as
//   2103, 2150 as 2022) without an error.
// - Every file and directory reads as mode 0700, owned by the user that
//   mounted; chmod and chown fail with ENOSYS, symlink with ENOSYS, link
//   with EPERM, extended attributes and O_TMPFILE with EOPNOTSUPP. mkfifo
//   fails with EIO but leaves an empty regular file of that name behind.
// - A file grows freely only while it is first written after its creation.
//   Opened again, a write past its end fails with EPERM, ftruncate cannot
//   grow it, and after O_TRUNC a longer write may fail too, leaving the
//   old size. A full disk also answers EPERM, not ENOSPC, and keeps the
//   part written. rmdir of a directory that is not empty gives EPERM.
// - A file removed while open is renamed to .fuse_hidden... until closed.
class ScopedFatImage {
  public:
    ScopedFatImage(const std::string& image, const std::string& where, unsigned size_kib = 8192,
                   int limit_seconds = 100);
    ~ScopedFatImage();
    ScopedFatImage(const ScopedFatImage&) = delete;
    ScopedFatImage& operator=(const ScopedFatImage&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    std::string where_;
    pid_t server_ = -1;
    bool mounted_ = false;
    std::string error_;
    std::mutex lock_;
    std::condition_variable ending_;
    bool ended_ = false;
    std::thread watchdog_;
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

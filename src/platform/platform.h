// Everything the program asks of the operating system.
//
// Callers use the free functions at the end of this header. Behind them is one
// record of function pointers, filled by the layer of the system the program
// is built for (native_platform); tests install a copy of it with a few
// entries replaced to make an operation fail on purpose. Only the files under
// platform/ include operating-system headers, and nothing outside platform/
// asks which system it runs on: where systems differ, the difference is a
// value or an operation of this record.
//
// Failures come back as values (fs_error_t): the platform's own number,
// which the portable code prints with its text, and the few conditions of
// error_kind_t that it acts on. In the record itself, an operation that
// fails returns -1 (or nullptr) and leaves its number as the calling
// thread's last error, which only the free functions read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// Attribute bits of a listed entry, with their DOS values.
inline constexpr std::uint8_t ATTR_READONLY = 0x01;
inline constexpr std::uint8_t ATTR_HIDDEN = 0x02;
inline constexpr std::uint8_t ATTR_SYSTEM = 0x04;
inline constexpr std::uint8_t ATTR_DIRECTORY = 0x10;
inline constexpr std::uint8_t ATTR_ARCHIVE = 0x20;
inline constexpr std::uint8_t ATTR_NORMAL = 0x80;

// Console streams.
inline constexpr int CON_OUT = 1;
inline constexpr int CON_ERR = 2;

// The conditions that the portable code tells apart; every other failure is
// ERR_OTHER, reported with the platform's own number and text.
enum error_kind_t {
    ERR_NONE,
    ERR_NOT_FOUND,     // no such file or directory
    ERR_IS_DIR,        // a directory where a file was expected
    ERR_IS_LINK,       // a link where none may be followed
    ERR_EXISTS,        // the name is taken
    ERR_NOT_EMPTY,     // a directory that still holds something
    ERR_NO_SPACE,      // the device is full
    ERR_BUSY,          // in use: the run's own log file
    ERR_CANCELED,      // given up by the run itself: the removal limit
    ERR_BAD_TEXT,      // text in no encoding the program reads (a list file)
    ERR_CROSS_DEVICE,  // a move between two file systems, which no rename makes
    ERR_OTHER,
};

// A failure as the system reports it: the platform's own number, printed
// with its text, and the condition of error_kind_t it stands for. The
// default is no failure.
struct fs_error_t {
    int code = 0;
    error_kind_t kind = ERR_NONE;

    explicit operator bool() const { return code != 0; }
    bool is(error_kind_t condition) const { return kind == condition; }
};

// What makes a file or directory itself, whatever its name: on POSIX the
// device and the inode.
struct fs_id_t {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const fs_id_t&) const = default;
};

// An exact last-write time: seconds since 1970-01-01 00:00:00 UTC and the
// nanoseconds that the file system keeps.
struct fs_time_t {
    std::int64_t sec;
    std::uint32_t nsec;
};

// The change time of a listed entry whose listing tells none.
inline constexpr std::int64_t CHANGE_UNKNOWN = INT64_MIN;

// One directory entry as the listing sees it. dir_next fills name and attr
// (the directory bit alone is known then); dir_details fills the rest.
struct dos_dirent_t {
    // A name of at most 255 bytes on POSIX; on Windows of at most 255
    // UTF-16 units, which take up to 765 bytes as UTF-8.
    char name[768];
    std::uint8_t attr;        // ATTR_* bits
    fs_time_t mtime;          // last write
    std::uint64_t size;       // full size in bytes
    fs_id_t id;
    // What guards a file, as an opaque value that two files share when
    // they are guarded alike (on POSIX the permission bits a copy carries;
    // on Windows the attribute bits it carries), and the moment of its
    // last change of any kind, guards included, in nanoseconds since 1970
    // (CHANGE_UNKNOWN where the listing tells none).
    std::uint16_t protection = 0;
    std::int64_t changed = CHANGE_UNKNOWN;
};

// An open directory (through which the walk reaches everything in it, and
// which it lists), a file open for reading, and the file that a copy in
// progress writes: each layer defines them.
struct fs_dir_t;
struct fs_file_t;
struct fs_out_t;

// What a status query tells about a name; links are never followed.
struct fs_status_t {
    bool is_file;             // a regular file
    bool is_dir;
    bool is_link;
    fs_id_t id;
};

// How a file system looks names up: exactly, byte for byte, or without
// regard to letter case (FAT, exFAT, NTFS as Windows uses it, most SMB
// shares, ext4 directories with casefolding); unknown when the system does
// not say.
enum case_rule_t {
    CASE_UNKNOWN,
    CASE_EXACT,
    CASE_FOLDS,
};

// Where a directory lies inside its file system, whichever mount, bind
// mount or drive letter it was reached through: two directories of one file
// system have the same `volume`, and one lies inside the other when its
// `path` (from that file system's root, in the system's separators) begins
// with all the components of the other's.
struct fs_place_t {
    std::string volume;
    std::string path;
    // The places of the roots of other file systems, or parts of them,
    // mounted inside the directory where the walk goes into them (on Linux):
    // a tree holds what they hold too.
    std::vector<fs_place_t> mounted;
};

// A moment in local time, broken down.
struct local_time_t {
    int year;                 // e.g. 2024
    int month;                // 1 to 12
    int day;                  // 1 to 31
    int hour;
    int minute;
    int second;               // 0 to 60
    int weekday;              // 0 Sunday to 6 Saturday
};

// Threads: the walk calls every operation. Beside it, the listing threads
// call dir_open, dir_next, dir_details, dir_passed_over, dir_close and stat_at, each on
// directories of its own (two threads never share an open directory), and
// mem_try_alloc and mem_free. The copy threads make whole copies (stat_at,
// open_read_at and the reads, the copy transaction from create_temp_at to
// commit and discard), several at once in one directory, which the walk
// keeps open meanwhile and may change too (make_dir_at, the owner's write
// bit). The flush of durable copies calls flush_outs, set_times and
// close_out on copies nothing else touches meanwhile. Those may run at
// once; the last error they leave is the calling thread's own. Everything
// else (the console, text files) belongs to the walk's thread.
struct platform_t {
    // Paths. The separator joins a directory and a name; is_separator also
    // accepts the other separators the system knows. root_length is the
    // length of the part of a path that names no directory to create (the
    // leading "/" of an absolute POSIX path, 0 for a relative one).
    char separator;
    bool (*is_separator)(char c);
    std::size_t (*root_length)(const char* path);
    // The characters that begin an option group on the command line ("-"
    // on POSIX, where "/" begins an absolute path).
    const char* option_prefixes;

    // Directories. dir_open opens `path` relative to `base` (nullptr: the
    // current directory). With `follow` the path may pass through links and
    // end in one (the operands); without, `path` is one name and a link
    // there is refused, so that nothing is ever reached through a link put
    // in place of a listed directory. Something that is not a directory is
    // refused too. `id`, when given, receives what was opened. Everything
    // else the walk does in a directory goes through its handle and a name
    // in it.
    fs_dir_t* (*dir_open)(fs_dir_t* base, const char* path, bool follow, fs_id_t* id);
    void (*dir_close)(fs_dir_t* dir);
    // Where the open directory `dir` lies inside its file system; -1 when
    // the system cannot tell (no /proc, a query refused, a directory no
    // longer reachable by its path).
    int (*dir_place)(fs_dir_t* dir, fs_place_t* place);

    // The listing of an open directory, from its first entry each time it
    // begins. dir_next gives 1 for an entry,
    // 0 at the end and -1 when reading failed. Links, FIFOs, sockets and
    // devices are never delivered. dir_details completes a delivered entry:
    // 1 done, 0 when the entry vanished or turned out to be something never
    // listed, -1 on failure.
    int (*dir_next)(fs_dir_t* dir, dos_dirent_t* entry);
    int (*dir_details)(fs_dir_t* dir, dos_dirent_t* entry);
    // How many entries the listing under way, or the last one that ended,
    // passed over without delivering them (links, FIFOs, sockets, devices).
    std::uint64_t (*dir_passed_over)(fs_dir_t* dir);

    // Names in an open directory; a link is never followed.
    int (*stat_at)(fs_dir_t* dir, const char* name, fs_status_t* status);
    int (*remove_file_at)(fs_dir_t* dir, const char* name);
    int (*remove_dir_at)(fs_dir_t* dir, const char* name);
    // A new directory that only its owner may enter until
    // set_dir_protection gives it its own.
    int (*make_dir_at)(fs_dir_t* dir, const char* name);
    // Gives the open directory `dir` what the system guards the open
    // directory `like` with (on POSIX its permission bits, and its owner and
    // group on a privileged run, the setuid and setgid bits only with the
    // owner), where the two differ.
    int (*set_dir_protection)(fs_dir_t* dir, fs_dir_t* like);
    // Gives the file `name` of `dir`, a copy listed with `size` and
    // `mtime`, what guards the file `like_name` of `like_dir` as a new copy
    // of it would have it, in place and never through a link; a file that
    // is no longer the one listed, or a source gone, is left alone (0).
    // Its protection is given even where it looks alike, so that its
    // change time moves past its source's. 1 when the file system of `dir`
    // cannot keep it.
    int (*set_file_protection)(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                               fs_dir_t* like_dir, const char* like_name);
    // Gives the entry `from` of `dir` the spelling `to`, a name that differs
    // from it only in letter case, never replacing another entry: also
    // where the directory finds the entry under either spelling. 1 when
    // the system cannot do it safely and the entry keeps its spelling.
    int (*respell_at)(fs_dir_t* dir, const char* from, const char* to);
    // Moves the entry `from` of `dir`, a file or a whole directory tree
    // (never a link followed), to the name `to` in the directory `to_dir`
    // in one step, never replacing another entry (ERR_EXISTS when `to` is
    // taken). ERR_CROSS_DEVICE when the two lie where one rename cannot
    // join them (two file systems, two mounts).
    int (*move_at)(fs_dir_t* dir, const char* from, fs_dir_t* to_dir, const char* to);
    // How names are looked up in `dir`. `per_directory` tells whether the
    // answer holds for this directory alone (where the system keeps the rule
    // per directory) or for its whole file system; a per-directory answer is
    // never CASE_UNKNOWN.
    case_rule_t (*case_rule)(fs_dir_t* dir, bool* per_directory);
    // Takes the lock that makes the open directory `dir` a destination in
    // use, for this process until `dir` is closed or the process ends; no
    // other run can take it meanwhile, and nothing else is kept from
    // listing or changing the directory. 1 when taken, 0 when another
    // process holds it, -1 when the file system offers no such lock.
    int (*lock_dir)(fs_dir_t* dir);
    // Asks, without changing anything, whether the run may make, remove
    // and rename entries in the open directory `dir`: 0 when the system
    // would let such a change through as far as it can tell beforehand,
    // -1 with the error the change would meet otherwise (no write or
    // search permission for the run's effective user, a read-only file
    // system or volume). A directory of the run's user that lacks only its
    // owner's write bit is one the run opens for its changes: 0.
    int (*may_change)(fs_dir_t* dir);

    // Paths: the status of `path`, and a directory made there (the dated
    // directory and make_path), private to its owner until
    // set_dir_protection gives it its own.
    int (*stat)(const char* path, bool follow, fs_status_t* status);
    int (*make_dir)(const char* path);

    // File copy. Byte counts are 64-bit on every system; a transfer gives
    // the count moved, 0 at the end of the source, or -1.
    // open_read_at opens only a regular file, and never waits: anything else
    // found under the name (a FIFO put there since the listing, say) is
    // ERR_NOT_FOUND, as if the file had vanished.
    fs_file_t* (*open_read_at)(fs_dir_t* dir, const char* name);
    std::int64_t (*read)(fs_file_t* file, void* buffer, std::uint64_t count);
    void (*close_read)(fs_file_t* file);
    // The last-write time of an open file as it was when opened.
    fs_time_t (*file_mtime)(fs_file_t* file);
    // Opens the file that will become `name` in `dir`, hidden from every
    // listing until then, guarded as the open source file `like` is (on
    // POSIX its permission bits, without any write bit when its owner may
    // not write; its owner and group on a privileged run), but for what a
    // write would take away again, which protect_out gives.
    fs_out_t* (*create_temp_at)(fs_dir_t* dir, const char* name, fs_file_t* like);
    // Gives the copy `out`, its data all written, the rest of the
    // protection of its source `like` (the file it was created like, still
    // open) before the commit: on POSIX its extended attributes and ACLs,
    // then the setuid and setgid bits (only with the owner, and the group
    // for setgid), which the kernel clears at a write made without
    // privileges. 1 when the file system of `out` cannot keep all of it:
    // the copy is made without, and grants no more than its source.
    int (*protect_out)(fs_out_t* out, fs_file_t* like);
    std::int64_t (*write)(fs_out_t* out, const void* buffer, std::uint64_t count);
    // Moves up to `count` bytes from `in` to `out` without passing them
    // through the program. A -1 tells only that this way is closed for the
    // file: the caller goes on with read and write, which then meet and name
    // any real error.
    std::int64_t (*copy_range)(fs_file_t* in, fs_out_t* out, std::uint64_t count);
    // Where `in` stands in a hole of a sparse file, moves both files past
    // it (up to `count` bytes), leaving a hole in `out`, and gives the
    // bytes skipped. Where data follows, gives 0 and sets `data` to the
    // bytes of it before the next hole (up to `count`).
    std::int64_t (*skip_hole)(fs_file_t* in, fs_out_t* out, std::uint64_t count, std::uint64_t* data);
    int (*set_times)(fs_out_t* out, fs_time_t mtime);
    // Puts the finished file in place under its name (`replace`: a file of
    // that name is known to exist). On success `out` stays open, for
    // flush_outs, set_times and close_out; on failure it is released.
    int (*commit)(fs_out_t* out, bool replace);
    // Makes what was written to the `count` committed files and set on them
    // (data, size, time, name) durable on stable storage: at once for all
    // of them where the system can (one flush per file system), file by
    // file otherwise, on up to `threads` threads at once (a file server
    // answers each flush after a round trip). Sets errors[i] to 0 or to the
    // error that kept outs[i] from being made durable; gives how many
    // failed. Tells in `one_by_one`, where given, whether any file was
    // flushed on its own (then on a file server, whose other calls on
    // these files wait round trips too).
    std::size_t (*flush_outs)(fs_out_t* const* outs, std::size_t count, int* errors, unsigned threads,
                              bool* one_by_one);
    // Closes a committed file, makes sure that the time set on it holds
    // there (some file servers set their own when a file is closed), and
    // releases `out`, whatever the result; -1 when the closing reported a
    // write error.
    int (*close_out)(fs_out_t* out);
    // How many committed files the run may keep open at once, beside the
    // directories the walk and the listing threads hold.
    std::size_t (*open_outs_limit)();
    // Drops an unfinished copy and releases `out`; the last error stays.
    void (*discard)(fs_out_t* out);

    // Text files: the log and the exclusion list files. read_text fails
    // also when reading stops early, leaving what was read in `contents`.
    // Both take only a regular file or a character device (a null device,
    // a terminal) and never wait to open one: anything else (a FIFO or a
    // named pipe, a socket, a block device) is refused as a file that
    // cannot be opened, a directory as a directory.
    int (*append_text)(const char* path, const char* bytes, std::size_t count);
    int (*read_text)(const char* path, std::string* contents);

    // Errors: the calling thread's last one (read by the free functions
    // below, and by nothing else), its condition and its text in the
    // system's words.
    int (*last_error)();
    void (*set_last_error)(int code);
    int (*error_code)(error_kind_t kind);
    error_kind_t (*error_kind)(int code);
    const char* (*error_text)(int code);

    // Console. Standard output is buffered and flushed before anything goes
    // to standard error, so both streams show the lines in program order.
    void (*con_write)(int stream, const char* bytes, std::size_t count);
    void (*con_flush)();
    void (*con_read_key)();   // waits for one key only on a terminal

    // Clock: the calendar time in whole seconds, and the local breakdown of
    // a moment with the zone rules in force at that moment (false when it
    // has none).
    std::time_t (*clock_now)();
    bool (*local_time)(std::int64_t when, local_time_t* local);

    // Memory and process.
    void* (*mem_try_alloc)(std::size_t size);
    void (*mem_free)(void* block);
    void (*proc_exit)(int code);  // flushes standard output; never returns
};

// The record of the system the program is built for.
extern const platform_t native_platform;

// The record in force, and the way tests swap it (returns the previous one).
const platform_t& plat();
const platform_t* plat_install(const platform_t* record);

// Prepares the process for a run: an interrupt ends it with exit code 1
// after removing the hidden file of a copy in progress, a limit on the size
// of files or a reader of the output that went away fails a write instead
// of ending the run, the local time zone is read once instead of at every
// conversion, and the process may hold as many open directories as the
// system allows (the walk keeps one per level and side).
void platform_start();
// The walk is over and the run is telling its end: an interrupt from now on
// no longer ends the process, so that the summary on the console, the log's
// footer and the exit code tell the same finished run.
void platform_finishing();

inline char path_separator() { return plat().separator; }
inline bool is_separator(char c) { return plat().is_separator(c); }
inline std::size_t root_length(const char* path) { return plat().root_length(path); }
inline bool is_option_prefix(char c) { return c != '\0' && std::strchr(plat().option_prefixes, c) != nullptr; }

inline int error_code(error_kind_t kind) { return plat().error_code(kind); }
inline error_kind_t error_kind(int code) { return plat().error_kind(code); }
inline const char* error_text(int code) { return plat().error_text(code); }
// The failure the platform's number `code` stands for, and the failure of a
// condition that has no number of its own.
inline fs_error_t fs_error(int code) { return {code, code != 0 ? error_kind(code) : ERR_NONE}; }
inline fs_error_t fs_error_of(error_kind_t kind) { return {error_code(kind), kind}; }

// The free functions below give every failure back as a value. Behind them,
// each layer keeps the failure of the calling thread's last operation
// (errno, the error of the Windows layer), which they read at once and
// nothing else ever does.
namespace platform_detail {
inline fs_error_t failure() { return fs_error(plat().last_error()); }
inline fs_error_t result_of(int result) { return result == 0 ? fs_error_t{} : failure(); }
template <typename T>
T* pointer_or_failure(T* result, fs_error_t* error)
{
    if (result == nullptr && error != nullptr)
        *error = failure();
    return result;
}
template <typename T>
T value_or_failure(T result, fs_error_t* error)
{
    if (result < 0 && error != nullptr)
        *error = failure();
    return result;
}
}  // namespace platform_detail

// Opens a directory (see dir_open); nullptr, with `error` when given, on
// failure.
inline fs_dir_t* fs_dir_open(fs_dir_t* base, const char* path, bool follow, fs_id_t* id, fs_error_t* error = nullptr)
{
    return platform_detail::pointer_or_failure(plat().dir_open(base, path, follow, id), error);
}
inline void fs_dir_close(fs_dir_t* dir) { plat().dir_close(dir); }
inline int fs_dir_place(fs_dir_t* dir, fs_place_t* place) { return plat().dir_place(dir, place); }
inline int fs_dir_next(fs_dir_t* dir, dos_dirent_t* entry, fs_error_t* error = nullptr)
{
    return platform_detail::value_or_failure(plat().dir_next(dir, entry), error);
}
inline int fs_dir_details(fs_dir_t* dir, dos_dirent_t* entry, fs_error_t* error = nullptr)
{
    return platform_detail::value_or_failure(plat().dir_details(dir, entry), error);
}
inline std::uint64_t fs_dir_passed_over(fs_dir_t* dir) { return plat().dir_passed_over(dir); }
inline fs_error_t fs_stat_at(fs_dir_t* dir, const char* name, fs_status_t* status)
{
    return platform_detail::result_of(plat().stat_at(dir, name, status));
}
inline fs_error_t fs_remove_file_at(fs_dir_t* dir, const char* name)
{
    return platform_detail::result_of(plat().remove_file_at(dir, name));
}
inline fs_error_t fs_remove_dir_at(fs_dir_t* dir, const char* name)
{
    return platform_detail::result_of(plat().remove_dir_at(dir, name));
}
inline fs_error_t fs_make_dir_at(fs_dir_t* dir, const char* name)
{
    return platform_detail::result_of(plat().make_dir_at(dir, name));
}
inline fs_error_t fs_set_dir_protection(fs_dir_t* dir, fs_dir_t* like)
{
    return platform_detail::result_of(plat().set_dir_protection(dir, like));
}
// 0, 1 when the file system cannot keep the protection, -1 with `error`.
inline int fs_set_file_protection(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                                  fs_dir_t* like_dir, const char* like_name, fs_error_t* error)
{
    return platform_detail::value_or_failure(
        plat().set_file_protection(dir, name, size, mtime, like_dir, like_name), error);
}
inline int fs_respell_at(fs_dir_t* dir, const char* from, const char* to, fs_error_t* error)
{
    return platform_detail::value_or_failure(plat().respell_at(dir, from, to), error);
}
inline fs_error_t fs_move_at(fs_dir_t* dir, const char* from, fs_dir_t* to_dir, const char* to)
{
    return platform_detail::result_of(plat().move_at(dir, from, to_dir, to));
}
inline case_rule_t fs_case_rule(fs_dir_t* dir, bool* per_directory) { return plat().case_rule(dir, per_directory); }
inline int fs_lock_dir(fs_dir_t* dir) { return plat().lock_dir(dir); }
// Whether the run may change entries in `dir` (see may_change).
inline fs_error_t fs_may_change(fs_dir_t* dir) { return platform_detail::result_of(plat().may_change(dir)); }
inline fs_error_t fs_stat(const char* path, bool follow, fs_status_t* status)
{
    return platform_detail::result_of(plat().stat(path, follow, status));
}
inline fs_error_t fs_make_dir(const char* path) { return platform_detail::result_of(plat().make_dir(path)); }

// An open directory that closes itself: the one owner of an fs_dir_t, moved
// and never copied.
class dir_handle_t {
  public:
    dir_handle_t() = default;
    explicit dir_handle_t(fs_dir_t* dir) : dir_(dir) {}
    ~dir_handle_t() { reset(); }
    dir_handle_t(const dir_handle_t&) = delete;
    dir_handle_t& operator=(const dir_handle_t&) = delete;
    dir_handle_t(dir_handle_t&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
    dir_handle_t& operator=(dir_handle_t&& other) noexcept
    {
        reset(std::exchange(other.dir_, nullptr));
        return *this;
    }

    fs_dir_t* get() const { return dir_; }
    explicit operator bool() const { return dir_ != nullptr; }
    void reset(fs_dir_t* dir = nullptr)
    {
        if (dir_ != nullptr && dir_ != dir)
            fs_dir_close(dir_);
        dir_ = dir;
    }

  private:
    fs_dir_t* dir_ = nullptr;
};

inline fs_file_t* fs_open_read_at(fs_dir_t* dir, const char* name, fs_error_t* error = nullptr)
{
    return platform_detail::pointer_or_failure(plat().open_read_at(dir, name), error);
}
inline std::int64_t fs_read(fs_file_t* file, void* buffer, std::uint64_t count, fs_error_t* error)
{
    return platform_detail::value_or_failure(plat().read(file, buffer, count), error);
}
inline void fs_close_read(fs_file_t* file) { plat().close_read(file); }
inline fs_time_t fs_file_mtime(fs_file_t* file) { return plat().file_mtime(file); }
inline fs_out_t* fs_create_temp_at(fs_dir_t* dir, const char* name, fs_file_t* like, fs_error_t* error = nullptr)
{
    return platform_detail::pointer_or_failure(plat().create_temp_at(dir, name, like), error);
}
// 0, 1 when the file system cannot keep all of the protection, -1 with `error`.
inline int fs_protect_out(fs_out_t* out, fs_file_t* like, fs_error_t* error)
{
    return platform_detail::value_or_failure(plat().protect_out(out, like), error);
}
inline std::int64_t fs_write(fs_out_t* out, const void* buffer, std::uint64_t count, fs_error_t* error = nullptr)
{
    return platform_detail::value_or_failure(plat().write(out, buffer, count), error);
}
// -1 tells only that the kernel will not move this file's data.
inline std::int64_t fs_copy_range(fs_file_t* in, fs_out_t* out, std::uint64_t count)
{
    return plat().copy_range(in, out, count);
}
inline std::int64_t fs_skip_hole(fs_file_t* in, fs_out_t* out, std::uint64_t count, std::uint64_t* data,
                                 fs_error_t* error)
{
    return platform_detail::value_or_failure(plat().skip_hole(in, out, count, data), error);
}
inline fs_error_t fs_set_times(fs_out_t* out, fs_time_t mtime)
{
    return platform_detail::result_of(plat().set_times(out, mtime));
}
inline fs_error_t fs_commit(fs_out_t* out, bool replace) { return platform_detail::result_of(plat().commit(out, replace)); }
// errors[i] receives the platform's number of what kept outs[i] from being
// made durable, or 0.
inline std::size_t fs_flush_outs(fs_out_t* const* outs, std::size_t count, int* errors, unsigned threads = 1,
                                 bool* one_by_one = nullptr)
{
    return plat().flush_outs(outs, count, errors, threads, one_by_one);
}
inline fs_error_t fs_close_out(fs_out_t* out) { return platform_detail::result_of(plat().close_out(out)); }
inline std::size_t fs_open_outs_limit() { return plat().open_outs_limit(); }
inline void fs_discard(fs_out_t* out) { plat().discard(out); }
inline fs_error_t text_append(const char* path, const char* bytes, std::size_t count)
{
    return platform_detail::result_of(plat().append_text(path, bytes, count));
}
inline fs_error_t text_read(const char* path, std::string* contents)
{
    return platform_detail::result_of(plat().read_text(path, contents));
}
inline void con_write(int stream, const char* bytes, std::size_t count) { plat().con_write(stream, bytes, count); }
inline void con_flush() { plat().con_flush(); }
inline void con_read_key() { plat().con_read_key(); }
inline std::time_t clock_now() { return plat().clock_now(); }
inline bool local_time(std::int64_t when, local_time_t* local) { return plat().local_time(when, local); }
inline void* mem_try_alloc(std::size_t size) { return plat().mem_try_alloc(size); }
inline void mem_free(void* block) { plat().mem_free(block); }
[[noreturn]] void proc_exit(int code);

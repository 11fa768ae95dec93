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
// Failures return -1 (or nullptr) and leave the cause as the platform's last
// error: a number of its own, which the portable code prints with its text
// and sorts into the few conditions of error_kind_t that it acts on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

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
    ERR_NO_SPACE,      // the device is full
    ERR_OTHER,
};

// One directory entry as the listing sees it. dir_next fills name and attr
// (the directory bit alone is known then); dir_details fills the rest.
struct dos_dirent_t {
    char name[256];           // at most 255 bytes; no longer name exists here
    std::uint8_t attr;        // ATTR_* bits
    std::uint16_t date;       // packed DOS date of the last write, local time
    std::uint16_t time;       // packed DOS time of the last write, local time
    std::uint64_t size;       // full size in bytes
    std::uint32_t protection; // what the system guards the file with, carried
                              // to the copy; only the platform reads it
};

// An open enumeration of one directory, a file open for reading, and the
// file that a copy in progress writes: each layer defines them.
struct fs_dir_t;
struct fs_file_t;
struct fs_out_t;

// What a status query tells about a path.
struct fs_status_t {
    bool is_file;             // a regular file
    bool is_dir;
    bool is_link;
    bool read_only;           // the owner may not write
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

struct platform_t {
    // Paths. The separator joins a directory and a name; is_separator also
    // accepts the other separators the system knows. root_length is the
    // length of the part of a path that names no directory to create (the
    // leading "/" of an absolute POSIX path, 0 for a relative one).
    char separator;
    bool (*is_separator)(char c);
    std::size_t (*root_length)(const char* path);

    // Directory enumeration. dir_next gives 1 for an entry, 0 at the end and
    // -1 when reading failed. Links, FIFOs, sockets and devices are never
    // delivered. dir_details completes a delivered entry: 1 done, 0 when the
    // entry vanished or turned out to be something never listed, -1 on failure.
    fs_dir_t* (*dir_open)(const char* path);
    int (*dir_next)(fs_dir_t* dir, dos_dirent_t* entry);
    int (*dir_details)(fs_dir_t* dir, dos_dirent_t* entry);
    void (*dir_close)(fs_dir_t* dir);

    // Paths. stat follows a final link only when asked to.
    int (*stat)(const char* path, bool follow, fs_status_t* status);
    int (*clear_readonly)(const char* path);
    int (*remove_file)(const char* path);
    int (*make_dir)(const char* path);
    int (*remove_dir)(const char* path);
    int (*real_path)(const char* path, std::string* resolved);

    // File copy. Byte counts are 64-bit on every system; a transfer gives
    // the count moved, 0 at the end of the source, or -1.
    fs_file_t* (*open_read)(const char* path);
    std::int64_t (*read)(fs_file_t* file, void* buffer, std::uint64_t count);
    void (*close_read)(fs_file_t* file);
    // Opens the file that will become `dst_path`, hidden from every listing,
    // with exactly `protection`.
    fs_out_t* (*create_temp)(const char* dst_path, std::uint32_t protection);
    std::int64_t (*write)(fs_out_t* out, const void* buffer, std::uint64_t count);
    // Moves up to `count` bytes from `in` to `out` without passing them
    // through the program. A -1 tells only that this way is closed for the
    // file: the caller goes on with read and write, which then meet and name
    // any real error.
    std::int64_t (*copy_range)(fs_file_t* in, fs_out_t* out, std::uint64_t count);
    int (*set_times)(fs_out_t* out, std::uint16_t date, std::uint16_t time);
    // Puts the finished file in place of `dst_path` (`replace`: a file of
    // that name is known to exist) and releases `out`, whatever the result.
    int (*commit)(fs_out_t* out, const char* dst_path, bool replace);
    // Drops an unfinished copy and releases `out`; the last error stays.
    void (*discard)(fs_out_t* out);
    // The protection of a copy that nobody may write.
    std::uint32_t (*read_only)(std::uint32_t protection);

    // Text files: the log and the exclusion list files. read_text fails
    // also when reading stops early, leaving what was read in `contents`.
    int (*append_text)(const char* path, const char* bytes, std::size_t count);
    int (*read_text)(const char* path, std::string* contents);

    // Errors: the last one, its condition and its text in the system's words.
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

    // Clock: the calendar time in whole seconds, and its local breakdown
    // (false when it has none).
    std::time_t (*clock_now)();
    bool (*local_time)(std::time_t when, local_time_t* local);

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
// after removing the hidden file of a copy in progress, and the local time
// zone is read once instead of at every conversion.
void platform_start();

inline char path_separator() { return plat().separator; }
inline bool is_separator(char c) { return plat().is_separator(c); }
inline std::size_t root_length(const char* path) { return plat().root_length(path); }
inline fs_dir_t* fs_dir_open(const char* path) { return plat().dir_open(path); }
inline int fs_dir_next(fs_dir_t* dir, dos_dirent_t* entry) { return plat().dir_next(dir, entry); }
inline int fs_dir_details(fs_dir_t* dir, dos_dirent_t* entry) { return plat().dir_details(dir, entry); }
inline void fs_dir_close(fs_dir_t* dir) { plat().dir_close(dir); }
inline int fs_stat(const char* path, bool follow, fs_status_t* status) { return plat().stat(path, follow, status); }
inline int fs_clear_readonly(const char* path) { return plat().clear_readonly(path); }
inline int fs_remove_file(const char* path) { return plat().remove_file(path); }
inline int fs_make_dir(const char* path) { return plat().make_dir(path); }
inline int fs_remove_dir(const char* path) { return plat().remove_dir(path); }
inline int fs_real_path(const char* path, std::string* resolved) { return plat().real_path(path, resolved); }
inline fs_file_t* fs_open_read(const char* path) { return plat().open_read(path); }
inline std::int64_t fs_read(fs_file_t* file, void* buffer, std::uint64_t count) { return plat().read(file, buffer, count); }
inline void fs_close_read(fs_file_t* file) { plat().close_read(file); }
inline fs_out_t* fs_create_temp(const char* dst_path, std::uint32_t protection) { return plat().create_temp(dst_path, protection); }
inline std::int64_t fs_write(fs_out_t* out, const void* buffer, std::uint64_t count) { return plat().write(out, buffer, count); }
inline std::int64_t fs_copy_range(fs_file_t* in, fs_out_t* out, std::uint64_t count) { return plat().copy_range(in, out, count); }
inline int fs_set_times(fs_out_t* out, std::uint16_t date, std::uint16_t time) { return plat().set_times(out, date, time); }
inline int fs_commit(fs_out_t* out, const char* dst_path, bool replace) { return plat().commit(out, dst_path, replace); }
inline void fs_discard(fs_out_t* out) { plat().discard(out); }
inline std::uint32_t fs_read_only(std::uint32_t protection) { return plat().read_only(protection); }
inline int text_append(const char* path, const char* bytes, std::size_t count) { return plat().append_text(path, bytes, count); }
inline int text_read(const char* path, std::string* contents) { return plat().read_text(path, contents); }
inline int last_error() { return plat().last_error(); }
inline void set_last_error(int code) { plat().set_last_error(code); }
inline int error_code(error_kind_t kind) { return plat().error_code(kind); }
inline error_kind_t error_kind(int code) { return plat().error_kind(code); }
inline const char* error_text(int code) { return plat().error_text(code); }
inline bool last_error_is(error_kind_t kind) { return error_kind(last_error()) == kind; }
inline void set_last_error_kind(error_kind_t kind) { set_last_error(error_code(kind)); }
inline void con_write(int stream, const char* bytes, std::size_t count) { plat().con_write(stream, bytes, count); }
inline void con_flush() { plat().con_flush(); }
inline void con_read_key() { plat().con_read_key(); }
inline std::time_t clock_now() { return plat().clock_now(); }
inline bool local_time(std::time_t when, local_time_t* local) { return plat().local_time(when, local); }
inline void* mem_try_alloc(std::size_t size) { return plat().mem_try_alloc(size); }
inline void mem_free(void* block) { plat().mem_free(block); }
[[noreturn]] void proc_exit(int code);

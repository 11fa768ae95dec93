// Everything the program asks of the operating system.
//
// Callers use the free functions at the end of this header. Behind them is one
// record of function pointers, filled by the POSIX layer; tests install a copy
// of it with a few entries replaced to make an operation fail on purpose. Only
// the files under platform/ include operating-system headers.
//
// Failures return -1 (or nullptr) and leave the cause in errno, so that the
// callers can report it with the system's own message text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// The path separator: joined between a directory and a name, appended by the
// walk, kept by fit_path and split on by make_path.
inline constexpr char PATH_SEP = '/';

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

// One directory entry as the listing sees it. dir_next fills name and attr
// (the directory bit alone is known then); dir_details fills the rest.
struct dos_dirent_t {
    char name[256];           // at most 255 bytes; no longer name exists here
    std::uint8_t attr;        // ATTR_* bits
    std::uint16_t date;       // packed DOS date of the last write, local time
    std::uint16_t time;       // packed DOS time of the last write, local time
    std::uint64_t size;       // full size in bytes
    std::uint32_t mode;       // permission bits (rwx for owner, group, others)
};

// An open enumeration of one directory; the POSIX layer defines it.
struct fs_dir_t;

// What a status query tells about a path.
struct fs_status_t {
    bool is_file;             // a regular file
    bool is_dir;
    bool is_link;
    bool read_only;           // the owner may not write
};

// A copy in progress: the new data goes to a file that no listing shows and
// replaces the destination only when it is complete.
struct fs_out_t {
    int fd = -1;
    bool unnamed = false;     // created with O_TMPFILE: nothing on disk to clean up
    std::string temp_path;    // the hidden name, when the file has one
};

struct platform_t {
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

    // File copy.
    int (*open_read)(const char* path);
    long (*read)(int fd, void* buffer, std::size_t count);
    int (*close)(int fd);
    // The new file has exactly the permission bits `mode`.
    int (*create_temp)(const char* dst_path, std::uint32_t mode, fs_out_t* out);
    long (*write)(int fd, const void* buffer, std::size_t count);
    // Moves up to `count` bytes from `in` to `out` inside the kernel (a
    // reflink where the file system shares blocks). Returns the count moved,
    // 0 at the end of `in`, or -1; a -1 tells only that this way is closed
    // for the file: the caller goes on with read and write, which then meet
    // and name any real error.
    long (*copy_range)(int in, int out, std::size_t count);
    int (*set_times)(int fd, std::uint16_t date, std::uint16_t time);
    // Puts the finished file in place of `dst_path`; `replace` tells that a
    // file of that name is known to exist.
    int (*commit)(fs_out_t* out, const char* dst_path, bool replace);
    void (*discard)(fs_out_t* out);

    // Text files: the log and the exclusion list files. read_text fails
    // also when reading stops early, leaving what was read in `contents`.
    int (*append_text)(const char* path, const char* bytes, std::size_t count);
    int (*read_text)(const char* path, std::string* contents);

    // Console. Standard output is buffered and flushed before anything goes
    // to standard error, so both streams show the lines in program order.
    void (*con_write)(int stream, const char* bytes, std::size_t count);
    void (*con_flush)();
    void (*con_read_key)();   // waits for one key only on a terminal

    // Clock, memory and process.
    std::time_t (*clock_now)();
    void* (*mem_try_alloc)(std::size_t size);
    void (*mem_free)(void* block);
    void (*proc_exit)(int code);  // flushes standard output; never returns
};

extern const platform_t posix_platform;

// The record in force, and the way tests swap it (returns the previous one).
const platform_t& plat();
const platform_t* plat_install(const platform_t* record);

// Prepares the process for a run: an interrupt (SIGINT, SIGTERM, SIGHUP)
// ends it with exit code 1 after removing the hidden file of a copy in
// progress, and the local time zone is read once instead of at every
// conversion.
void platform_start();

// The system's message text for an error number.
const char* error_text(int code);

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
inline int fs_open_read(const char* path) { return plat().open_read(path); }
inline long fs_read(int fd, void* buffer, std::size_t count) { return plat().read(fd, buffer, count); }
inline int fs_close(int fd) { return plat().close(fd); }
inline int fs_create_temp(const char* dst_path, std::uint32_t mode, fs_out_t* out) { return plat().create_temp(dst_path, mode, out); }
inline long fs_write(int fd, const void* buffer, std::size_t count) { return plat().write(fd, buffer, count); }
inline long fs_copy_range(int in, int out, std::size_t count) { return plat().copy_range(in, out, count); }
inline int fs_set_times(int fd, std::uint16_t date, std::uint16_t time) { return plat().set_times(fd, date, time); }
inline int fs_commit(fs_out_t* out, const char* dst_path, bool replace) { return plat().commit(out, dst_path, replace); }
inline void fs_discard(fs_out_t* out) { plat().discard(out); }
inline int text_append(const char* path, const char* bytes, std::size_t count) { return plat().append_text(path, bytes, count); }
inline int text_read(const char* path, std::string* contents) { return plat().read_text(path, contents); }
inline void con_write(int stream, const char* bytes, std::size_t count) { plat().con_write(stream, bytes, count); }
inline void con_flush() { plat().con_flush(); }
inline void con_read_key() { plat().con_read_key(); }
inline std::time_t clock_now() { return plat().clock_now(); }
inline void* mem_try_alloc(std::size_t size) { return plat().mem_try_alloc(size); }
inline void mem_free(void* block) { plat().mem_free(block); }
[[noreturn]] void proc_exit(int code);

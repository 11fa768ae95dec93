// What the tests need to know of the system they run on: its error numbers
// and their texts, its separator, the way a path names a file for the C++
// library, and what it lacks that some tests need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The error numbers of the system layer for the failures that tests plan or
// expect.
struct system_errors_t {
    int not_found;       // no such file or directory
    int path_not_found;  // a directory on the way is missing
    int access_denied;   // the rights to do it are missing
    int io;              // the device failed
    int not_permitted;   // the operation is refused
    int no_space;        // the device is full
    int is_dir;          // a directory where a file was expected
    int is_link;         // a link where none may be followed
    int exists;          // the name is taken
    int busy;            // in use: what the run must not touch
    int bad_text;        // text in no encoding the program reads
};
extern const system_errors_t sys_errors;

// The text the run prints for the error number `code`.
std::string error_words(int code);

// The separator the run joins a directory and a name with, as text.
std::string sep();

// The path of the UTF-8 text `path`, for std::filesystem, and back.
std::filesystem::path fs_path(const std::string& path);
std::string utf8_of(const std::filesystem::path& path);

// Things some tests need and some systems lack.
enum class feature_t {
    permission_bits,   // modes beyond read-only: execute, group and other bits
    owners,            // file owners that a privileged run carries
    links,             // symbolic links that a test can make
    fifos,             // named pipes and sockets
    sparse_files,      // holes that the copy keeps
    bind_mounts,       // the same directory mounted twice
    backslash_names,   // a backslash inside a name
    // What the program's system layer was built to use, where a build for
    // other systems takes a portable path instead:
    search_only_dirs,  // a directory that may not be read, opened all the same to be walked through
    unnamed_copies,    // a copy in progress that not even a killed run leaves behind
    mount_places,      // where a directory lies in its file system, across bind mounts
    case_rules,        // how a file system looks names up, as the system tells it
    exclusive_renames, // a rename that the system itself refuses where it would replace
    extended_attributes, // extended attributes and POSIX ACLs that copies carry
};

// Empty when the system has `feature`; otherwise why a test needing it is
// skipped.
std::string missing(feature_t feature);

#define SKIP_WITHOUT(feature)                                  \
    do {                                                       \
        const std::string why_missing = missing(feature);      \
        if (!why_missing.empty())                              \
            GTEST_SKIP() << why_missing;                       \
    } while (false)

// A text file as the run writes it (the log), with the system's line ends
// read back as "\n".
std::string read_text_file(const std::string& path);

// A file of `size` bytes that holds `data` at `at` and holes elsewhere
// where the file system keeps them; false when it cannot be made.
bool make_sparse_file(const std::string& path, std::uint64_t size, const std::string& data, std::uint64_t at);

// The bytes of storage that a file takes; 0 when it cannot be told.
std::uint64_t allocated_bytes(const std::string& path);

// A listening socket at `path`, open until close_socket; -1 when none can
// be made.
int make_socket(const std::string& path);
void close_socket(int socket);

// Sets the last-write time of `path` to the second and nanoseconds given
// (as far as the file system keeps them); false when it cannot.
bool set_exact_mtime(const std::string& path, std::int64_t sec, std::uint32_t nsec);

// Whether the tests run with the privilege that carries owners, and the
// owner, group and mode of a file (POSIX only: see feature_t::owners).
bool privileged();
void set_owner(const std::string& path, unsigned owner, unsigned group);
struct ownership_t {
    unsigned owner;
    unsigned group;
    unsigned mode;
};
ownership_t ownership_of(const std::string& path);

// A drive name ("X:") that names no drive here, for paths that must never
// reach a real one; on POSIX, where it is an ordinary name, "C:".
std::string unused_drive();

// Mounts the directory `from` again on `to`: empty when done, otherwise why
// not (it needs privileges); and undoes it.
std::string bind_mount(const std::string& from, const std::string& to);
void unmount(const std::string& where);

// A bind mount for one test, undone when the test ends, whether it passed
// or not, so that removing the scratch tree never reaches through it.
class ScopedBindMount {
  public:
    ScopedBindMount(const std::string& from, const std::string& to) : where_(to), error_(bind_mount(from, to)) {}
    ~ScopedBindMount()
    {
        if (error_.empty())
            unmount(where_);
    }
    ScopedBindMount(const ScopedBindMount&) = delete;
    ScopedBindMount& operator=(const ScopedBindMount&) = delete;

    // Empty when mounted; otherwise why not.
    const std::string& error() const { return error_; }

  private:
    std::string where_;
    std::string error_;
};

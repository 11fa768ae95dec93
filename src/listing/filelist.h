// Listed directory entries and the lists that hold them.
#pragma once

#include <cstdint>

#include "core/run.h"
#include "platform/platform.h"

// One listed entry. A directory may hold hundreds of thousands of entries,
// so a record is small: its name follows it in the list's own memory, and
// the two fields that hold a file's size and last-write time hold a
// sub-directory's identity instead (a directory's size and time are never
// read). What guards a file is kept too, so that a copy and its source are
// compared without asking the system again.
struct filelist_t {
    filelist_t* next;
    filelist_t* prev;
    std::uint64_t size;       // a file: full size in bytes; a directory: its device
    std::int64_t sec;         // a file: last write, seconds since 1970 UTC; a directory: its inode
    std::int64_t changed;     // a file: its last change of any kind (dos_dirent_t)
    std::uint32_t nsec;       // a file: the nanoseconds of the last write
    std::uint16_t protection; // a file: what guards it (dos_dirent_t)
    std::uint8_t attr;        // ATTR_* bits; ATTR_DIRECTORY for a sub-directory

    // Name within its directory, no path.
    const char* name() const { return reinterpret_cast<const char*>(this) + sizeof(filelist_t); }
    fs_time_t mtime() const { return {sec, nsec}; }
    // Whether a file's last change is later than its last write. A copy's
    // always is (its time is set after its data); where it is not, its file
    // system keeps no change time of its own (FAT shows the last write).
    bool changed_since_written() const
    {
        if (changed == CHANGE_UNKNOWN)
            return false;
        constexpr std::int64_t NS = 1000000000;
        const std::int64_t whole = changed / NS - (changed % NS < 0 ? 1 : 0);
        const std::int64_t part = changed - whole * NS;
        return whole > sec || (whole == sec && part > static_cast<std::int64_t>(nsec));
    }
    // What the walk must find when it opens a listed directory.
    fs_id_t id() const { return {size, static_cast<std::uint64_t>(sec)}; }
};

struct filelist_block_t;

// A list of records, circular and doubly linked through a head record of
// its own (only its links are used), in the order in which the file system
// delivered the entries. The records live in blocks that the list owns and
// releases once the list is empty again.
struct filelist_head_t : filelist_t {
    filelist_block_t* blocks = nullptr;
    std::uint64_t records = 0;

    filelist_head_t();
    ~filelist_head_t();
    filelist_head_t(const filelist_head_t&) = delete;
    filelist_head_t& operator=(const filelist_head_t&) = delete;
};

// Makes the list empty, releasing its records.
void Filelist_init(filelist_head_t* head);

// Appends a record made from `entry` at the tail of the list. Returns false
// when no memory is left for it (only with `may_fail`; otherwise the run
// ends for lack of memory).
bool Filelist_add(filelist_head_t* head, const dos_dirent_t* entry, bool may_fail = false);

// Unlinks the record from its list; the memory goes back when the list is
// empty. Take record->next first when walking on.
void Filelist_remove(filelist_head_t* head, filelist_t* record);

// Moves every record of `from` to the empty list `to`.
void Filelist_move(filelist_head_t* to, filelist_head_t* from);

// Gives `record` the name `name`, keeping its place in the list and its
// other fields; returns the record that now stands there (the old one is
// gone).
filelist_t* Filelist_respell(filelist_head_t* head, filelist_t* record, const char* name);

// The first record whose name is `name`, byte for byte; nullptr when none.
filelist_t* Filelist_find(filelist_head_t* head, const char* name);

// True when the list holds no record.
inline bool Filelist_empty(const filelist_head_t* head)
{
    return head->next == head;
}

// How a directory is listed.
struct scan_t {
    bool principal = false;          // the principal pair, or a tree it removes: the -X names are hidden too
    const fs_id_t* hidden = nullptr; // a file never listed (the run's own log, on the destination side)
    bool quiet = false;              // no Scan line, no exclusion trace
    bool ahead = false;              // on a listing thread: no line at all, and no end of the run for lack of memory
    bool* left_out = nullptr;        // when given, set when the directory holds an entry the lists leave out
};

// Lists the open directory `dir` into a list of its sub-directories and a
// list of its other entries, in enumeration order, and returns the number of
// records put into the file list. `path` (ending with the separator) names
// it on the console. Names beginning with "." and excluded names are left
// out; links and special files are never listed (`how.left_out` learns
// that the directory holds any of these). A missing directory
// (nullptr) lists as empty. Both lists are emptied first. Prints the "Scan"
// line at verbosity 4 or more.
//
// `failure`, when given, receives no failure after a complete listing, or
// the error when reading the directory failed (or, ahead of the walk,
// memory ran out): the lists then hold what was read so far, and the
// caller must not take them for the whole directory. The exclusion lists
// and display level are the run's.
std::uint32_t Filelist_scan(const run_t& run, fs_dir_t* dir, const char* path, filelist_head_t* dirs,
                            filelist_head_t* files, scan_t how, fs_error_t* failure = nullptr);

// Opens the sub-directory that `record` lists in the open directory
// `parent`, never through a link, and only if it is still the directory
// that was listed; otherwise nullptr, with `error` set (ERR_NOT_FOUND
// when something else has taken its place).
fs_dir_t* open_listed_dir(fs_dir_t* parent, const filelist_t* record, fs_error_t* error);

// Listed directory entries and the lists that hold them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One listed entry. Lists are circular and doubly linked through a head
// record of their own (only its links are used), and keep the order in
// which the file system delivered the entries.
struct filelist_t {
    filelist_t* next;
    filelist_t* prev;
    std::uint8_t attr;        // ATTR_* bits; ATTR_DIRECTORY for a sub-directory
    fs_time_t mtime;          // exact last write
    char* name;               // name within its directory, no path; stored
                              // right after the record, in the same block
    std::uint64_t size;       // full size in bytes
    fs_id_t id;               // what the walk must find when it opens the entry
    fs_protection_t protection; // given to the copy; only the platform reads it
};

// Makes the list empty. Releases nothing.
void Filelist_init(filelist_t* head);

// Appends a record made from `entry` at the tail of the list.
void Filelist_add(filelist_t* head, const dos_dirent_t* entry);

// Unlinks the record from its list and releases it. Take record->next first
// when walking on.
void Filelist_remove(filelist_t* record);

// The first record whose name is `name`, byte for byte; nullptr when none.
filelist_t* Filelist_find(filelist_t* head, const char* name);

// True when the list holds no record.
inline bool Filelist_empty(const filelist_t* head)
{
    return head->next == head;
}

// How a directory is listed.
struct scan_t {
    bool principal = false;          // the principal pair, or a tree it removes: the -X names are hidden too
    const fs_id_t* hidden = nullptr; // a file never listed (the run's own log, on the destination side)
    bool quiet = false;              // no Scan line, no exclusion trace
};

// Lists the open directory `dir` into a list of its sub-directories and a
// list of its other entries, in enumeration order, and returns the number of
// records put into the file list. `path` (ending with the separator) names
// it on the console. Names beginning with "." and excluded names are left
// out; links and special files are never listed. A missing directory
// (nullptr) lists as empty. Both heads are initialised here. Prints the
// "Scan" line at verbosity 4 or more.
//
// `failure`, when given, receives 0 after a complete listing, or the error
// number when reading the directory failed: the lists then hold what was
// read so far, and the caller must not take them for the whole directory.
std::uint32_t Filelist_scan(fs_dir_t* dir, const char* path, filelist_t* dirs, filelist_t* files, scan_t how,
                            int* failure = nullptr);

// Opens the sub-directory that `record` lists in the open directory
// `parent`, never through a link, and only if it is still the directory
// that was listed; otherwise nullptr, with ERR_NOT_FOUND when something
// else has taken its place.
fs_dir_t* open_listed_dir(fs_dir_t* parent, const filelist_t* record);

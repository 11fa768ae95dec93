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
    std::uint16_t time;       // packed DOS time of the last write, local time
    std::uint16_t date;       // packed DOS date of the last write, local time
    char* name;               // name within its directory, no path; stored
                              // right after the record, in the same block
    std::uint64_t size;       // full size in bytes
    std::uint32_t protection; // what the system guards the file with, given
                              // to the copy; only the platform reads it
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

// Lists the directory `path` (ending with the separator) into a list of its
// sub-directories and a list of its other entries, in enumeration order, and
// returns the number of records put into the file list. Names beginning with
// "." and excluded names are left out (the -X names only when `principal`
// says that the directory belongs to the principal pair, or to a tree that
// the principal pair removes); links and special files are never listed.
// Both heads are initialised here. Prints the "Scan" line at verbosity 4 or
// more.
//
// `failure`, when given, receives 0 after a complete listing, or the error
// number when the directory could not be opened or reading it failed midway:
// the lists then hold what was read so far, and the caller must not take
// them for the whole directory.
std::uint32_t Filelist_scan(const char* path, filelist_t* dirs, filelist_t* files, bool principal,
                            int* failure = nullptr);

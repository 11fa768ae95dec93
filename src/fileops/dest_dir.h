// Destination directories as the walk knows them.
#pragma once

#include <string>
#include <unordered_set>

#include "platform/platform.h"

// A destination directory: open, or missing (in the dated mode the walk
// goes on below directories that are still to be made), in which case it
// is opened once it has come into being.
struct dest_dir_t {
    dir_handle_t dir;                 // the directory, once open
    dest_dir_t* parent = nullptr;     // the directory it lies in; nullptr for the walk's root
    std::string name;                 // its name there; for the root, its whole path
    // It could not be made on the way to a copy (-d), which was reported:
    // copies into it and below it fail without another try or report.
    bool unmade = false;
    // What a dry run has done to it so far, as the real run would have;
    // only the dry run's changes read and write these.
    bool made = false;                             // made, though still missing
    std::unordered_set<std::string> gone;          // names removed, though still there
    std::unordered_set<std::string> made_here;     // directories made in it, though missing
};

// Opens a missing `dest` that has come into being since (make_path), through
// its parents: the root as its path leads, everything below it one name at
// a time and never through a link. Returns dest->dir, nullptr when it still
// cannot be opened. The directories opened belong to whoever owns the
// records, which closes them.
fs_dir_t* dest_dir_open(dest_dir_t* dest);

// Whether `dest`, or a directory above it, could not be made.
bool dest_dir_unmade(const dest_dir_t* dest);

// Marks as unmade the directory of `failed` characters of `dst_path` (the
// path of an entry in `dest`, as the walk spells it), which could not be
// made: the highest of `dest` and the directories above it that lie in it
// or are it, `dest` at least.
void dest_dir_mark_unmade(dest_dir_t* dest, const char* dst_path, std::size_t failed);

// Bringing destination directories into being.
#pragma once

#include <cstddef>

#include "core/run.h"
#include "fileops/dest_dir.h"

class dest_changes_t;

// Creates the directory `path`, printing "Dir <path> Creata" at verbosity 2
// or more before the attempt (so also for one that exists). Counts
// dirs_created only when the directory was created; reports a failure other
// than an existing directory (error line and log record). The change goes
// through `changes` (a dry run's creates nothing and counts what it would
// create). Returns 0 when created, 1 when something of that name is there
// already, -1 when its failure was reported.
int make_directory(run_t& run, dest_changes_t& changes, const char* path);

// The same for the directory `name` in the destination directory `parent`
// (`path` names it on the console); a parent that does not exist makes it
// fail without a report (1). The new directory is private to its owner
// until the walk gives it its source's protection.
int make_directory_at(run_t& run, dest_changes_t& changes, dest_dir_t* parent, const char* name, const char* path);

// Creates every directory along `path` with make_directory: the prefix
// before each separator that is at least 2 characters long, longer than the
// path's root (a leading "/", a drive, a network share) and does not end in
// ":". The text after the last separator is never created. Stops at the
// first directory that could not be made (its failure reported) and
// returns the length of its path; 0 when none failed.
std::size_t make_path(run_t& run, dest_changes_t& changes, const char* path);

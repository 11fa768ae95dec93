// The changes of a run that keeps versions (-k): what the run removes from
// the destination, and the old copy of what it replaces, goes into a run
// folder of the versions directory instead of being lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fileops/dest_changes.h"

// The versions directory of a run with `settings` onto the destination
// operand `dst`: the name given with -k, or ".versioni" in the destination.
std::string versions_path(const run_settings_t& settings, const char* dst);

// Whether `name` is a run folder's: "AAAAMMGG-HHMMSS" (a real date and
// time of day), alone or followed by "-N" (N from 2, without leading
// zeros), as run folders are named. `stamp` receives the first fifteen
// characters and `number` N (1 without it).
bool run_folder_name(const char* name, std::string* stamp, std::uint64_t* number);

// The changes that keep versions in the versions directory of `settings`
// onto the destination operand `dst`, made through the real changes, or
// through the dry run's with -s, which keep nothing.
//
// A file or a tree leaves the destination by one rename into the run
// folder where that folder lies on the same file system; elsewhere each
// file is copied there (its data, time and protection), made durable, and
// only then removed. What cannot be kept stays where it is, and its
// removal or replacement fails with the error that kept it. The run
// folder, "AAAAMMGG-HHMMSS" after the run's local start time ("-2", "-3"
// ... for a second run in the same second), is made when the run first
// keeps something, with the versions directory (private to its owner) and
// its missing parents; directories made in it are private until their
// contents are kept, then take the protection of their destination
// counterparts. The versions directory is never listed by the walk.
//
// With -e, finish removes the run folders older than that many days before
// the run's start, never the newest.
std::unique_ptr<dest_changes_t> make_keep_changes(const run_settings_t& settings, const char* dst);

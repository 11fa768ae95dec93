// Taking files and directory trees out of the destination.
#pragma once

#include <vector>

#include "listing/filelist.h"

class dest_changes_t;

// Deletes the file `name` of the open directory `dir` (`path` names it on
// the console), changing nothing on the file first: another name of the same
// file (a hard link) keeps it as it was. Prints "File <path> Cancellato"
// ("Conservato" where `changes` keep it, -k) at
// verbosity `level` or more, before the deletion. A deletion that fails is
// reported (error line and log record) and not counted; one that succeeds
// counts in files_deleted when `level` is 1. A name where nothing exists
// returns -1 at once, silent and uncounted. With -c, a removal that would
// exceed the limit is skipped, silently but for the one report of the limit.
// The deletion goes through `changes` (a dry run's deletes nothing: the line
// is shown and counted). Returns 0 when deleted, -1 otherwise.
int remove_file(run_t& run, dest_changes_t& changes, fs_dir_t* dir, const char* name, const char* path, int level);

// Deletes the directory that `record` lists in the open directory `parent`
// (`path` names it, without a trailing separator) with everything its
// listing shows, depth first, then the directory itself, printing a line per
// file and per directory at verbosity 1 or more. Names the listing hides
// (dot names, excluded names, links, the run's own log) stay, and so do the
// directories that hold them, without a report; other failures are reported
// as remove_file reports them. A directory of the tree that cannot be
// opened or listed whole keeps what it holds and is reported once, with the
// listing's error, after its "Cancellata" line (also in a dry run); the
// directories above it stay without a further report. `principal` tells
// the listing that the tree is removed from the principal pair, where the
// -X names are hidden too. Each
// directory is opened through its parent and never through a link; one that
// is no longer the directory listed is left alone. With -c the whole tree is
// counted first, and left whole when it would exceed the limit. A directory
// of the tree that is one of `keep` (the source directories the walk is
// working from) is never entered: it is reported as busy and stays, with
// what holds it; so is the run's versions directory, without a report.
// Returns 0 when the directory itself was removed, -1 otherwise.
//
// Where `changes` keep what leaves (-k), the lines say "Conservato" and
// "Conservata" instead; a tree they can take in one step (on the file
// system of the versions) and that holds nothing that must stay (nothing
// the listing hides, nothing that cannot be listed, no other file system)
// leaves in that one step once its lines are shown, and is counted as if
// it had gone entry by entry. Otherwise it goes entry by entry.
int remove_tree(run_t& run, dest_changes_t& changes, fs_dir_t* parent, const filelist_t* record, const char* path,
                bool principal, const std::vector<fs_id_t>& keep = {});

// Removes the directory `record` lists in `parent` (`path` names it) with
// everything it holds, as remove_tree removes an extra tree, but shows only
// the line of the directory itself, counts nothing in the footer and is no
// removal under -c: an old run folder of the versions (-e).
int remove_expired(run_t& run, dest_changes_t& changes, fs_dir_t* parent, const filelist_t* record, const char* path);

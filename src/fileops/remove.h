// Taking files and directory trees out of the destination.
#pragma once

#include "listing/filelist.h"

// Deletes the file `name` of the open directory `dir` (`path` names it on
// the console), changing nothing on the file first: another name of the same
// file (a hard link) keeps it as it was. Prints "File <path> Cancellato" at
// verbosity `level` or more, before the deletion, and counts files_deleted
// when `level` is 1 whether or not the deletion succeeded. A name where
// nothing exists returns -1 at once, silent and uncounted. Returns 0 when
// deleted, -1 otherwise; never reports.
int remove_file(fs_dir_t* dir, const char* name, const char* path, int level);

// Deletes the directory that `record` lists in the open directory `parent`
// (`path` names it, without a trailing separator) with everything its
// listing shows, depth first, then the directory itself, printing a line per
// file and per directory at verbosity 1 or more and counting each directory
// in dirs_deleted whether or not its removal succeeded. Names the listing
// hides (dot names, excluded names, links, the run's own log) stay, and so do
// the directories that hold them; `principal` tells the listing that the
// tree is removed from the principal pair, where the -X names are hidden
// too. Each directory is opened through its parent and never through a
// link; one that is no longer the directory listed is left alone. Returns 0
// when the directory itself was removed, -1 otherwise; never reports.
int remove_tree(fs_dir_t* parent, const filelist_t* record, const char* path, bool principal);

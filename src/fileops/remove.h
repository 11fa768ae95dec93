// Taking files and directory trees out of the destination.
#pragma once

// Deletes one file, giving the owner write permission back first when it is
// read-only. Prints "File <path> Cancellato" at verbosity `level` or more,
// before the deletion, and counts files_deleted when `level` is 1 whether or
// not the deletion succeeded. A path where nothing exists returns -1 at once,
// silent and uncounted. Returns 0 when deleted, -1 otherwise; never reports.
int remove_file(const char* path, int level);

// Deletes the directory `path` (no trailing separator) with everything its
// listing shows, depth first, then the directory itself, printing a line per
// file and per directory at verbosity 1 or more and counting each directory
// in dirs_deleted whether or not its removal succeeded. Names the listing
// hides (dot names, excluded names, links) stay, and so do the directories
// that hold them; `principal` tells the listing that the tree is removed from
// the principal pair, where the -X names are hidden too. Never follows a link.
// Returns 0 when the directory itself was removed, -1 otherwise; never
// reports.
int remove_tree(const char* path, bool principal);

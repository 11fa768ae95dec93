// Bringing destination directories into being.
#pragma once

// Creates one directory, printing "Dir <path> Creata" at verbosity 2 or more
// before the attempt (so also for one that exists). Counts dirs_created only
// when the directory was created. Returns 0 when created, -1 otherwise;
// never reports.
int make_directory(const char* path);

// Creates every directory along `path` with make_directory: the prefix
// before each separator that is at least 2 characters long, longer than the
// path's root (a leading "/", a drive, a network share) and does not end in
// ":". The text after the last separator is never created.
void make_path(const char* path);

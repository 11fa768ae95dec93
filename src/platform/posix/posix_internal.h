// Shared by the files of the POSIX layer, and by nothing else.
#pragma once

struct platform_t;

void posix_fill_fs(platform_t* record);
void posix_fill_console(platform_t* record);

// Remembers the hidden file of the copy in progress (nullptr: none), so that
// an interrupt can remove it. Safe to read from a signal handler.
void posix_note_pending_temp(const char* path);

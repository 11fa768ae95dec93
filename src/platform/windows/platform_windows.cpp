// The record of the Windows layer, filled by its files.
#include "platform/windows/windows_internal.h"

extern const platform_t native_platform = [] {
    platform_t record{};
    win_fill_paths(&record);
    win_fill_dirs(&record);
    win_fill_copy(&record);
    win_fill_text(&record);
    win_fill_console(&record);
    win_fill_process(&record);
    return record;
}();

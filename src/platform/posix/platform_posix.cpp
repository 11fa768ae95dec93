// The record of the POSIX layer, filled by its files.
#include "platform/posix/posix_internal.h"

extern const platform_t native_platform = [] {
    platform_t record{};
    posix_fill_paths(&record);
    posix_fill_dirs(&record);
    posix_fill_mounts(&record);
    posix_fill_copy(&record);
    posix_fill_text(&record);
    posix_fill_console(&record);
    posix_fill_process(&record);
    return record;
}();

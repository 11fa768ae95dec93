#include "sync/needs_copy.h"

#include "core/settings.h"

std::uint32_t file_stamp(const filelist_t* record)
{
    return (static_cast<std::uint32_t>(record->date) << 16) | record->time;
}

bool needs_copy(const filelist_t* src, const filelist_t* dst)
{
    if (RunSettings.force_copy)
        return true;
    if (RunSettings.copy_mode == 3)
        return src->date == RunSettings.today_date;  // today's files, wherever they are
    if (dst == nullptr)
        return !RunSettings.skip_new;
    switch (RunSettings.copy_mode) {
    case 0:
        // Difference alone: a newer destination is overwritten all the same.
        return src->size != dst->size || src->time != dst->time || src->date != dst->date;
    case 1:
        return file_stamp(src) > file_stamp(dst);
    case 2:
        return file_stamp(src) >= file_stamp(dst);
    default:
        return false;  // the undocumented modes never replace a file
    }
}

#include "sync/needs_copy.h"

#include "fileops/durable.h"
#include "platform/dos_time.h"

std::int64_t file_stamp(const filelist_t* record)
{
    const std::int64_t sec = record->sec;
    return sec >= 0 ? sec / 2 : (sec - 1) / 2;   // steps begin at even seconds, also before 1970
}

bool needs_copy(const run_t& run, const filelist_t* src, const filelist_t* dst)
{
    const run_settings_t& settings = run.settings;
    if (settings.force_copy)
        return true;
    // A copy whose data was never made durable (the run that made it was cut
    // short) is made again, whatever the mode.
    if (dst != nullptr && unfinished_copy_time(dst->sec))
        return true;
    if (settings.copy_mode == 3)
        return dos_from_time(src->sec).date == run.today_date;  // today's files, wherever they are
    if (dst == nullptr)
        return !settings.skip_new;
    switch (settings.copy_mode) {
    case 0:
        // Difference alone: a newer destination is overwritten all the same.
        return src->size != dst->size || file_stamp(src) != file_stamp(dst);
    case 1:
        return file_stamp(src) > file_stamp(dst);
    case 2:
        return file_stamp(src) >= file_stamp(dst);
    default:
        return false;  // the undocumented modes never replace a file
    }
}

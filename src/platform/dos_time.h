// Packed DOS dates and times: date = (year - 1980) << 9 | month << 5 | day
// and time = hour << 11 | minute << 5 | seconds / 2, both in local time. The
// dated mode compares the local dates of files in this form; times shown in
// the log are ctime texts.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct dos_stamp_t {
    std::uint16_t date;
    std::uint16_t time;
};

// The packed form of a local-time breakdown. Moments before 1980-01-01
// 00:00:00 give that moment, moments after 2107-12-31 23:59:58 give that one.
dos_stamp_t dos_from_local(const local_time_t& local);

// The local-time DOS form of a moment (seconds since 1970, UTC), converted
// with the zone rules in force at that moment, with the same limits.
dos_stamp_t dos_from_time(std::int64_t when);

// The standard ctime text of a calendar time in local time
// ("Wed Jun 30 21:49:08 1993\n"), written into `out`, which holds at least
// 32 characters.
void ctime_text(std::int64_t when, char* out);

// Packed DOS dates and times, the form in which the program keeps every
// last-write moment: date = (year - 1980) << 9 | month << 5 | day and
// time = hour << 11 | minute << 5 | seconds / 2, both in local time.
#pragma once

#include <cstdint>
#include <ctime>

struct dos_stamp_t {
    std::uint16_t date;
    std::uint16_t time;
};

// The local-time DOS form of a calendar time. Moments before 1980-01-01
// 00:00:00 give that moment, moments after 2107-12-31 23:59:58 give that one.
dos_stamp_t dos_from_time(std::time_t when);

// The packed form of a local-time breakdown, with the same limits.
dos_stamp_t dos_from_tm(const std::tm& local);

// The calendar time that a DOS date and time name in local time; -1 when the
// fields do not form a moment (month 0, say).
std::time_t time_from_dos(std::uint16_t date, std::uint16_t time);

// The local-time breakdown of a calendar time; false when it has none.
bool local_time(std::time_t when, std::tm* local);

// The standard ctime text of a calendar time ("Wed Jun 30 21:49:08 1993\n"),
// written into `out`, which holds at least 32 characters.
void ctime_text(std::time_t when, char* out);

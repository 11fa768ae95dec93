#include "platform/dos_time.h"

#include <cstdio>

namespace {

constexpr dos_stamp_t EARLIEST = {(0 << 9) | (1 << 5) | 1, 0};
constexpr dos_stamp_t LATEST = {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};

}  // namespace

dos_stamp_t dos_from_local(const local_time_t& local)
{
    if (local.year < 1980)
        return EARLIEST;
    if (local.year > 2107)
        return LATEST;
    // A leap second (60) still halves to a valid field.
    const int seconds = local.second > 59 ? 59 : local.second;
    dos_stamp_t stamp;
    stamp.date = static_cast<std::uint16_t>(((local.year - 1980) << 9) | (local.month << 5) | local.day);
    stamp.time = static_cast<std::uint16_t>((local.hour << 11) | (local.minute << 5) | (seconds / 2));
    return stamp;
}

dos_stamp_t dos_from_time(std::int64_t when)
{
    local_time_t local;
    if (!local_time(when, &local))
        return when < 0 ? EARLIEST : LATEST;
    return dos_from_local(local);
}

void ctime_text(std::int64_t when, char* out)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    local_time_t t;
    if (!local_time(when, &t) || t.weekday < 0 || t.weekday > 6 || t.month < 1 || t.month > 12 ||
        t.year < -999 || t.year > 9999) {
        std::snprintf(out, 32, "??? ??? ?? ??:??:?? ????\n");
        return;
    }
    std::snprintf(out, 32, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[t.weekday], months[t.month - 1], t.day, t.hour,
                  t.minute, t.second, t.year);
}

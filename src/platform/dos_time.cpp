#include "platform/dos_time.h"
#include <cstdio>
#include <cstring>

namespace {

constexpr dos_stamp_t EARLIEST = {(0 << 9) | (1 << 5) | 1, 0};
constexpr dos_stamp_t LATEST = {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};

}  // namespace

dos_stamp_t dos_from_tm(const std::tm& local)
{
    const int year = local.tm_year + 1900;
    if (year < 1980)
        return EARLIEST;
    if (year > 2107)
        return LATEST;
    // A leap second (tm_sec 60) still halves to a valid field.
    const int seconds = local.tm_sec > 59 ? 59 : local.tm_sec;
    dos_stamp_t stamp;
    stamp.date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    stamp.time = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (seconds / 2));
    return stamp;
}

dos_stamp_t dos_from_time(std::time_t when)
{
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return when < 0 ? EARLIEST : LATEST;
    return dos_from_tm(local);
}

std::time_t time_from_dos(std::uint16_t date, std::uint16_t time)
{
    const int month = (date >> 5) & 0x0f;
    const int day = date & 0x1f;
    if (month < 1 || month > 12 || day < 1)
        return -1;
    std::tm local{};
    local.tm_year = (date >> 9) + 80;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = time >> 11;
    local.tm_min = (time >> 5) & 0x3f;
    local.tm_sec = (time & 0x1f) * 2;
    local.tm_isdst = -1;  // let the zone rules decide, as the listing did
    return mktime(&local);
}

bool local_time(std::time_t when, std::tm* local)
{
    return localtime_r(&when, local) != nullptr;
}

void ctime_text(std::time_t when, char* out)
{
    char text[64];
    if (ctime_r(&when, text) == nullptr)
        std::snprintf(text, sizeof text, "??? ??? ?? ??:??:?? ????\n");
    text[31] = '\0';  // ctime text is 25 characters; never more than the caller holds
    std::memcpy(out, text, std::strlen(text) + 1);
}

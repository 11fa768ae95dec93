// DOS date and time conversions: valid fields, order kept, limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/dos_time.h"

namespace {

bool valid(dos_stamp_t s)
{
    const int month = (s.date >> 5) & 0x0f;
    const int day = s.date & 0x1f;
    return month >= 1 && month <= 12 && day >= 1 && (s.time >> 11) <= 23 && ((s.time >> 5) & 0x3f) <= 59 &&
           (s.time & 0x1f) <= 29;
}

std::uint32_t stamp(dos_stamp_t s)
{
    return (static_cast<std::uint32_t>(s.date) << 16) | s.time;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Fixed zone: every local second then exists exactly once.
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 16)
        return 0;
    std::int64_t raw[2];
    std::memcpy(raw, data, sizeof raw);
    // Years up to about 35000 either way: far past both ends of the range.
    const std::time_t a = static_cast<std::time_t>(raw[0] % (std::int64_t{1} << 40));
    const std::time_t b = static_cast<std::time_t>(raw[1] % (std::int64_t{1} << 40));
    const dos_stamp_t sa = dos_from_time(a);
    const dos_stamp_t sb = dos_from_time(b);
    if (!valid(sa) || !valid(sb))
        std::abort();
    if ((a <= b) != (stamp(sa) <= stamp(sb)) && stamp(sa) != stamp(sb))
        std::abort();
    const std::time_t earliest = 315532800;   // 1980-01-01 00:00:00 UTC
    const std::time_t latest = 4354819198;    // 2107-12-31 23:59:58 UTC
    if (a < earliest && stamp(sa) != stamp(dos_from_time(earliest)))
        std::abort();
    if (a > latest && stamp(sa) != stamp(dos_from_time(latest)))
        std::abort();
    return 0;
}

#include "platform/dos_time.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/temp_tree.h"

namespace {

constexpr std::uint16_t dos_date(int year, int month, int day)
{
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

constexpr std::uint16_t dos_time(int hour, int minute, int second)
{
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

}  // namespace

TEST(DosTime, PacksLocalFields)
{
    struct Case {
        int year, month, day, hour, minute, second;
    };
    const Case cases[] = {
        {1980, 1, 1, 0, 0, 0},     {1999, 12, 31, 23, 59, 58}, {2000, 2, 29, 12, 0, 2},
        {2024, 6, 15, 14, 30, 16}, {2038, 1, 19, 12, 0, 0},    {2107, 12, 31, 23, 59, 58},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                        << c.minute << ":" << c.second);
        const std::time_t when = local_moment(c.year, c.month, c.day, c.hour, c.minute, c.second);
        const dos_stamp_t stamp = dos_from_time(when);
        EXPECT_EQ(dos_date(c.year, c.month, c.day), stamp.date);
        EXPECT_EQ(dos_time(c.hour, c.minute, c.second), stamp.time);
    }
}

TEST(DosTime, OddSecondsGoDownToTheEvenOne)
{
    const std::time_t odd = local_moment(2024, 6, 15, 14, 30, 17);
    const dos_stamp_t stamp = dos_from_time(odd);
    EXPECT_EQ(8, stamp.time & 0x1f);
    EXPECT_EQ(14, stamp.time >> 11);
    EXPECT_EQ(30, (stamp.time >> 5) & 0x3f);
}

TEST(DosTime, MomentsOutsideTheDosRangeAreClamped)
{
    const std::uint16_t earliest = dos_date(1980, 1, 1);
    EXPECT_EQ(0x21, earliest);
    for (const std::time_t early : {std::time_t{0}, std::time_t{-86400 * 365},
                                    local_moment(1979, 12, 31, 23, 59, 59)}) {
        const dos_stamp_t stamp = dos_from_time(early);
        EXPECT_EQ(earliest, stamp.date);
        EXPECT_EQ(0, stamp.time);
    }
    const std::uint16_t latest_date = dos_date(2107, 12, 31);
    const std::uint16_t latest_time = dos_time(23, 59, 58);
    for (const std::time_t late : {local_moment(2107, 12, 31, 23, 59, 59), local_moment(2108, 1, 1, 0, 0, 0),
                                   local_moment(2200, 7, 1, 12, 0, 0)}) {
        const dos_stamp_t stamp = dos_from_time(late);
        EXPECT_EQ(latest_date, stamp.date);
        EXPECT_EQ(latest_time, stamp.time);
    }
}

TEST(DosTime, LeapSecondStillGivesAValidField)
{
    const local_time_t local{2016, 12, 31, 23, 59, 60, 6};
    EXPECT_EQ(dos_time(23, 59, 58), dos_from_local(local).time);
}

TEST(DosTime, CtimeTextIsTheStandardForm)
{
    char text[32];
    ctime_text(local_moment(2024, 3, 5, 10, 20, 30), text);
    EXPECT_STREQ("Tue Mar  5 10:20:30 2024\n", text);
}

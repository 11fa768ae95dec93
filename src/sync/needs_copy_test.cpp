#include "sync/needs_copy.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "core/settings.h"

namespace {

constexpr std::uint16_t dos_date(int year, int month, int day)
{
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

constexpr std::uint16_t dos_time(int hour, int minute, int second)
{
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

constexpr std::uint16_t TODAY = dos_date(2024, 3, 15);
constexpr std::uint16_t YESTERDAY = dos_date(2024, 3, 14);
constexpr std::uint16_t TOMORROW = dos_date(2024, 3, 16);
constexpr std::uint16_t NOON = dos_time(12, 0, 0);
constexpr std::uint16_t NOON_PLUS = dos_time(12, 0, 2);  // one two-second unit later
constexpr std::uint64_t FOUR_GIB = std::uint64_t{1} << 32;

struct stamp_t {
    std::uint64_t size;
    std::uint16_t date;
    std::uint16_t time;
};

filelist_t record_of(const stamp_t& stamp)
{
    filelist_t record{};
    record.next = &record;
    record.prev = &record;
    record.attr = ATTR_NORMAL;
    record.size = stamp.size;
    record.date = stamp.date;
    record.time = stamp.time;
    return record;
}

struct Case {
    const char* what;
    int mode;
    bool force;
    bool skip_new;
    stamp_t src;
    bool has_dst;
    stamp_t dst;
    bool want;
};

class NeedsCopyTest : public testing::Test {
  protected:
    void SetUp() override
    {
        RunSettings = run_settings_t{};
        RunSettings.today_date = TODAY;
    }
    void TearDown() override { RunSettings = run_settings_t{}; }

    bool decide(const Case& c)
    {
        RunSettings.copy_mode = c.mode;
        RunSettings.force_copy = c.force ? 1 : 0;
        RunSettings.skip_new = c.skip_new ? 1 : 0;
        const filelist_t src = record_of(c.src);
        const filelist_t dst = record_of(c.dst);
        return needs_copy(&src, c.has_dst ? &dst : nullptr);
    }
};

TEST_F(NeedsCopyTest, DecidesByModeAndFlags)
{
    const stamp_t plain = {100, TODAY, NOON};
    const Case cases[] = {
        {"mode 0, times one unit apart", 0, false, false, {100, TODAY, NOON_PLUS}, true, plain, true},
        {"mode 0, destination one unit later", 0, false, false, plain, true, {100, TODAY, NOON_PLUS}, true},
        {"mode 0, sizes differ", 0, false, false, {101, TODAY, NOON}, true, plain, true},
        {"mode 0, dates differ", 0, false, false, {100, YESTERDAY, NOON}, true, plain, true},
        {"mode 0, all equal", 0, false, false, plain, true, plain, false},
        {"mode 0, destination newer with the same size", 0, false, false, plain, true, {100, TOMORROW, NOON}, true},
        {"mode 0, sizes equal only in the low 32 bits", 0, false, false, {FOUR_GIB + 10, TODAY, NOON}, true,
         {10, TODAY, NOON}, true},
        {"mode 0, equal sizes above 4 GiB", 0, false, false, {FOUR_GIB + 10, TODAY, NOON}, true,
         {FOUR_GIB + 10, TODAY, NOON}, false},
        {"mode 0 with -f, all equal", 0, true, false, plain, true, plain, true},

        {"mode 1, equal stamps", 1, false, false, plain, true, plain, false},
        {"mode 1, later date with an earlier time of day", 1, false, false, {100, TOMORROW, dos_time(1, 0, 0)}, true,
         {100, TODAY, dos_time(23, 0, 0)}, true},
        {"mode 1, source one unit newer", 1, false, false, {100, TODAY, NOON_PLUS}, true, plain, true},
        {"mode 1, destination newer", 1, false, false, plain, true, {100, TODAY, NOON_PLUS}, false},
        {"mode 1, source in the latest DOS year", 1, false, false, {100, dos_date(2107, 12, 31), NOON}, true,
         {100, dos_date(1980, 1, 1), NOON}, true},
        {"mode 1 ignores sizes", 1, false, false, {999, TODAY, NOON}, true, plain, false},

        {"mode 2, equal stamps", 2, false, false, plain, true, plain, true},
        {"mode 2, source one unit older", 2, false, false, plain, true, {100, TODAY, NOON_PLUS}, false},
        {"mode 2, earlier date with a later time of day", 2, false, false, {100, YESTERDAY, dos_time(23, 0, 0)}, true,
         {100, TODAY, dos_time(1, 0, 0)}, false},
        {"mode 2 ignores sizes", 2, false, false, {999, TODAY, NOON}, true, {100, TODAY, NOON_PLUS}, false},

        {"mode 3, today, destination identical", 3, false, false, plain, true, plain, true},
        {"mode 3, today, no destination, -n", 3, false, true, plain, false, {}, true},
        {"mode 3, yesterday, destination older", 3, false, false, {100, YESTERDAY, NOON}, true,
         {50, dos_date(2020, 1, 1), NOON}, false},
        {"mode 3, yesterday, no destination", 3, false, false, {100, YESTERDAY, NOON}, false, {}, false},
        {"mode 3, tomorrow", 3, false, false, {100, TOMORROW, NOON}, false, {}, false},
        {"mode 3 with -f, yesterday, no destination", 3, true, false, {100, YESTERDAY, NOON}, false, {}, true},
        {"mode 3 with -f, yesterday, identical destination", 3, true, false, {100, YESTERDAY, NOON}, true,
         {100, YESTERDAY, NOON}, true},

        {"mode 7, destination older and smaller", 7, false, false, plain, true, {1, YESTERDAY, NOON}, false},
        {"mode 4, destination differs", 4, false, false, plain, true, {1, TOMORROW, NOON_PLUS}, false},
        {"mode 9, destination identical", 9, false, false, plain, true, plain, false},
        {"mode 7 with -f", 7, true, false, plain, true, plain, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.want, decide(c));
    }
}

TEST_F(NeedsCopyTest, FileWithoutDestinationIsCopiedUnlessSkipNewWithoutForce)
{
    const stamp_t src = {100, YESTERDAY, NOON};
    for (const int mode : {0, 1, 2, 4, 5, 6, 7, 8, 9}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        EXPECT_TRUE(decide({"no destination", mode, false, false, src, false, {}, true}));
        EXPECT_FALSE(decide({"no destination, -n", mode, false, true, src, false, {}, false}));
        EXPECT_TRUE(decide({"no destination, -n -f", mode, true, true, src, false, {}, true}));
    }
}

TEST_F(NeedsCopyTest, DecisionLeavesBothRecordsUntouched)
{
    RunSettings.copy_mode = 0;
    filelist_t src = record_of({FOUR_GIB + 10, TODAY, NOON});
    filelist_t dst = record_of({10, YESTERDAY, NOON_PLUS});
    EXPECT_TRUE(needs_copy(&src, &dst));
    EXPECT_EQ(FOUR_GIB + 10, src.size);
    EXPECT_EQ(10u, dst.size);
    EXPECT_EQ(TODAY, src.date);
    EXPECT_EQ(NOON_PLUS, dst.time);
}

TEST(FileStamp, OrdersByDateFirstThenTime)
{
    const filelist_t noon = record_of({0, TODAY, NOON});
    EXPECT_EQ((std::uint32_t{TODAY} << 16) | NOON, file_stamp(&noon));

    const filelist_t unit_later = record_of({0, TODAY, NOON_PLUS});
    EXPECT_LT(file_stamp(&noon), file_stamp(&unit_later));
    EXPECT_EQ(1u, file_stamp(&unit_later) - file_stamp(&noon));

    // The last moment of a day is older than the first of the next.
    const filelist_t late = record_of({0, YESTERDAY, dos_time(23, 59, 58)});
    const filelist_t early = record_of({0, TODAY, dos_time(0, 0, 0)});
    EXPECT_LT(file_stamp(&late), file_stamp(&early));

    // The latest DOS year sets the top bit: the comparison must stay unsigned.
    const filelist_t first = record_of({0, dos_date(1980, 1, 1), 0});
    const filelist_t last = record_of({0, dos_date(2107, 12, 31), dos_time(23, 59, 58)});
    EXPECT_LT(file_stamp(&first), file_stamp(&last));
    EXPECT_LT(file_stamp(&noon), file_stamp(&last));

    // Size plays no part in the stamp.
    const filelist_t big = record_of({FOUR_GIB * 3, TODAY, NOON});
    EXPECT_EQ(file_stamp(&noon), file_stamp(&big));
}

}  // namespace

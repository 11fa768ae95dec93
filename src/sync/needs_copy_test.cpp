#include "sync/needs_copy.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "core/run.h"
#include "fileops/durable.h"
#include "support/temp_tree.h"

namespace {

constexpr std::uint16_t dos_date(int year, int month, int day)
{
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

constexpr std::uint16_t TODAY = dos_date(2024, 3, 15);
const std::int64_t NOON = local_moment(2024, 3, 15, 12, 0, 0);
const std::int64_t NOON_PLUS = NOON + 2;   // one two-second step later
const std::int64_t YESTERDAY = local_moment(2024, 3, 14, 12, 0, 0);
const std::int64_t TOMORROW = local_moment(2024, 3, 16, 12, 0, 0);
const std::int64_t Y1960 = local_moment(1960, 6, 1, 12, 0, 0);
const std::int64_t Y1970 = local_moment(1970, 6, 1, 12, 0, 0);
const std::int64_t ARCHIVE_DEFAULT = local_moment(1980, 1, 1, 0, 0, 0);
constexpr std::uint64_t FOUR_GIB = std::uint64_t{1} << 32;

struct stamp_t {
    std::uint64_t size;
    std::int64_t sec;
    std::uint32_t nsec = 0;
};

filelist_t record_of(const stamp_t& stamp)
{
    filelist_t record{};
    record.next = &record;
    record.prev = &record;
    record.attr = ATTR_NORMAL;
    record.size = stamp.size;
    record.sec = stamp.sec;
    record.nsec = stamp.nsec;
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
    void SetUp() override { run.today_date = TODAY; }

    bool decide(const Case& c)
    {
        settings.copy_mode = c.mode;
        settings.force_copy = c.force;
        settings.skip_new = c.skip_new;
        const filelist_t src = record_of(c.src);
        const filelist_t dst = record_of(c.dst);
        return needs_copy(run, &src, c.has_dst ? &dst : nullptr);
    }

    run_settings_t settings;
    run_t run{settings};
};

TEST_F(NeedsCopyTest, DecidesByModeAndFlags)
{
    const stamp_t plain = {100, NOON};
    const Case cases[] = {
        {"mode 0, times one step apart", 0, false, false, {100, NOON_PLUS}, true, plain, true},
        {"mode 0, destination one step later", 0, false, false, plain, true, {100, NOON_PLUS}, true},
        {"mode 0, times within one step", 0, false, false, {100, NOON + 1, 999999999}, true, plain, false},
        {"mode 0, times an hour apart", 0, false, false, {100, NOON + 3600}, true, plain, true},
        {"mode 0, 1970 over 1960", 0, false, false, {100, Y1970}, true, {100, Y1960}, true},
        {"mode 0, the same moment in 1960", 0, false, false, {100, Y1960}, true, {100, Y1960}, false},
        {"mode 0, sizes differ", 0, false, false, {101, NOON}, true, plain, true},
        {"mode 0, days differ", 0, false, false, {100, YESTERDAY}, true, plain, true},
        {"mode 0, all equal", 0, false, false, plain, true, plain, false},
        {"mode 0, destination newer with the same size", 0, false, false, plain, true, {100, TOMORROW}, true},
        {"mode 0, sizes equal only in the low 32 bits", 0, false, false, {FOUR_GIB + 10, NOON}, true,
         {10, NOON}, true},
        {"mode 0, equal sizes above 4 GiB", 0, false, false, {FOUR_GIB + 10, NOON}, true, {FOUR_GIB + 10, NOON},
         false},
        {"mode 0 with -f, all equal", 0, true, false, plain, true, plain, true},

        {"mode 1, equal stamps", 1, false, false, plain, true, plain, false},
        {"mode 1, source one step newer", 1, false, false, {100, NOON_PLUS}, true, plain, true},
        {"mode 1, destination newer", 1, false, false, plain, true, {100, NOON_PLUS}, false},
        {"mode 1, 1965 over 1960", 1, false, false, {100, Y1960 + 5 * 365 * 86400L}, true, {100, Y1960}, true},
        {"mode 1, far future over 1980", 1, false, false, {100, local_moment(2200, 1, 1, 0, 0, 0)}, true,
         {100, local_moment(1980, 1, 1, 0, 0, 0)}, true},
        {"mode 1 ignores sizes", 1, false, false, {999, NOON}, true, plain, false},

        {"mode 2, equal stamps", 2, false, false, plain, true, plain, true},
        {"mode 2, source one step older", 2, false, false, plain, true, {100, NOON_PLUS}, false},
        {"mode 2, a day older", 2, false, false, {100, YESTERDAY}, true, plain, false},
        {"mode 2 ignores sizes", 2, false, false, {999, NOON}, true, {100, NOON_PLUS}, false},

        {"mode 3, today, destination identical", 3, false, false, plain, true, plain, true},
        {"mode 3, today, no destination, -n", 3, false, true, plain, false, {}, true},
        {"mode 3, yesterday, destination older", 3, false, false, {100, YESTERDAY}, true,
         {50, local_moment(2020, 1, 1, 12, 0, 0)}, false},
        {"mode 3, yesterday, no destination", 3, false, false, {100, YESTERDAY}, false, {}, false},
        {"mode 3, tomorrow", 3, false, false, {100, TOMORROW}, false, {}, false},
        {"mode 3, 1960", 3, false, false, {100, Y1960}, false, {}, false},
        {"mode 3 with -f, yesterday, no destination", 3, true, false, {100, YESTERDAY}, false, {}, true},
        {"mode 3 with -f, yesterday, identical destination", 3, true, false, {100, YESTERDAY}, true,
         {100, YESTERDAY}, true},

        {"mode 7, destination older and smaller", 7, false, false, plain, true, {1, YESTERDAY}, false},
        {"mode 4, destination differs", 4, false, false, plain, true, {1, TOMORROW}, false},
        {"mode 9, destination identical", 9, false, false, plain, true, plain, false},
        {"mode 7 with -f", 7, true, false, plain, true, plain, true},

        // Archives give files without a time 1980-01-01 00:00 local: real
        // files, never taken for unfinished copies.
        {"mode 0, both at the first DOS moment", 0, false, false, {100, ARCHIVE_DEFAULT}, true,
         {100, ARCHIVE_DEFAULT}, false},
        {"mode 7, destination at the first DOS moment", 7, false, false, plain, true, {100, ARCHIVE_DEFAULT}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.want, decide(c));
    }
}

TEST_F(NeedsCopyTest, FileWithoutDestinationIsCopiedUnlessSkipNewWithoutForce)
{
    const stamp_t src = {100, YESTERDAY};
    for (const int mode : {0, 1, 2, 4, 5, 6, 7, 8, 9}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        EXPECT_TRUE(decide({"no destination", mode, false, false, src, false, {}, true}));
        EXPECT_FALSE(decide({"no destination, -n", mode, false, true, src, false, {}, false}));
        EXPECT_TRUE(decide({"no destination, -n -f", mode, true, true, src, false, {}, true}));
    }
}

TEST_F(NeedsCopyTest, UnfinishedCopyIsMadeAgainInEveryMode)
{
    // What a cut-short run left: the placeholder time as it was set, or
    // shifted by a zone where the file system keeps local times (FAT).
    const stamp_t src = {100, YESTERDAY};
    for (const std::int64_t shift : {0L, -13 * 3600L, 13 * 3600L}) {
        const stamp_t unfinished = {100, UNFINISHED_COPY_TIME.sec + shift};
        for (int mode = 0; mode <= 9; ++mode) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", shifted by " << shift);
            EXPECT_TRUE(decide({"unfinished", mode, false, false, src, true, unfinished, true}));
            EXPECT_TRUE(decide({"unfinished, -n", mode, false, true, src, true, unfinished, true}));
        }
    }
}

TEST_F(NeedsCopyTest, DecisionLeavesBothRecordsUntouched)
{
    settings.copy_mode = 0;
    filelist_t src = record_of({FOUR_GIB + 10, NOON});
    filelist_t dst = record_of({10, YESTERDAY + 2});
    EXPECT_TRUE(needs_copy(run, &src, &dst));
    EXPECT_EQ(FOUR_GIB + 10, src.size);
    EXPECT_EQ(10u, dst.size);
    EXPECT_EQ(NOON, src.mtime().sec);
    EXPECT_EQ(YESTERDAY + 2, dst.mtime().sec);
}

TEST(FileStamp, StepsOfTwoSecondsOfUniversalTime)
{
    struct StepCase {
        std::int64_t sec;
        std::int64_t step;
    };
    // Steps begin at even seconds, before 1970 as after it.
    const StepCase cases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {-1, -1}, {-2, -1}, {-3, -2}, {Y1960, Y1960 / 2}};
    for (const StepCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "second " << c.sec);
        const filelist_t record = record_of({0, c.sec, 999999999});
        EXPECT_EQ(c.step, file_stamp(&record));
    }
    // Size plays no part in the stamp.
    const filelist_t noon = record_of({0, NOON});
    const filelist_t big = record_of({FOUR_GIB * 3, NOON});
    EXPECT_EQ(file_stamp(&noon), file_stamp(&big));
}

}  // namespace

#include "core/stats.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/settings.h"
#include "support/run_state.h"

class StatsTest : public RunStateTest {
  protected:
    // Obtains the copy buffer afresh for a requested size and allocation limit.
    void obtain(std::uint32_t requested, std::size_t limit)
    {
        copy_buffer_release();
        RunSettings.buffer_size = requested;
        fault_plan.alloc_limit = limit;
        copy_buffer_obtain();
    }

    // Touches every byte, so that a buffer smaller than buffer_size shows.
    static void fill_whole_buffer()
    {
        ASSERT_NE(nullptr, copy_buffer);
        std::memset(copy_buffer, 'x', RunSettings.buffer_size);
        EXPECT_EQ('x', copy_buffer[RunSettings.buffer_size - 1]);
    }
};

TEST_F(StatsTest, CopyBufferHalvesUntilTheAllocationSucceeds)
{
    struct Case {
        std::uint32_t requested;
        std::size_t limit;
        std::uint32_t obtained;
    };
    const Case cases[] = {
        {1048576, 262144, 262144},
        {1048576, 262143, 131072},
        {1048576, SIZE_MAX, 1048576},
        {1000001, 300000, 250000},   // 1000001, 500000, 250000: integer halves
        {7, 3, 3},
        {4096, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.requested << " within " << c.limit);
        obtain(c.requested, c.limit);
        EXPECT_EQ(c.obtained, RunSettings.buffer_size);
        fill_whole_buffer();
    }
    EXPECT_EQ("", console.both);
}

TEST_F(StatsTest, ZeroSizeStandsForTheDefault)
{
    obtain(0, SIZE_MAX);
    EXPECT_EQ(DEFAULT_BUFFER_SIZE, RunSettings.buffer_size);
    EXPECT_EQ(1048576u, RunSettings.buffer_size);
    fill_whole_buffer();

    obtain(0, 65536);
    EXPECT_EQ(65536u, RunSettings.buffer_size);
}

TEST_F(StatsTest, ReleaseForgetsTheBuffer)
{
    copy_buffer_release();
    EXPECT_EQ(nullptr, copy_buffer);
    copy_buffer_release();   // a second release is harmless
    EXPECT_EQ(nullptr, copy_buffer);
}

using StatsDeathTest = StatsTest;

TEST_F(StatsDeathTest, NoMemoryAtAllEndsTheRun)
{
    EXPECT_EXIT(obtain(1048576, 0), testing::ExitedWithCode(1), "");
}

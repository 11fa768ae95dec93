#include "core/run.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/settings.h"
#include "support/run_state.h"

class StatsTest : public RunStateTest {
  protected:
    // Obtains the copy buffer afresh for a requested size and allocation limit.
    void obtain(std::uint32_t requested, std::size_t limit)
    {
        copy_buffer_release(run);
        fault_plan.alloc_limit = limit;
        copy_buffer_obtain(run, requested);
    }

    // Touches every byte, so that a buffer smaller than its size shows.
    void fill_whole_buffer()
    {
        ASSERT_NE(nullptr, run.buffer.data);
        std::memset(run.buffer.data, 'x', run.buffer.size);
        EXPECT_EQ('x', run.buffer.data[run.buffer.size - 1]);
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
        EXPECT_EQ(c.obtained, run.buffer.size);
        fill_whole_buffer();
    }
    EXPECT_EQ("", console.both);
}

TEST_F(StatsTest, ZeroSizeStandsForTheDefault)
{
    obtain(0, SIZE_MAX);
    EXPECT_EQ(DEFAULT_BUFFER_SIZE, run.buffer.size);
    EXPECT_EQ(1048576u, run.buffer.size);
    fill_whole_buffer();

    obtain(0, 65536);
    EXPECT_EQ(65536u, run.buffer.size);
}

TEST_F(StatsTest, ReleaseForgetsTheBuffer)
{
    copy_buffer_release(run);
    EXPECT_EQ(nullptr, run.buffer.data);
    copy_buffer_release(run);   // a second release is harmless
    EXPECT_EQ(nullptr, run.buffer.data);
}

using StatsDeathTest = StatsTest;

TEST_F(StatsDeathTest, NoMemoryAtAllEndsTheRun)
{
    EXPECT_EXIT(obtain(1048576, 0), testing::ExitedWithCode(1), "");
}

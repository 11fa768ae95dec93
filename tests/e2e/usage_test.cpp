#include <gtest/gtest.h>

#include "e2e/run_binary.h"
#include "support/console_text.h"

TEST(Usage, NoArgumentsShowsBannerAndUsageWithoutWaiting)
{
    const run_result_t run = run_calvento({}, "", 20);
    EXPECT_EQ(BANNER + usage_text(), run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(1, run.code);
}

TEST(Usage, HelpLettersShowTheBufferSizeGivenBefore)
{
    EXPECT_EQ(BANNER + usage_text("4096"), run_calvento({"-b4096", "-h"}).out);
    const run_result_t question = run_calvento({"-?", "a", "b"});
    EXPECT_EQ(BANNER + usage_text(), question.out);
    EXPECT_EQ(1, question.code);
}

TEST(Usage, SizeDiagnosticEndsWithSuccess)
{
    const run_result_t run = run_calvento({"-*"});
    EXPECT_EQ(BANNER + "\nBuffer di copia 1048576 bytes\nSize dirent name   = 256\nSize filelist name = 256\n"
                       "Size filelist_t    = 276\n",
              run.out);
    EXPECT_EQ(0, run.code);
    EXPECT_TRUE(contains(run_calvento({"-b4096", "-*"}).out, "Buffer di copia 4096 bytes\n"));
}

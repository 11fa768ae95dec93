#include "run/overlap.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

#include "support/run_state.h"

namespace {

// Runs the check from inside the scratch tree, with relative operands.
struct OperandsOverlapTest : RunStateTest {
    void SetUp() override
    {
        RunStateTest::SetUp();
        ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
        ASSERT_EQ(0, chdir(tree.path().c_str()));
    }
    void TearDown() override
    {
        ASSERT_EQ(0, chdir(previous));
        RunStateTest::TearDown();
    }
    char previous[4096];
};

}  // namespace

TEST_F(OperandsOverlapTest, TextPrefixesOverlapWhateverExists)
{
    EXPECT_TRUE(operands_overlap("a", "a/b"));
    EXPECT_TRUE(operands_overlap("a/b", "a"));
    EXPECT_TRUE(operands_overlap("data", "data2"));  // a prefix, though not inside
    EXPECT_TRUE(operands_overlap("same", "same"));
    EXPECT_TRUE(operands_overlap("", "x"));
    EXPECT_FALSE(operands_overlap("a", "b"));
    EXPECT_FALSE(operands_overlap("Dati", "dati/copia"));  // letter case counts
}

TEST_F(OperandsOverlapTest, RealDirectoriesOverlapWhenSpelledDifferently)
{
    tree.dir("src/backup");
    tree.dir("other");
    tree.link("into", "src");
    EXPECT_TRUE(operands_overlap("src", "./src/backup"));
    EXPECT_TRUE(operands_overlap("./src/backup", "src"));
    EXPECT_TRUE(operands_overlap("src", "into"));
    EXPECT_TRUE(operands_overlap(tree.path("src").c_str(), "into/backup"));
    EXPECT_FALSE(operands_overlap("src", "other"));
    EXPECT_FALSE(operands_overlap("./src", "./other"));
}

TEST_F(OperandsOverlapTest, ADestinationStillToBeCreatedIsJudgedByWhereItWillBe)
{
    tree.dir("src");
    tree.dir("elsewhere");
    tree.link("into", "src");
    EXPECT_TRUE(operands_overlap("src", "into/new"));
    EXPECT_TRUE(operands_overlap("src", "into/new/deeper/"));
    EXPECT_FALSE(operands_overlap("src", "elsewhere/new"));
    EXPECT_FALSE(operands_overlap("src", "missing/new"));
    // A ".." over a name that does not exist yet is resolved on the text.
    EXPECT_TRUE(operands_overlap("src", "nothere/../src/y"));
    EXPECT_TRUE(operands_overlap("src", "nothere/deeper/../../into/y"));
    EXPECT_FALSE(operands_overlap("src", "nothere/../elsewhere/y"));
}

TEST_F(OperandsOverlapTest, AnotherMountOfTheSameDirectoryOverlaps)
{
    tree.dir("s/sub");
    tree.dir("m");
    tree.dir("t");
    if (mount(tree.path("s").c_str(), tree.path("m").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    EXPECT_TRUE(operands_overlap("s/sub", "m"));          // the destination is the source's parent
    EXPECT_TRUE(operands_overlap("m", "s/backup"));       // the destination lies in the source
    EXPECT_TRUE(operands_overlap("m/sub", "s/sub/new"));
    EXPECT_FALSE(operands_overlap("m/sub", "t"));
    umount(tree.path("m").c_str());
}

// Whole runs under the options that change what is copied, kept and created.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "e2e/run_binary.h"
#include "e2e/scratch_run.h"
#include "support/console_text.h"
#include "support/linux_tools.h"
#include "support/temp_tree.h"

namespace {

class RunOptions : public ScratchRunTest {};

TEST_F(RunOptions, KeepExtraLeavesEveryDestinationExtra)
{
    tree.file("src/a.txt", "a");
    tree.file("src/sub/b.txt", "b");
    tree.file("dst/extra.txt", "e");
    tree.file("dst/extradir/f", "f");
    tree.file("dst/sub/old.txt", "o");

    const run_result_t result = run({"-p", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_FALSE(contains(result.out, "Cancellat"));
    EXPECT_TRUE(has_summary(result.out, 2, 2));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "extra.txt", "extradir", "sub"}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{"b.txt", "old.txt"}), tree.names("dst/sub"));
    EXPECT_EQ("f", tree.read("dst/extradir/f"));
}

TEST_F(RunOptions, SkipNewCreatesNothingAndEntersOnlyExistingDirectories)
{
    tree.file("src/new.txt", "new");
    tree.file("src/changed.txt", "changed content");
    tree.file("src/both/inside_new.txt", "n");
    tree.file("src/both/inside_changed.txt", "version 2");
    tree.file("src/fresh/f.txt", "f");
    tree.file("src/fresh/deeper/g.txt", "g");
    tree.file("dst/changed.txt", "old");
    tree.file("dst/both/inside_changed.txt", "v1");

    const run_result_t result = run({"-n", "-v2", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_TRUE(has_summary(result.out, 2, 15 + 9));
    EXPECT_FALSE(contains(result.out, "Creata"));
    EXPECT_EQ((std::vector<std::string>{"both", "changed.txt"}), tree.names("dst"));
    EXPECT_EQ("changed content", tree.read("dst/changed.txt"));
    EXPECT_EQ((std::vector<std::string>{"inside_changed.txt"}), tree.names("dst/both"));
    EXPECT_EQ("version 2", tree.read("dst/both/inside_changed.txt"));
}

TEST_F(RunOptions, ForceCopiesEveryFileAgainAndOverridesSkipNew)
{
    tree.file("src/a.txt", "aaa");
    tree.file("src/sub/b.txt", "bb");
    tree.file("src/sub/c.txt", "c");
    tree.dir("dst");
    ASSERT_EQ(0, run({"src", "dst"}).code);

    const run_result_t again = run({"src", "dst"});
    EXPECT_TRUE(has_summary(again.out, 0, 0));
    const run_result_t forced = run({"-f", "src", "dst"});
    EXPECT_EQ(0, forced.code);
    EXPECT_TRUE(has_summary(forced.out, 3, 6));
    EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path("dst")));

    // With -n as well, files the destination lacks are still copied.
    tree.dir("dst2");
    const run_result_t both = run({"-fn", "src", "dst2"});
    EXPECT_EQ(0, both.code);
    EXPECT_TRUE(has_summary(both.out, 1, 3));  // -n still keeps "sub" out
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), tree.names("dst2"));
}

// Which of the prepared destination files each mode overwrites.
struct mode_case_t {
    const char* mode;
    std::vector<std::string> copied;
};

TEST_F(RunOptions, CopyModesCompareSizesAndStampsAsDocumented)
{
    const std::time_t base = local_moment(2024, 3, 5, 9, 0, 0);
    const std::vector<mode_case_t> cases = {
        {"-m0", {"equal-time", "missing", "newer", "older"}},
        {"-m1", {"missing", "newer"}},
        {"-m2", {"equal-time", "missing", "newer", "same"}},
        {"-m7", {"missing"}},
    };
    for (const mode_case_t& c : cases) {
        const std::string src = std::string("src") + c.mode;
        const std::string dst = std::string("dst") + c.mode;
        // name, source time, destination time, destination content
        struct file_t {
            std::string name;
            std::time_t src_time;
            std::time_t dst_time;
            std::string dst_bytes;
        };
        const std::vector<file_t> files = {
            {"newer", base + 10, base, "old-n"},
            {"older", base, base + 10, "old-o"},
            {"equal-time", base, base, "old, other size"},
            {"same", base, base, "old-s"},
        };
        for (const file_t& f : files) {
            tree.file(src + "/" + f.name, "src-" + f.name.substr(0, 1));
            tree.set_mtime(src + "/" + f.name, f.src_time);
            tree.file(dst + "/" + f.name, f.dst_bytes);
            tree.set_mtime(dst + "/" + f.name, f.dst_time);
        }
        tree.file(src + "/missing", "src-m");

        const run_result_t result = run({c.mode, src, dst});
        EXPECT_TRUE(ran_cleanly(result)) << c.mode;
        std::vector<std::string> copied;
        for (const std::string& name : tree.names(dst)) {
            if (tree.read(dst + "/" + name).starts_with("src-"))
                copied.push_back(name);
        }
        EXPECT_EQ(c.copied, copied) << c.mode;
        EXPECT_TRUE(has_summary(result.out, c.copied.size(), 5 * c.copied.size())) << c.mode;
    }
}

TEST_F(RunOptions, DatedModeCopiesTodaysFilesIntoTodaysDirectory)
{
    const std::string today = day_name();
    const std::time_t long_ago = local_moment(2020, 1, 2, 8, 0, 0);
    tree.file("src/today.txt", "today");
    tree.file("src/old.txt", "old");
    tree.set_mtime("src/old.txt", long_ago);
    tree.file("src/sub/today2.txt", "t2");
    tree.file("src/oldsub/old2.txt", "o2");
    tree.set_mtime("src/oldsub/old2.txt", long_ago);
    tree.dir("dst");

    const run_result_t result = run({"-m3", "-v2", "-lrun.log", "src", "dst"});
    if (day_name() != today)
        GTEST_SKIP() << "the run crossed midnight";
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_EQ((std::vector<std::string>{today}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{"oldsub", "sub", "today.txt"}), tree.names("dst/" + today));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst/" + today + "/oldsub"));
    EXPECT_EQ("t2", tree.read("dst/" + today + "/sub/today2.txt"));
    EXPECT_EQ(0u, result.out.find(BANNER + dir_created("dst/" + today)));
    EXPECT_TRUE(has_summary(result.out, 2, 7));
    // The log names the operand, not the dated directory.
    EXPECT_TRUE(contains(tree.read("run.log"), "A\t\t\t: dst [dst]\n"));

    // Today's files are copied again on every run of the day.
    const run_result_t again = run({"-m3", "src", "dst"});
    EXPECT_EQ(0, again.code);
    EXPECT_TRUE(has_summary(again.out, 2, 7));
}

TEST_F(RunOptions, DatedModeWithNeededDirsCreatesOnlyDirectoriesThatReceiveAFile)
{
    const std::string today = day_name();
    const std::time_t long_ago = local_moment(2020, 1, 2, 8, 0, 0);
    tree.file("src/today.txt", "today");
    tree.file("src/sub/inner/today2.txt", "t2");
    tree.file("src/oldsub/old2.txt", "o2");
    tree.set_mtime("src/oldsub/old2.txt", long_ago);
    tree.dir("src/emptysub");
    tree.dir("dst");

    const run_result_t result = run({"-m3", "-d", "src", "dst"});
    if (day_name() != today)
        GTEST_SKIP() << "the run crossed midnight";
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_EQ((std::vector<std::string>{today}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{"sub", "today.txt"}), tree.names("dst/" + today));
    EXPECT_EQ("t2", tree.read("dst/" + today + "/sub/inner/today2.txt"));
    EXPECT_TRUE(has_summary(result.out, 2, 7));
}

TEST_F(RunOptions, NeededDirsOutsideDatedModeReportsEachMissingDirectory)
{
    tree.file("src/a.txt", "a");
    tree.file("src/one/f", "f");
    tree.file("src/one/below/g", "g");
    tree.file("src/two/h", "h");
    tree.dir("dst");

    const run_result_t result = run({"-d", "src", "dst"});
    EXPECT_EQ(2, result.code);
    const std::string one = "dst/one: No such file or directory\n";
    const std::string two = "dst/two: No such file or directory\n";
    EXPECT_TRUE(result.err == with_failures(one + two) || result.err == with_failures(two + one)) << result.err;
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), tree.names("dst"));
    EXPECT_TRUE(has_summary(result.out, 1, 1));
}

}  // namespace

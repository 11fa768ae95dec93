#include "run/overlap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/stats.h"
#include "run/driver.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

// Runs the check from inside the scratch tree, with relative operands.
struct OperandsOverlapTest : RunStateTest {
    void SetUp() override
    {
        RunStateTest::SetUp();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(fs_path(tree.path()));
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous);
        RunStateTest::TearDown();
    }
    std::filesystem::path previous;
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
    EXPECT_TRUE(operands_overlap("src", "./src/backup"));
    EXPECT_TRUE(operands_overlap("./src/backup", "src"));
    EXPECT_FALSE(operands_overlap("src", "other"));
    EXPECT_FALSE(operands_overlap("./src", "./other"));
    SKIP_WITHOUT(feature_t::links);
    tree.link("into", "src");
    EXPECT_TRUE(operands_overlap("src", "into"));
    EXPECT_TRUE(operands_overlap(tree.path("src").c_str(), "into/backup"));
}

TEST_F(OperandsOverlapTest, ADestinationStillToBeCreatedIsJudgedByWhereItWillBe)
{
    tree.dir("src");
    tree.dir("elsewhere");
    EXPECT_FALSE(operands_overlap("src", "elsewhere/new"));
    EXPECT_FALSE(operands_overlap("src", "missing/new"));
    // A ".." over a name that does not exist yet is resolved on the text.
    EXPECT_TRUE(operands_overlap("src", "nothere/../src/y"));
    EXPECT_FALSE(operands_overlap("src", "nothere/../elsewhere/y"));
    SKIP_WITHOUT(feature_t::links);
    tree.link("into", "src");
    EXPECT_TRUE(operands_overlap("src", "into/new"));
    EXPECT_TRUE(operands_overlap("src", "into/new/deeper/"));
    EXPECT_TRUE(operands_overlap("src", "nothere/deeper/../../into/y"));
}

TEST_F(OperandsOverlapTest, AnotherMountOfTheSameDirectoryOrOfOneInsideOverlaps)
{
    SKIP_WITHOUT(feature_t::bind_mounts);
    tree.dir("s/sub/deeper");
    tree.dir("s/su");
    tree.dir("m");
    tree.dir("t");
    const ScopedBindMount whole(tree.path("s"), tree.path("m"));
    if (!whole.error().empty())
        GTEST_SKIP() << "cannot bind-mount here: " << whole.error();
    EXPECT_TRUE(operands_overlap("s/sub", "m"));          // the destination is the source's parent
    EXPECT_TRUE(operands_overlap("m", "s/backup"));       // the destination lies in the source
    EXPECT_TRUE(operands_overlap("m/sub", "s/sub/new"));
    EXPECT_FALSE(operands_overlap("m/sub", "t"));

    // What follows needs the places that the system tells.
    SKIP_WITHOUT(feature_t::mount_places);
    // A sub-directory mounted elsewhere: ".." from the root of that mount
    // leads to the mount point's parent. The mount point's name holds what
    // the system's list of mounts escapes.
    const std::string view = "v w\t\\x\ny";
    tree.dir(view);
    const ScopedBindMount inner(tree.path("s/sub"), tree.path(view));
    ASSERT_EQ("", inner.error());
    EXPECT_TRUE(operands_overlap("s", view.c_str()));
    EXPECT_TRUE(operands_overlap(view.c_str(), "s"));
    EXPECT_TRUE(operands_overlap((view + "/deeper").c_str(), "m/sub"));
    EXPECT_TRUE(operands_overlap("s", (view + "/new/deeper").c_str()));   // still to be made
    EXPECT_FALSE(operands_overlap("s/su", view.c_str()));                 // "s/sub" is not inside "s/su"
    EXPECT_FALSE(operands_overlap(view.c_str(), "t"));
    EXPECT_FALSE(operands_overlap(view.c_str(), "s/su/new"));

    // A directory of one tree mounted inside the other: that tree holds it.
    tree.dir("t/in");
    const ScopedBindMount into(tree.path("s/sub"), tree.path("t/in"));
    ASSERT_EQ("", into.error());
    EXPECT_TRUE(operands_overlap("s", "t"));
    EXPECT_TRUE(operands_overlap("t", "s/sub/deeper"));
    EXPECT_TRUE(operands_overlap("t", "s/sub/new"));
    EXPECT_FALSE(operands_overlap("s/su", "t"));
    EXPECT_FALSE(operands_overlap("t", "s/su/new"));
    // Two trees that hold the same directory, each through a mount of its own.
    tree.dir("w/in");
    const ScopedBindMount also(tree.path("s/sub/deeper"), tree.path("w/in"));
    ASSERT_EQ("", also.error());
    EXPECT_TRUE(operands_overlap("t", "w"));
    EXPECT_TRUE(operands_overlap("w", "t"));

    // Where the system cannot tell places, the walk up decides alone and
    // refuses nothing it would not refuse.
    fault_plan.fail(fault_op_t::dir_place, "");
    EXPECT_TRUE(operands_overlap("m", "s/backup"));
    EXPECT_FALSE(operands_overlap("s", view.c_str()));
}

namespace {

struct RunMainTest : RunStateTest {
    // Runs the program on `args` as a new process would, from fresh
    // settings and counters.
    int run_program(std::vector<std::string> args)
    {
        console = recorded_console_t{};
        args.insert(args.begin(), "calvento");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        run_settings_t fresh;
        run_t program(fresh);
        return run_main(program, fresh, static_cast<int>(args.size()), argv.data());
    }

    // The names in `relative` that a listing shows.
    std::vector<std::string> shown_names(const std::string& relative)
    {
        std::vector<std::string> names = tree.names(relative);
        std::erase_if(names, [](const std::string& name) { return name[0] == '.'; });
        return names;
    }
};

}  // namespace

// The summary and the log footer show counts past 32 bits whole, also
// where a long has 32 bits (64-bit Windows).
TEST_F(RunMainTest, FiguresPastFourGibibytesAreShownWhole)
{
    tree.dir("a");
    tree.dir("b");
    run.stats.files_copied = 3000000000ull;
    run.stats.bytes_copied = 5368709120ull;
    const std::string log = tree.path("run.log");
    std::vector<std::string> args = {"calvento", "-l" + log, tree.path("a"), tree.path("b")};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    copy_buffer_release(run);   // the run obtains its own, and releases it
    EXPECT_EQ(0, run_main(run, settings, static_cast<int>(args.size()), argv.data()));
    EXPECT_NE(std::string::npos, console.out.find("3000000000 file copiato(i), 5368709120 byte , "));
    const std::string text = read_text_file(log);
    EXPECT_NE(std::string::npos, text.find("File copiati\t\t: 3000000000\n"));
    EXPECT_NE(std::string::npos, text.find("Byte copiati\t\t: 5368709120\n"));
}

// A run under way holds its destination: another is refused before it
// writes or makes anything, in the dated mode too; a dry run goes ahead,
// and so does a run where the file system offers no lock.
TEST_F(RunMainTest, ADestinationInUseRefusesASecondRunUntilTheFirstEnds)
{
    tree.file("a/new.txt", "n");
    tree.dir("b");
    const std::string a = tree.path("a");
    const std::string b = tree.path("b");
    const std::string log = tree.path("run.log");
    fs_dir_t* first = fs_dir_open(nullptr, b.c_str(), true, nullptr);
    ASSERT_EQ(1, fs_lock_dir(first));

    EXPECT_EQ(1, run_program({"-m3", "-l" + log, a, b}));
    EXPECT_EQ("Calvento: " + b + " e' in uso da un'altra esecuzione\n", console.err);
    EXPECT_EQ("", read_text_file(log));   // made by -l, and nothing more
    EXPECT_EQ(std::vector<std::string>{}, shown_names("b"));

    EXPECT_EQ(0, run_program({"-s", a, b}));
    EXPECT_EQ("", console.err);
    EXPECT_EQ(std::vector<std::string>{}, shown_names("b"));

    fault_plan.fail(fault_op_t::lock, b, sys_errors.io, 0, 1);
    EXPECT_EQ(0, run_program({a, b}));
    EXPECT_EQ("", console.err);
    EXPECT_EQ("n", tree.read("b/new.txt"));

    // Once the first run ends, so does its hold; a run lets go of its own.
    fs_dir_close(first);
    EXPECT_EQ(0, run_program({"-l" + log, a, b}));
    EXPECT_EQ("", console.err);
    first = fs_dir_open(nullptr, b.c_str(), true, nullptr);
    EXPECT_EQ(1, fs_lock_dir(first));
    fs_dir_close(first);
}

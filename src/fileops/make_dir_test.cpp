#include "fileops/make_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/stats.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

// Works inside a directory for the lifetime of the guard, for relative paths.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& path)
    {
        std::error_code error;
        previous_ = std::filesystem::current_path(error);
        std::filesystem::current_path(fs_path(path), error);
        entered_ = !error;
    }
    ~WorkingDirectory()
    {
        std::error_code error;
        if (entered_ && !previous_.empty())
            std::filesystem::current_path(previous_, error);
        if (error)
            ADD_FAILURE() << "cannot return to " << previous_;
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    bool entered() const { return entered_; }

  private:
    std::filesystem::path previous_;
    bool entered_ = false;
};

class MakeDirTest : public RunStateTest {};

TEST_F(MakeDirTest, NewDirectoryIsCreatedSilentlyAtVerbosityOneAndCounted)
{
    EXPECT_EQ(0, make_directory(run, changes(), tree.path("fresh").c_str()));
    EXPECT_TRUE(tree.is_dir("fresh"));
    EXPECT_EQ("", console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.dirs_created);
}

TEST_F(MakeDirTest, ExistingOrUnreachableDirectoryIsAnnouncedAndNotCountedOnlyTheUnreachableReported)
{
    settings.verbosity = 2;
    tree.file("there/keep.txt", "k");
    const std::string there = tree.path("there");
    const std::string orphan = tree.path("missing/child");

    // A dry run foresees both.
    for (const bool dry_run : {false, true}) {
        SCOPED_TRACE(dry_run ? "dry run" : "real run");
        settings.dry_run = dry_run;
        console = recorded_console_t{};
        EXPECT_EQ(1, make_directory(run, changes(), there.c_str()));
        EXPECT_EQ(-1, make_directory(run, changes(), orphan.c_str()));
        EXPECT_EQ(dir_created(there) + dir_created(orphan), console.out);
        EXPECT_EQ(orphan + ": " + error_words(sys_errors.path_not_found) + "\n", console.err);
    }
    EXPECT_EQ("k", tree.read("there/keep.txt"));
    EXPECT_FALSE(tree.exists("missing"));
    EXPECT_EQ(0u, run.stats.dirs_created);
}

TEST_F(MakeDirTest, AbsolutePathTriesEveryPrefixAndCountsOnlyNewOnes)
{
    settings.verbosity = 2;
    tree.dir("bak");
    const std::string root = tree.path();

    make_path(run, changes(), tree.path("bak/d1/d2/f.txt").c_str());

    // Every level above the tree exists already; each is still tried.
    std::string tried;
    for (std::size_t at = root.find(sep(), 1); at != std::string::npos; at = root.find(sep(), at + 1)) {
        if (at > root_length(root.c_str()))   // the root, and a drive, are never tried
            tried += dir_created(root.substr(0, at));
    }
    for (const char* level : {"", "bak", "bak/d1", "bak/d1/d2"})
        tried += dir_created(tree.path(level));
    EXPECT_EQ(tried, console.out);
    EXPECT_EQ("", console.err);
    EXPECT_TRUE(tree.is_dir("bak/d1/d2"));
    EXPECT_FALSE(tree.exists("bak/d1/d2/f.txt"));
    EXPECT_EQ(2u, run.stats.dirs_created);

    // Nothing below a directory that cannot be made is tried: its failure
    // is the one report.
    tree.file("bak/file", "in the way");
    console = recorded_console_t{};
    const std::string blocked = tree.path("bak/file/d3");
    EXPECT_EQ(blocked.size(), make_path(run, changes(), tree.path("bak/file/d3/d4/f.txt").c_str()));
    EXPECT_TRUE(console.out.ends_with(dir_created(tree.path("bak/file")) + dir_created(blocked))) << console.out;
    EXPECT_EQ(0u, console.err.find(blocked + ": ")) << console.err;
    EXPECT_EQ(1, std::count(console.err.begin(), console.err.end(), '\n')) << console.err;
}

TEST_F(MakeDirTest, RelativePathsSkipOneCharacterFirstNamesAndDrives)
{
    settings.verbosity = 2;
    const WorkingDirectory inside(tree.path());
    ASSERT_TRUE(inside.entered());

    // "a" is never tried, so "a/b" cannot come into being while "a" is missing.
    make_path(run, changes(), "a/b/f.txt");
    EXPECT_EQ(dir_created("a/b"), console.out);
    EXPECT_FALSE(tree.exists("a"));
    EXPECT_EQ(0u, run.stats.dirs_created);

    tree.dir("a");
    console = recorded_console_t{};
    make_path(run, changes(), "a/b/f.txt");
    EXPECT_EQ(dir_created("a/b"), console.out);
    EXPECT_TRUE(tree.is_dir("a/b"));
    EXPECT_FALSE(tree.exists("a/b/f.txt"));
    EXPECT_EQ(1u, run.stats.dirs_created);

    // A name before ":" reads as a drive and is never created.
    console = recorded_console_t{};
    const std::string drive = unused_drive();
    make_path(run, changes(), (drive + "/bak/f.txt").c_str());
    EXPECT_EQ(dir_created(drive + "/bak"), console.out);
    EXPECT_FALSE(tree.exists(drive));
    EXPECT_EQ(1u, run.stats.dirs_created);
}

TEST_F(MakeDirTest, PathWithoutSeparatorCreatesNothing)
{
    settings.verbosity = 9;
    const WorkingDirectory inside(tree.path());
    ASSERT_TRUE(inside.entered());

    make_path(run, changes(), "f.txt");
    EXPECT_EQ("", console.out);
    EXPECT_TRUE(tree.names("").empty());
    EXPECT_EQ(0u, run.stats.dirs_created);
}

TEST_F(MakeDirTest, TrailingSeparatorCreatesTheLastDirectoryToo)
{
    settings.verbosity = 2;
    const WorkingDirectory inside(tree.path());
    ASSERT_TRUE(inside.entered());

    make_path(run, changes(), "xy/d1/");
    EXPECT_EQ(dir_created("xy") + dir_created("xy/d1"), console.out);
    EXPECT_TRUE(tree.is_dir("xy/d1"));
    EXPECT_EQ(2u, run.stats.dirs_created);
}

TEST_F(MakeDirTest, BackslashIsPartOfANameNotASeparator)
{
    SKIP_WITHOUT(feature_t::backslash_names);
    settings.verbosity = 1;
    const WorkingDirectory inside(tree.path());
    ASSERT_TRUE(inside.entered());

    make_path(run, changes(), "a\\b/f.txt");
    EXPECT_EQ("", console.out);
    EXPECT_EQ(std::vector<std::string>{"a\\b"}, tree.names(""));
    EXPECT_TRUE(tree.is_dir("a\\b"));
    EXPECT_EQ(1u, run.stats.dirs_created);
}

}  // namespace

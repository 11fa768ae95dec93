#include "fileops/remove.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "listing/exclude.h"
#include "core/settings.h"
#include "core/stats.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

// The console text cut into lines, each with its line end.
std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

class RemoveTest : public RunStateTest {
  protected:
    // Removes the file at `relative` (below the scratch root) as the walk does.
    int remove_named(const std::string& relative, int level)
    {
        const std::size_t slash = relative.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : relative.substr(0, slash);
        const std::string name = relative.substr(slash + 1);
        return remove_file(run, changes(), dir(tree.path(parent)), name.c_str(), tree.path(relative).c_str(), level);
    }

    // Removes the tree `name` of the scratch root as the walk does, with the
    // record its listing gives.
    int remove_tree_named(const std::string& name, bool principal = false)
    {
        filelist_head_t dirs;
        filelist_head_t files;
        Filelist_scan(run, dir(tree.path()), "", &dirs, &files, {.principal = false, .hidden = nullptr, .quiet = true});
        const filelist_t* record = Filelist_find(&dirs, name.c_str());
        EXPECT_NE(nullptr, record) << name;
        return remove_tree(run, changes(), dir(tree.path()), record, tree.path(name).c_str(), principal);
    }
};

TEST_F(RemoveTest, ReadOnlyFileIsDeletedAnnouncedAndCountedAtLevelOne)
{
    tree.file("d/ro.txt", "old");
    tree.set_mode("d/ro.txt", 0444);
    tree.hard_link("d/ro.txt", "snapshot/ro.txt");
    const std::string path = tree.path("d/ro.txt");

    EXPECT_EQ(0, remove_named("d/ro.txt", 1));
    EXPECT_FALSE(tree.exists("d/ro.txt"));
    // Nothing was changed on the file first: its other name keeps it read-only.
    EXPECT_EQ(0444u, tree.mode("snapshot/ro.txt"));
    EXPECT_EQ(file_removed(path), console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);
}

TEST_F(RemoveTest, MissingFileIsSilentAndUncounted)
{
    settings.verbosity = 9;
    EXPECT_EQ(-1, remove_named("nothing.txt", 1));
    EXPECT_EQ("", console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(0u, run.stats.files_deleted);
}

TEST_F(RemoveTest, LevelFiveIsShownOnlyFromVerbosityFiveAndNeverCounted)
{
    tree.file("a.txt", "a");
    tree.file("b.txt", "b");

    settings.verbosity = 4;
    EXPECT_EQ(0, remove_named("a.txt", 5));
    EXPECT_FALSE(tree.exists("a.txt"));
    EXPECT_EQ("", console.out);
    EXPECT_EQ(0u, run.stats.files_deleted);

    settings.verbosity = 5;
    EXPECT_EQ(0, remove_named("b.txt", 5));
    EXPECT_FALSE(tree.exists("b.txt"));
    EXPECT_EQ(file_removed(tree.path("b.txt")), console.out);
    EXPECT_EQ(0u, run.stats.files_deleted);
}

TEST_F(RemoveTest, TreeGoesFilesFirstThenSubDirectoriesThenItself)
{
    tree.file("gone/one.txt", "1");
    tree.file("gone/two.txt", "22");
    tree.dir("gone/sub");
    const std::string gone = tree.path("gone");

    EXPECT_EQ(0, remove_tree_named("gone", false));
    EXPECT_FALSE(tree.exists("gone"));

    const std::vector<std::string> lines = lines_of(console.out);
    ASSERT_EQ(4u, lines.size()) << console.out;
    // The two files come in enumeration order, which the file system chooses.
    const std::set<std::string> files = {lines[0], lines[1]};
    EXPECT_EQ((std::set<std::string>{file_removed(tree.path("gone/one.txt")), file_removed(tree.path("gone/two.txt"))}),
              files);
    EXPECT_EQ(dir_removed(tree.path("gone/sub")), lines[2]);
    EXPECT_EQ(dir_removed(gone), lines[3]);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(2u, run.stats.files_deleted);
    EXPECT_EQ(2u, run.stats.dirs_deleted);
    EXPECT_EQ(0u, run.stats.dirs_scanned);
    EXPECT_EQ(0u, run.stats.files_scanned);
}

TEST_F(RemoveTest, DeepTreeIsRemovedDepthFirst)
{
    tree.file("gone/a/b/c/deep.txt", "x");
    tree.file("gone/a/top.txt", "y");
    const std::string gone = tree.path("gone");

    EXPECT_EQ(0, remove_tree_named("gone", false));
    EXPECT_FALSE(tree.exists("gone"));
    EXPECT_EQ(file_removed(tree.path("gone/a/top.txt")) + file_removed(tree.path("gone/a/b/c/deep.txt")) +
                  dir_removed(tree.path("gone/a/b/c")) + dir_removed(tree.path("gone/a/b")) +
                  dir_removed(tree.path("gone/a")) + dir_removed(gone),
              console.out);
    EXPECT_EQ(2u, run.stats.files_deleted);
    EXPECT_EQ(4u, run.stats.dirs_deleted);
}

TEST_F(RemoveTest, DotNameKeepsItsDirectoryWhichIsAnnouncedButNotCounted)
{
    tree.file("gone/.keep", "keep");
    tree.file("gone/x.txt", "x");
    const std::string gone = tree.path("gone");

    EXPECT_EQ(-1, remove_tree_named("gone", false));
    EXPECT_TRUE(tree.is_dir("gone"));
    EXPECT_EQ("keep", tree.read("gone/.keep"));
    EXPECT_FALSE(tree.exists("gone/x.txt"));
    EXPECT_EQ(file_removed(tree.path("gone/x.txt")) + dir_removed(gone), console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);   // nothing of what stays counts as removed
}

TEST_F(RemoveTest, LinksAreNeverFollowedNorRemoved)
{
    SKIP_WITHOUT(feature_t::links);
    tree.file("outside/target.txt", "precious");
    tree.file("outside/dir/inner.txt", "inner");
    tree.link("gone/to_file", tree.path("outside/target.txt"));
    tree.link("gone/sub/to_dir", tree.path("outside/dir"));
    tree.file("gone/sub/plain.txt", "p");
    const std::string gone = tree.path("gone");

    EXPECT_EQ(-1, remove_tree_named("gone", false));

    EXPECT_EQ("precious", tree.read("outside/target.txt"));
    EXPECT_EQ("inner", tree.read("outside/dir/inner.txt"));
    EXPECT_EQ(std::vector<std::string>{"inner.txt"}, tree.names("outside/dir"));
    EXPECT_EQ((std::vector<std::string>{"sub", "to_file"}), tree.names("gone"));
    EXPECT_EQ((std::vector<std::string>{"to_dir"}), tree.names("gone/sub"));
    EXPECT_EQ(file_removed(tree.path("gone/sub/plain.txt")) + dir_removed(tree.path("gone/sub")) + dir_removed(gone),
              console.out);
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);   // nothing of what stays counts as removed
}

TEST_F(RemoveTest, ExcludedNamesStayWithTheirDirectories)
{
    Exclude_add(run, &run.exclude_all, "keep.me");
    Exclude_add(run, &run.exclude_all, "kept_dir");
    tree.file("gone/keep.me", "k");
    tree.file("gone/sub/keep.me", "k2");
    tree.file("gone/kept_dir/inside.txt", "i");
    tree.file("gone/other.txt", "o");
    const std::string gone = tree.path("gone");
    console = recorded_console_t{};

    EXPECT_EQ(-1, remove_tree_named("gone", false));
    EXPECT_EQ((std::vector<std::string>{"keep.me", "kept_dir", "sub"}), tree.names("gone"));
    EXPECT_EQ("k2", tree.read("gone/sub/keep.me"));
    EXPECT_EQ("i", tree.read("gone/kept_dir/inside.txt"));
    EXPECT_EQ(file_removed(tree.path("gone/other.txt")) + dir_removed(tree.path("gone/sub")) + dir_removed(gone),
              console.out);
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);   // nothing of what stays counts as removed
}

TEST_F(RemoveTest, PrincipalExclusionsHoldAtEveryDepthOfARemovalFromThePrincipalPair)
{
    Exclude_add(run, &run.exclude_principal, "local.cfg");
    tree.file("gone/deeper/local.cfg", "cfg");
    tree.file("gone2/deeper/local.cfg", "cfg");

    EXPECT_EQ(-1, remove_tree_named("gone", true));
    EXPECT_EQ("cfg", tree.read("gone/deeper/local.cfg"));

    // Further down the walk the same name is an ordinary file.
    EXPECT_EQ(0, remove_tree_named("gone2", false));
    EXPECT_FALSE(tree.exists("gone2"));
}

TEST_F(RemoveTest, SilentAtVerbosityZeroButStillCounted)
{
    settings.verbosity = 0;
    tree.file("gone/a.txt", "a");
    tree.file("b.txt", "b");

    EXPECT_EQ(0, remove_tree_named("gone", false));
    EXPECT_EQ(0, remove_named("b.txt", 1));
    EXPECT_EQ("", console.out);
    EXPECT_EQ(2u, run.stats.files_deleted);
    EXPECT_EQ(1u, run.stats.dirs_deleted);
}

TEST_F(RemoveTest, FailedRemovalIsAnnouncedReportedAndNotCounted)
{
    use_log(tree.path("run.log"));
    tree.file("stuck.txt", "s");
    tree.file("gone/stuck.txt", "s");
    tree.file("gone/free.txt", "f");
    for (const std::string& path : {tree.path("stuck.txt"), tree.path("gone/stuck.txt")})
        fault_plan.fail(fault_op_t::remove_file, path, sys_errors.not_permitted);

    EXPECT_EQ(-1, remove_named("stuck.txt", 1));
    EXPECT_EQ(-1, remove_tree_named("gone"));
    EXPECT_EQ("s", tree.read("stuck.txt"));
    EXPECT_EQ((std::vector<std::string>{"stuck.txt"}), tree.names("gone"));
    EXPECT_EQ(file_removed(tree.path("stuck.txt")), lines_of(console.out)[0]);
    // The directory that keeps the stuck file is not reported a second time.
    const std::string refused = ": " + error_words(sys_errors.not_permitted) + "\n";
    EXPECT_EQ(tree.path("stuck.txt") + refused + tree.path("gone/stuck.txt") + refused, console.err);
    EXPECT_EQ(2, log_records_in(read_text_file(tree.path("run.log"))));
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);
}

TEST_F(RemoveTest, DirectoryThatCannotBeListedIsReportedOnceAndKeepsWhatItHolds)
{
    struct ListingCase {
        const char* what;
        fault_op_t op;
        bool after_one;          // the listing fails after one file
        bool dry_run;
        std::optional<std::uint64_t> limit;
    };
    const ListingCase cases[] = {
        {"cannot be opened", fault_op_t::dir_open, false, false, {}},
        {"listing refused", fault_op_t::list_open, false, false, {}},
        {"listing breaks off", fault_op_t::list_read, true, false, {}},
        {"counted first for -c", fault_op_t::list_open, false, false, 100},
        {"dry run", fault_op_t::list_open, false, true, {}},
    };
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.what);
        run.stats = run_statistics_t{};
        settings.dry_run = c.dry_run;
        settings.removal_limit = c.limit;
        console = recorded_console_t{};
        fault_plan.rules.clear();
        close_dirs();
        const std::string gone = "gone" + std::to_string(&c - cases);
        use_log(tree.path(gone + ".log"));
        run.log.active = !c.dry_run;   // a dry run keeps no log
        for (const char* name : {"/a.txt", "/sub/x.txt", "/sub/y.txt"})
            tree.file(gone + name, "x");
        const std::string sub = tree.path(gone + "/sub");
        std::uint64_t after = 0;
        if (c.after_one) {
            // The first file goes; on POSIX "." and ".." are delivered first.
            fs_dir_t* listed = fs_dir_open(nullptr, sub.c_str(), true, nullptr);
            for (dos_dirent_t entry; fs_dir_next(listed, &entry) > 0;) {
                ++after;
                if (entry.name[0] != '.')
                    break;
            }
            fs_dir_close(listed);
        }
        fault_plan.fail(c.op, sub, sys_errors.access_denied, after);

        // A dry run keeps what the real run keeps: the directory it could
        // not list, and the one that holds it.
        EXPECT_EQ(-1, remove_tree_named(gone));
        EXPECT_TRUE(tree.exists(gone + "/sub"));
        EXPECT_EQ(c.after_one && !c.dry_run ? 1u : 2u, tree.names(gone + "/sub").size());
        // Reported once, where its removal is tried; the directory above it,
        // which it keeps, is not reported again.
        const std::string report = sub + ": " + error_words(sys_errors.access_denied) + "\n";
        EXPECT_EQ(report, console.err);
        EXPECT_TRUE(contains(console.both, dir_removed(sub) + report + dir_removed(tree.path(gone))));
        EXPECT_EQ(1u, run.stats.errors_reported);
        EXPECT_EQ(c.dry_run ? 0 : 1, log_records_in(read_text_file(run.log.name)));
        EXPECT_EQ(0u, run.stats.dirs_deleted);
        EXPECT_EQ(c.after_one ? 2u : 1u, run.stats.files_deleted);
    }
}

TEST_F(RemoveTest, RemovalLimitLeavesWholeTreesAndStopsForGood)
{
    use_log(tree.path("run.log"));
    struct LimitCase {
        std::uint64_t limit;
        bool tree_removed;       // a.txt, b.txt, sub/c.txt, sub and gone: 5 removals
    };
    for (const LimitCase& c : {LimitCase{5, true}, LimitCase{4, false}, LimitCase{0, false}}) {
        SCOPED_TRACE(testing::Message() << "-c" << c.limit);
        run.stats = run_statistics_t{};
        run.removals = removal_budget_t{};
        settings.removal_limit = c.limit;
        console = recorded_console_t{};
        close_dirs();
        for (const char* name : {"gone/a.txt", "gone/b.txt", "gone/sub/c.txt", "later.txt"})
            tree.file(name, "x");

        EXPECT_EQ(c.tree_removed ? 0 : -1, remove_tree_named("gone"));
        EXPECT_EQ(!c.tree_removed, tree.exists("gone/sub/c.txt"));
        EXPECT_EQ(!c.tree_removed, tree.exists("gone/a.txt"));
        // Once the limit is reached nothing more goes, and it is said once.
        EXPECT_EQ(-1, remove_named("later.txt", 1));
        EXPECT_TRUE(tree.exists("later.txt"));
        EXPECT_EQ("Limite cancellazioni raggiunto (" + std::to_string(c.limit) + ")\n", console.err);
        EXPECT_EQ(c.tree_removed ? 5u : 0u, run.removals.used);
    }
}

}  // namespace

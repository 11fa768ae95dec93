#include "fileops/keep_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/output.h"
#include "fileops/copy_file.h"
#include "fileops/remove.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

class KeepChangesTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        tree.dir("src");
        tree.dir("dst");
        settings.versions = tree.path("vers");
        run.stats.start_time = local_moment(2026, 12, 9, 2, 0, 0);
        keep_ = make_keep_changes(settings, tree.path("dst").c_str());
        keep_->begin(run);
    }

    void TearDown() override
    {
        keep_->settle(run);
        keep_.reset();
        RunStateTest::TearDown();
    }

    // The path of dst/`relative` as the walk spells it, with this system's
    // separators.
    std::string dst(const std::string& relative) const
    {
        std::string path = tree.path("dst") + sep();
        for (const char c : relative)
            path += c == '/' ? sep() : std::string(1, c);
        return path;
    }
    std::string kept(const std::string& relative, const char* folder = "20261209-020000") const
    {
        return std::string("vers/") + folder + "/" + relative;
    }

    // Removes the file or tree `name` of dst as the walk does.
    int remove_file_named(const std::string& name)
    {
        return remove_file(run, *keep_, dir(tree.path("dst")), name.c_str(), dst(name).c_str(), SHOW_PROGRESS);
    }
    int remove_tree_named(const std::string& name)
    {
        Filelist_scan(run, dir(tree.path("dst")), "", &dirs_, &files_, {.quiet = true});
        const filelist_t* record = Filelist_find(&dirs_, name.c_str());
        EXPECT_NE(nullptr, record) << name;
        return remove_tree(run, *keep_, dir(tree.path("dst")), record, dst(name).c_str(), false);
    }
    // Copies src/name over dst/name as the walk does.
    int copy_named(const std::string& name)
    {
        Filelist_scan(run, dir(tree.path("src")), "", &dirs_, &files_, {.quiet = true});
        const filelist_t* record = Filelist_find(&files_, name.c_str());
        EXPECT_NE(nullptr, record) << name;
        const int result = copy_file(run, *keep_, record, dir(tree.path("src")), (tree.path("src") + sep() + name).c_str(),
                                     dest(tree.path("dst")), dst(name).c_str());
        keep_->settle(run);
        return result;
    }
    bool logged(const std::string& operation) const
    {
        return std::find(fault_log.begin(), fault_log.end(), operation) != fault_log.end();
    }
    // Where `operation` stands in the log of operations; the end when absent.
    std::size_t order_of(const std::string& operation) const
    {
        return static_cast<std::size_t>(std::find(fault_log.begin(), fault_log.end(), operation) - fault_log.begin());
    }
    void refuse_moves_across_file_systems() { fault_plan.fail(fault_op_t::move, "", error_code(ERR_CROSS_DEVICE)); }

    std::unique_ptr<dest_changes_t> keep_;
    filelist_head_t dirs_;
    filelist_head_t files_;
};

TEST_F(KeepChangesTest, OnOneFileSystemATreeMovesWholeAndItsLinesShowAsKept)
{
    tree.file("dst/gone/a.txt", "a");
    tree.file("dst/gone/sub/b.txt", "bb");
    tree.file("dst/f.txt", "f");
    tree.file("dst/mixed/.hidden", "h");
    tree.file("dst/mixed/x.txt", "x");

    EXPECT_EQ(0, remove_tree_named("gone"));
    EXPECT_EQ(0, remove_file_named("f.txt"));
    // A tree that holds what the listing hides goes entry by entry, and
    // what is hidden stays with its directory, as without versions.
    EXPECT_EQ(-1, remove_tree_named("mixed"));

    EXPECT_TRUE(logged("move " + dst("gone") + " " + tree.path(kept("gone"))));
    EXPECT_FALSE(logged("remove_file " + dst("gone/a.txt")));
    EXPECT_EQ(file_kept(dst("gone/a.txt")) + file_kept(dst("gone/sub/b.txt")) + dir_kept(dst("gone/sub")) +
                  dir_kept(dst("gone")) + file_kept(dst("f.txt")) + file_kept(dst("mixed/x.txt")) +
                  dir_kept(dst("mixed")),
              console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(4u, run.stats.files_deleted);
    EXPECT_EQ(2u, run.stats.dirs_deleted);
    EXPECT_EQ((std::vector<std::string>{"mixed"}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{".hidden"}), tree.names("dst/mixed"));
    EXPECT_EQ("bb", tree.read(kept("gone/sub/b.txt")));
    EXPECT_EQ("f", tree.read(kept("f.txt")));
    EXPECT_EQ("x", tree.read(kept("mixed/x.txt")));
    EXPECT_FALSE(tree.exists(kept("mixed/.hidden")));

    // Another run that starts in the same second keeps into a folder of its own.
    keep_->settle(run);
    tree.file("dst/late.txt", "l");
    keep_ = make_keep_changes(settings, tree.path("dst").c_str());
    keep_->begin(run);
    EXPECT_EQ(0, remove_file_named("late.txt"));
    EXPECT_EQ("l", tree.read(kept("late.txt", "20261209-020000-2")));
}

TEST_F(KeepChangesTest, VersionsInsideARemovedTreeStayAndKeepWhatLeavesAroundThem)
{
    tree.file("dst/gone/a.txt", "a");
    tree.file("dst/gone/vers/old/f.txt", "f");
    settings.versions = dst("gone/vers");
    keep_ = make_keep_changes(settings, tree.path("dst").c_str());
    keep_->begin(run);

    EXPECT_EQ(-1, remove_tree_named("gone"));
    EXPECT_EQ(file_kept(dst("gone/a.txt")) + dir_kept(dst("gone")), console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ((std::vector<std::string>{"vers"}), tree.names("dst/gone"));
    EXPECT_EQ("f", tree.read("dst/gone/vers/old/f.txt"));
    EXPECT_EQ("a", tree.read("dst/gone/vers/20261209-020000/gone/a.txt"));
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);
}

TEST_F(KeepChangesTest, AcrossFileSystemsEachFileIsCopiedMadeDurableAndOnlyThenRemoved)
{
    refuse_moves_across_file_systems();
    tree.file("dst/gone/a.txt", "a");
    tree.file("dst/gone/sub/b.txt", "bb");
    tree.set_mtime("dst/gone/sub/b.txt", local_moment(2021, 3, 4, 5, 6, 8));
    tree.set_mode("dst/gone/sub/b.txt", 0444);

    EXPECT_EQ(0, remove_tree_named("gone"));
    // The lines show once, before the step that could not be taken.
    EXPECT_EQ(file_kept(dst("gone/a.txt")) + file_kept(dst("gone/sub/b.txt")) + dir_kept(dst("gone/sub")) +
                  dir_kept(dst("gone")),
              console.out);
    EXPECT_EQ("", console.err);
    EXPECT_FALSE(tree.exists("dst/gone"));
    EXPECT_EQ("bb", tree.read(kept("gone/sub/b.txt")));
    EXPECT_EQ(local_moment(2021, 3, 4, 5, 6, 8), tree.mtime(kept("gone/sub/b.txt")));
    EXPECT_EQ(0444u & tree.mode("dst"), tree.mode(kept("gone/sub/b.txt")) & tree.mode("dst"));
    const std::string copy = tree.path(kept("gone/sub/b.txt"));
    EXPECT_LT(order_of("create " + copy), order_of("flush " + copy));
    EXPECT_LT(order_of("flush " + copy), order_of("remove_file " + dst("gone/sub/b.txt")));
    EXPECT_LT(order_of("remove_file " + dst("gone/sub/b.txt")), fault_log.size());
    EXPECT_EQ(2u, run.stats.files_deleted);
    EXPECT_EQ(2u, run.stats.dirs_deleted);
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(KeepChangesTest, WhatCannotBeKeptStaysWhereItIsAndIsReported)
{
    refuse_moves_across_file_systems();
    tree.file("dst/gone/a.txt", "a");
    tree.file("dst/gone/sub/b.txt", "bb");
    tree.file("dst/gone/sub/c.txt", "cc");
    tree.file("dst/r.txt", "old r");
    tree.file("src/r.txt", "new r");
    // No room for one file of the tree, halfway through it, nor for the old
    // copy that a new one would replace.
    fault_plan.fail(fault_op_t::write, tree.path(kept("gone/sub/b.txt")), sys_errors.no_space);
    fault_plan.fail(fault_op_t::create, tree.path(kept("r.txt")), sys_errors.no_space);

    EXPECT_EQ(-1, remove_tree_named("gone"));
    EXPECT_EQ(1, copy_named("r.txt"));

    EXPECT_EQ("bb", tree.read("dst/gone/sub/b.txt"));
    EXPECT_EQ((std::vector<std::string>{"b.txt"}), tree.names("dst/gone/sub"));
    EXPECT_EQ((std::vector<std::string>{"sub"}), tree.names("dst/gone"));
    EXPECT_EQ("a", tree.read(kept("gone/a.txt")));
    EXPECT_EQ("cc", tree.read(kept("gone/sub/c.txt")));
    EXPECT_EQ((std::vector<std::string>{"c.txt"}), tree.names(kept("gone/sub")));
    EXPECT_EQ("old r", tree.read("dst/r.txt"));
    EXPECT_FALSE(tree.exists(kept("r.txt")));
    EXPECT_TRUE(logged("discard " + dst("r.txt")));
    EXPECT_EQ(error_line(sys_errors.no_space, dst("gone/sub/b.txt")) + error_line(sys_errors.no_space, dst("r.txt")),
              console.err);
    EXPECT_EQ(2u, run.stats.files_deleted);
    EXPECT_EQ(0u, run.stats.dirs_deleted);
    EXPECT_EQ(0u, run.stats.files_copied);
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(KeepChangesTest, ReplacedFileIsKeptBeforeTheCopyTakesItsName)
{
    for (const char* name : {"r.txt", "s.txt", "t.txt"}) {
        tree.file(std::string("dst/") + name, std::string("old ") + name);
        tree.file(std::string("src/") + name, std::string("new ") + name);
    }
    EXPECT_EQ(0, copy_named("r.txt"));
    EXPECT_LT(order_of("move " + dst("r.txt") + " " + tree.path(kept("r.txt"))), order_of("commit " + dst("r.txt")));
    EXPECT_EQ("new r.txt", tree.read("dst/r.txt"));
    EXPECT_EQ("old r.txt", tree.read(kept("r.txt")));

    // A copy that cannot take the name after all puts the old file back.
    fault_plan.fail(fault_op_t::commit, dst("s.txt"));
    EXPECT_EQ(1, copy_named("s.txt"));
    EXPECT_EQ("old s.txt", tree.read("dst/s.txt"));
    EXPECT_FALSE(tree.exists(kept("s.txt")));

    // On another file system a copy of the old file is kept, and replaced.
    refuse_moves_across_file_systems();
    EXPECT_EQ(0, copy_named("t.txt"));
    EXPECT_EQ("new t.txt", tree.read("dst/t.txt"));
    EXPECT_EQ("old t.txt", tree.read(kept("t.txt")));
    EXPECT_EQ(0u, run.stats.files_deleted);
    EXPECT_EQ(2u, run.stats.files_copied);
    EXPECT_EQ(0, open_descriptors());
}

TEST(RunFolderName, OnlyRealStampsWithAnOptionalNumberFromTwo)
{
    struct Case {
        const char* name;
        bool valid;
        std::uint64_t number;
    };
    const Case cases[] = {
        {"20261209-020000", true, 1},   {"20261209-020000-2", true, 2}, {"20261209-235960-17", true, 17},
        {"20261209-020000-1", false, 0}, {"20261209-020000-02", false, 0}, {"20261209-020000-", false, 0},
        {"20261309-020000", false, 0},  {"20261200-020000", false, 0},  {"20261209-240000", false, 0},
        {"20261209_020000", false, 0},  {"2026120-9020000", false, 0},  {"20261209-020000x", false, 0},
        {"20261209-02000", false, 0},   {"notes", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stamp;
        std::uint64_t number = 0;
        EXPECT_EQ(c.valid, run_folder_name(c.name, &stamp, &number));
        if (c.valid) {
            EXPECT_EQ(std::string(c.name, 15), stamp);
            EXPECT_EQ(c.number, number);
        }
    }
}

}  // namespace

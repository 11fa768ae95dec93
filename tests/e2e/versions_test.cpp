// Whole runs that keep versions (-k) and let old ones go (-e).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "e2e/scratch_run.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/linux_tools.h"
#include "support/scoped_tmpfs.h"
#include "support/temp_tree.h"

namespace {

// "AAAAMMGG-HHMMSS" of the local time of `when`.
std::string stamp_of(std::time_t when)
{
    const std::tm local = local_calendar(when);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

using Versions = ScratchRunTest;

TEST_F(Versions, WhatLeavesIsShownKeptAndLandsInOneRunFolderNamedAfterTheStart)
{
    const std::time_t old = local_moment(2024, 5, 6, 7, 8, 10);
    tree.file("src/a.txt", "new a, longer");
    tree.file("dst/a.txt", "old a");
    tree.set_mtime("dst/a.txt", old);
    tree.set_mode("dst/a.txt", 0640);
    tree.file("dst/b.txt", "bee");
    tree.file("dst/gone/x.txt", "ex");
    tree.set_mode("dst/gone", 0750);
    const std::vector<std::string> before = snapshot(tree.path("dst"));

    // A dry run shows the same lines and keeps nothing.
    const run_result_t dry = run({"-s", "-kdst/history", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(dry));
    EXPECT_EQ(before, snapshot(tree.path("dst")));

    const std::time_t started = std::time(nullptr);
    const run_result_t kept = run({"-kdst/history", "-lrun.log", "src", "dst"});
    const std::time_t ended = std::time(nullptr);
    EXPECT_TRUE(ran_cleanly(kept));
    const std::string lines = file_kept("dst/gone/x.txt") + dir_kept("dst/gone") + file_kept("dst/b.txt");
    EXPECT_TRUE(contains(kept.out, lines + copy_announced("src/a.txt", 13, "dst/a.txt"))) << kept.out;
    EXPECT_TRUE(contains(dry.out, lines)) << dry.out;
    EXPECT_FALSE(contains(kept.out, "Cancellat"));
    const std::string log = tree.read("run.log");
    EXPECT_TRUE(contains(log, "File cancellati \t:          2\n"));
    EXPECT_TRUE(contains(log, "Directory cancellate \t:          1\n"));

    const std::vector<std::string> folders = tree.names("dst/history");
    ASSERT_EQ(1u, folders.size());
    EXPECT_LE(stamp_of(started), folders[0]);
    EXPECT_GE(stamp_of(ended), folders[0]);
    const std::string folder = "dst/history/" + folders[0] + "/";
    EXPECT_EQ(0700u, tree.mode("dst/history"));
    EXPECT_EQ("old a", tree.read(folder + "a.txt"));
    EXPECT_EQ(old, tree.mtime(folder + "a.txt"));
    EXPECT_EQ(0640u, tree.mode(folder + "a.txt"));
    EXPECT_EQ("bee", tree.read(folder + "b.txt"));
    EXPECT_EQ("ex", tree.read(folder + "gone/x.txt"));
    EXPECT_EQ(0750u, tree.mode(folder + "gone"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "history"}), tree.names("dst"));

    // The versions directory is the run's own, though it has no dot name:
    // the next run leaves it alone, and a source namesake is reported.
    tree.dir("src/history");
    const run_result_t again = run({"-kdst/history", "src", "dst"});
    EXPECT_EQ(2, again.code);
    EXPECT_EQ(with_failures(error_line(EBUSY, "dst/history")), again.err);
    EXPECT_EQ(folders, tree.names("dst/history"));
    EXPECT_EQ("ex", tree.read(folder + "gone/x.txt"));
}

TEST_F(Versions, RetentionRemovesOldRunFoldersWholeButNeverTheNewestNorAnythingElse)
{
    tree.file("src/same.txt", "same");
    tree.file("dst/same.txt", "same");
    tree.set_mtime("src/same.txt", local_moment(2024, 1, 1, 0, 0, 0));
    tree.set_mtime("dst/same.txt", local_moment(2024, 1, 1, 0, 0, 0));
    tree.file("vers/20000101-000000/f.txt", "f");
    tree.file("vers/20000101-000000/deep/g.txt", "g");
    tree.file("vers/20000101-000000-2/h.txt", "h");
    tree.file("vers/20010101-120000/i.txt", "i");
    tree.file("vers/20000101-000000.txt", "a file");
    tree.file("vers/misc/j.txt", "j");
    tree.file("vers/20000101-00000/k.txt", "k");
    const std::vector<std::string> before = snapshot(tree.path("vers"));
    const std::string expired =
        dir_removed("vers/20000101-000000") + dir_removed("vers/20000101-000000-2");

    // A dry run shows what would go, and nothing goes; nor does anything
    // while the source cannot be opened.
    const run_result_t dry = run({"-s", "-kvers", "-e30", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(dry));
    EXPECT_EQ(before, snapshot(tree.path("vers")));
    EXPECT_EQ(2, run({"-kvers", "-e30", "lost", "dst"}).code);
    EXPECT_EQ(before, snapshot(tree.path("vers")));

    // Nothing is kept: the newest folder stays, however old.
    const run_result_t first = run({"-kvers", "-e30", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(first));
    for (const run_result_t* result : {&dry, &first}) {
        EXPECT_EQ(2, count_of(result->out, "Cancellat"));
        EXPECT_TRUE(contains(result->out, dir_removed("vers/20000101-000000")));
        EXPECT_TRUE(contains(result->out, dir_removed("vers/20000101-000000-2")));
    }
    EXPECT_EQ((std::vector<std::string>{"20000101-00000", "20000101-000000.txt", "20010101-120000", "misc"}),
              tree.names("vers"));

    // A run that keeps something has the newest folder of all.
    tree.file("dst/extra.txt", "x");
    const run_result_t second = run({"-kvers", "-e30", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(second));
    EXPECT_TRUE(contains(second.out, file_kept("dst/extra.txt") + dir_removed("vers/20010101-120000")));
    const std::vector<std::string> left = tree.names("vers");
    ASSERT_EQ(4u, left.size());
    EXPECT_EQ("x", tree.read("vers/" + left[2] + "/extra.txt"));
}

TEST_F(Versions, VersionsInTheSourceOrHoldingAnOperandAreRefusedBeforeAnything)
{
    tree.file("src/a.txt", "a");
    tree.file("dst/b.txt", "b");
    for (const char* versions : {"src/v", "src", ".", "dst"}) {
        SCOPED_TRACE(versions);
        const run_result_t refused = run({std::string("-k") + versions, "-i", "-lrun.log", "src", "dst"});
        EXPECT_EQ(1, refused.code);
        EXPECT_EQ(BANNER, refused.out);
        EXPECT_EQ(std::string("Calvento: src e ") + versions + "\nSono sullo stesso volume\n\a", refused.err);
        EXPECT_EQ("", tree.read("run.log"));
        EXPECT_FALSE(tree.exists("src/v"));
        EXPECT_EQ("b", tree.read("dst/b.txt"));
        EXPECT_FALSE(tree.exists("dst/a.txt"));
    }
}

TEST_F(Versions, OnAnotherFileSystemFilesAreCopiedAndWhatFindsNoRoomStays)
{
    tree.dir("vers");
    const ScopedTmpfs disk(tree.path("vers"), "size=256k");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
    const std::time_t old = local_moment(2022, 2, 3, 4, 5, 6);
    tree.dir("src");
    tree.file("dst/gone/a.txt", "a");
    tree.file("dst/gone/big.bin", stamped(1 << 20, 7));
    tree.file("dst/gone/sub/c.txt", "cc");
    tree.set_mtime("dst/gone/sub/c.txt", old);
    tree.set_mode("dst/gone/sub/c.txt", 0600);

    const run_result_t result = run({"-kvers", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures(error_line(ENOSPC, "dst/gone/big.bin")), result.err);
    EXPECT_EQ((std::vector<std::string>{"big.bin"}), tree.names("dst/gone"));
    EXPECT_EQ(stamped(1 << 20, 7), tree.read("dst/gone/big.bin"));
    const std::vector<std::string> folders = tree.names("vers");
    ASSERT_EQ(1u, folders.size());
    const std::string folder = "vers/" + folders[0] + "/gone/";
    EXPECT_EQ("a", tree.read(folder + "a.txt"));
    EXPECT_EQ("cc", tree.read(folder + "sub/c.txt"));
    EXPECT_EQ(old, tree.mtime(folder + "sub/c.txt"));
    EXPECT_EQ(0600u, tree.mode(folder + "sub/c.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), tree.names(folder));
}

TEST_F(Versions, ARunFolderRestoresWhatItKeptAndTheRestoreKeepsWhatItReplaces)
{
    tree.file("src/doc.txt", "good");
    tree.file("src/dir/note.txt", "note");
    tree.dir("dst");
    ASSERT_TRUE(ran_cleanly(run({"src", "dst"})));
    // A bad day on the source: a file overwritten, a folder deleted.
    tree.file("src/doc.txt", "ransomed!");
    ASSERT_EQ(0, std::system(("rm -r '" + tree.path("src/dir") + "'").c_str()));
    ASSERT_TRUE(ran_cleanly(run({"-kvers", "src", "dst"})));
    ASSERT_EQ("ransomed!", tree.read("dst/doc.txt"));
    const std::vector<std::string> first = tree.names("vers");
    ASSERT_EQ(1u, first.size());

    // The versions directory holds the source of a restore: what the
    // restore replaces is kept elsewhere, here in the destination's own.
    const run_result_t restore = run({"-p", "-k", "vers/" + first[0], "dst"});
    EXPECT_TRUE(ran_cleanly(restore));
    EXPECT_EQ("good", tree.read("dst/doc.txt"));
    EXPECT_EQ("note", tree.read("dst/dir/note.txt"));
    const std::vector<std::string> second = tree.names("dst/.versioni");
    ASSERT_EQ(1u, second.size());
    EXPECT_EQ("ransomed!", tree.read("dst/.versioni/" + second[0] + "/doc.txt"));
    EXPECT_EQ("good", tree.read("vers/" + first[0] + "/doc.txt"));
    EXPECT_EQ(first, tree.names("vers"));
}

}  // namespace

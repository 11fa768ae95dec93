// A whole run over real trees: the destination becomes an image of the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <thread>

#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "e2e/run_binary.h"
#include "e2e/scratch_run.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/linux_tools.h"
#include "support/system.h"
#include "support/temp_tree.h"

#ifndef CALVENTO_SLOWFS
#define CALVENTO_SLOWFS ""
#endif

namespace {

class Mirror : public ScratchRunTest {
  protected:
    void expect_mirrored()
    {
        const std::vector<std::string> source = describe_tree(tree.path("src"));
        EXPECT_FALSE(source.empty());
        EXPECT_EQ(source, describe_tree(tree.path("dst")));
    }
};

TEST_F(Mirror, MixedTreeBecomesAnExactCopyAndStaysOne)
{
    const std::time_t when = local_moment(2023, 6, 15, 12, 30, 41);  // odd second: rounded on the copy
    struct source_file_t {
        std::string name;
        std::string bytes;
        unsigned mode;
    };
    const std::vector<source_file_t> files = {
        {"docs/report.txt", "quarterly figures\n", 0644},
        {"docs/deep/er/notes.md", "n", 0644},
        {"empty.txt", "", 0644},
        {"zero.bin", "", 0600},
        {"readonly.txt", "do not touch", 0444},
        {"run.sh", "#!/bin/sh\necho hi\n", 0755},
        {"with space.txt", "s p a c e", 0644},
        {"back\\slash", "b", 0644},
        {"new\nline", "nl", 0640},
        {"\xff\xfe-not-utf8", "u", 0644},
        {"big.bin", stamped(3 * 1024 * 1024 + 17, 1), 0644},
    };
    unsigned long long total = 0;
    for (const source_file_t& f : files) {
        tree.file("src/" + f.name, f.bytes);
        tree.set_mode("src/" + f.name, f.mode);
        tree.set_mtime("src/" + f.name, when);
        total += f.bytes.size();
    }
    tree.dir("src/emptydir");
    tree.dir("dst");

    const run_result_t first = run({"src", "dst"});
    EXPECT_TRUE(ran_cleanly(first));
    EXPECT_TRUE(has_summary(first.out, files.size(), total));
    expect_mirrored();
    EXPECT_EQ(0444u, tree.mode("dst/readonly.txt"));
    EXPECT_EQ(0755u, tree.mode("dst/run.sh"));
    EXPECT_EQ(when, tree.mtime("dst/big.bin"));   // exactly, not in two-second steps

    const run_result_t second = run({"src", "dst"});
    EXPECT_TRUE(ran_cleanly(second));
    EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(second.out));
    EXPECT_FALSE(contains(second.out, "Da\t"));
    expect_mirrored();

    // Change, add and delete on the source side; leave strays on the other.
    const std::string revised = "revised figures, a longer text\n";
    tree.file("src/docs/report.txt", revised);
    tree.file("src/docs/added.txt", "new");
    tree.file("src/fresh/inner/leaf.txt", "leaf");
    ASSERT_EQ(0, unlink(tree.path("src/run.sh").c_str()));
    ASSERT_EQ(0, unlink(tree.path("src/docs/deep/er/notes.md").c_str()));
    ASSERT_EQ(0, rmdir(tree.path("src/docs/deep/er").c_str()));
    ASSERT_EQ(0, rmdir(tree.path("src/docs/deep").c_str()));
    tree.file("dst/stray.txt", "stray");
    tree.file("dst/straydir/x/y.txt", "y");

    const run_result_t third = run({"-lrun.log", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(third));
    expect_mirrored();
    EXPECT_TRUE(has_summary(third.out, 3, revised.size() + 3 + 4));

    EXPECT_TRUE(contains(third.out, file_removed("dst/run.sh")));
    EXPECT_TRUE(contains(third.out, file_removed("dst/stray.txt")));
    // A removed tree shows its files, then each directory after its contents.
    EXPECT_TRUE(contains(third.out, file_removed("dst/docs/deep/er/notes.md") + dir_removed("dst/docs/deep/er") +
                                        dir_removed("dst/docs/deep")));
    EXPECT_TRUE(contains(third.out, file_removed("dst/straydir/x/y.txt") + dir_removed("dst/straydir/x") +
                                        dir_removed("dst/straydir")));
    EXPECT_EQ(4, count_of(third.out, " Cancellato\n"));
    EXPECT_EQ(4, count_of(third.out, " Cancellata\n"));

    const std::string log = tree.read("run.log");
    EXPECT_TRUE(contains(log, "Directory cancellate \t:          4\n"));
    EXPECT_TRUE(contains(log, "Directory create \t:          2\n"));
    EXPECT_TRUE(contains(log, "File cancellati \t:          4\n"));
    EXPECT_TRUE(contains(log, "File copiati\t\t:          3\n"));
    EXPECT_FALSE(contains(log, "Errore"));
}

TEST_F(Mirror, HiddenNamesLinksSpecialFilesAndExcludedNamesAreNeverTouched)
{
    tree.file("src/a.txt", "a");
    tree.file("src/.hidden", "h");
    tree.file("src/.hdir/f", "hf");
    tree.link("src/lnk", "a.txt");
    tree.link("src/dirlink", "docs");
    tree.fifo("src/pipe");
    tree.file("src/skip.me", "source version");
    tree.file("src/docs/b.txt", "b");
    tree.file("src/docs/skip.me", "source version too");
    tree.file("src/cache/x.txt", "x");

    tree.file("dst/.keep", "k");
    tree.file("dst/.kdir/f", "kf");
    tree.link("dst/dangling", "/nonexistent/target");
    tree.link("dst/into-source", "../src");
    tree.fifo("dst/dst-pipe");
    tree.file("dst/skip.me", "destination version");
    tree.file("dst/cache/old.txt", "old");
    tree.file("dst/docs/cache/z", "z");
    const std::vector<std::string> source_before = describe_tree(tree.path("src"), false);

    const run_result_t run_one = run({"-xskip.me", "-xcache", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(run_one));
    EXPECT_TRUE(has_summary(run_one.out, 2, 2));
    EXPECT_FALSE(contains(run_one.out, "Cancellat"));

    EXPECT_EQ((std::vector<std::string>{".kdir", ".keep", "a.txt", "cache", "dangling", "docs", "dst-pipe",
                                        "into-source", "skip.me"}),
              tree.names("dst"));
    EXPECT_EQ("destination version", tree.read("dst/skip.me"));
    EXPECT_EQ((std::vector<std::string>{"old.txt"}), tree.names("dst/cache"));
    EXPECT_EQ((std::vector<std::string>{"b.txt", "cache"}), tree.names("dst/docs"));
    EXPECT_EQ("z", tree.read("dst/docs/cache/z"));
    EXPECT_EQ("kf", tree.read("dst/.kdir/f"));
    struct stat info;
    ASSERT_EQ(0, lstat(tree.path("dst/into-source").c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(source_before, describe_tree(tree.path("src"), false));
}

TEST_F(Mirror, DestinationLinksAreNeitherWrittenThroughNorEntered)
{
    tree.file("src/a.txt", "new data");
    tree.file("src/sub/b.txt", "b");
    tree.file("outside/a.txt", "outside file");
    tree.dir("outside/dir");
    tree.link("dst/a.txt", "../outside/a.txt");
    tree.link("dst/sub", "../outside/dir");

    const run_result_t result = run({"src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures("dst/a.txt: Too many levels of symbolic links\ndst/sub - Not directory\n"), result.err);
    EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(result.out));
    EXPECT_EQ("outside file", tree.read("outside/a.txt"));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("outside/dir"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), tree.names("dst"));
    EXPECT_FALSE(tree.is_dir("dst/sub"));
}

TEST_F(Mirror, OperandsThatAreLinksToDirectoriesAreFollowed)
{
    tree.file("real-src/a.txt", "a");
    tree.file("real-src/sub/b.txt", "b");
    tree.dir("real-dst");
    tree.link("src", "real-src");
    tree.link("dst", "real-dst");

    const run_result_t result = run({"src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_EQ(describe_tree(tree.path("real-src")), describe_tree(tree.path("real-dst")));
    EXPECT_TRUE(has_summary(result.out, 2, 2));
}

TEST_F(Mirror, PrincipalExclusionsHoldOnlyInThePrincipalPair)
{
    tree.file("src/top", "source top");
    tree.file("src/keep.txt", "k");
    tree.file("src/sub/top", "source sub top");
    tree.file("dst/top", "destination top");
    tree.file("dst/sub/old/top", "removed normally");
    tree.file("dst/gone/top", "kept inside a removed tree");
    tree.file("dst/gone/other", "o");

    const run_result_t result = run({"-Xtop", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_EQ("destination top", tree.read("dst/top"));
    EXPECT_EQ("k", tree.read("dst/keep.txt"));
    EXPECT_EQ("source sub top", tree.read("dst/sub/top"));
    EXPECT_FALSE(tree.exists("dst/sub/old"));
    // The removal of "gone" starts in the principal pair: its "top" is hidden,
    // so it stays, and so does "gone", although its line is shown.
    EXPECT_EQ("kept inside a removed tree", tree.read("dst/gone/top"));
    EXPECT_FALSE(tree.exists("dst/gone/other"));
    EXPECT_TRUE(contains(result.out, dir_removed("dst/gone")));
    EXPECT_TRUE(contains(result.out, file_removed("dst/sub/old/top")));
}

class MirrorTypeClash : public Mirror {
  protected:
    void SetUp() override
    {
        tree.file("src/x/inner.txt", "inner");
        tree.file("dst/x", "a file where the source has a directory");
        tree.file("src/y", "a file where the destination has a directory");
        tree.file("dst/y/sub/z.txt", "z");
    }
};

TEST_F(MirrorTypeClash, DestinationEntryOfTheOtherKindIsReplaced)
{
    const run_result_t result = run({"src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    EXPECT_TRUE(tree.is_dir("dst/x"));
    EXPECT_EQ("inner", tree.read("dst/x/inner.txt"));
    EXPECT_FALSE(tree.is_dir("dst/y"));
    EXPECT_EQ("a file where the destination has a directory", tree.read("dst/y"));
    expect_mirrored();
}

TEST_F(MirrorTypeClash, KeepExtraLeavesBothClashesAndReportsThem)
{
    const run_result_t result = run({"-p", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    // Files come before directories: first the failed copy, then the refused descent.
    EXPECT_EQ(with_failures("dst/y: Is a directory\ndst/x - Not directory\n"), result.err);
    EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(result.out));
    EXPECT_EQ("a file where the source has a directory", tree.read("dst/x"));
    EXPECT_EQ("z", tree.read("dst/y/sub/z.txt"));
    const std::string log = tree.read("run.log");
    EXPECT_EQ(2, count_of(log, LOG_RECORD));
    EXPECT_TRUE(contains(log, LOG_RECORD + "Codice  21 File dst/y - Is a directory\n"));
    EXPECT_TRUE(contains(log, "File non copiati\t:          1\n"));
}

TEST_F(Mirror, DirectoryDifferingOnlyInCaseIsReplacedBySourceSpelling)
{
    tree.file("src/Docs/a.txt", "a");
    tree.file("dst/DOCS/b.txt", "b");
    const run_result_t result = run({"-v2", "src", "dst"});
    EXPECT_EQ(0, result.code);
    EXPECT_EQ((std::vector<std::string>{"Docs"}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), tree.names("dst/Docs"));
    const std::size_t removed = result.out.find(dir_removed("dst/DOCS"));
    const std::size_t created = result.out.find(dir_created("dst/Docs"));
    ASSERT_NE(std::string::npos, removed);
    ASSERT_NE(std::string::npos, created);
    EXPECT_LT(removed, created);
}

// Sets an environment variable for the runs of one test.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(Mirror, TimesAreKeptExactlyWhateverTheZoneTheSeasonOrTheYear)
{
    // In Rome the night of 27 October 2024 has 02:30 twice: at 00:30 and at
    // 01:30 universal time. 1960 and 1970 lie before any DOS date.
    const ScopedEnv zone("TZ", "Europe/Rome");
    const std::time_t first_half_past_two = 1729989000;   // 2024-10-27 00:30:00 UTC
    const std::time_t second_half_past_two = first_half_past_two + 3600;
    tree.file("src/autumn.txt", "same size A");
    tree.set_mtime("src/autumn.txt", first_half_past_two);
    tree.file("src/old.txt", "same size B");
    tree.set_mtime("src/old.txt", -300000000);   // 1960
    tree.dir("dst");

    ASSERT_TRUE(ran_cleanly(run({"-v0", "src", "dst"})));
    EXPECT_EQ(first_half_past_two, tree.mtime("dst/autumn.txt"));
    EXPECT_EQ(-300000000, tree.mtime("dst/old.txt"));

    // Edits of the same size, an hour later and ten years later: both are
    // seen, and nothing else is copied again.
    tree.file("src/autumn.txt", "same size C");
    tree.set_mtime("src/autumn.txt", second_half_past_two);
    tree.file("src/old.txt", "same size D");
    tree.set_mtime("src/old.txt", 15000000);   // 1970
    const run_result_t again = run({"-v1", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(again));
    EXPECT_TRUE(has_summary(again.out, 2, 22));
    EXPECT_EQ("same size C", tree.read("dst/autumn.txt"));
    EXPECT_EQ(second_half_past_two, tree.mtime("dst/autumn.txt"));
    EXPECT_EQ("same size D", tree.read("dst/old.txt"));
    EXPECT_TRUE(has_summary(run({"-v1", "src", "dst"}).out, 0, 0));
}

TEST_F(Mirror, TimesHoldOnAFileServerThatSetsThemAtClose)
{
    // Some file servers give a written file the time it was closed, whatever
    // time its writer set: unless the copy's time is set again, every run
    // sees the file changed and copies it again.
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    tree.file("src/a.txt", "alpha");
    tree.set_mtime("src/a.txt", 1500000000);
    tree.dir("backing/dst");
    tree.dir("server");
    const ScopedSlowfs server(CALVENTO_SLOWFS, tree.path("backing"), tree.path("server"),
                              "delay_us=0,touch_on_close");
    if (!server.mounted())
        GTEST_SKIP() << server.error();

    ASSERT_TRUE(ran_cleanly(run({"-v1", "src", "server/dst"})));
    EXPECT_EQ(1500000000, tree.mtime("backing/dst/a.txt"));
    EXPECT_TRUE(has_summary(run({"-v1", "src", "server/dst"}).out, 0, 0));
}

TEST_F(Mirror, TheMisbehavingTestFileSystemsDoWhatTheySay)
{
    // Tests of destinations that fold letter case and of listings that name
    // an entry twice stand on these; a fault of theirs shows here first,
    // not as a fault of the program.
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    tree.file("backing/Docs/README", "first");
    tree.file("backing/other", "o");
    tree.dir("folding");
    tree.dir("repeating");
    {
        const ScopedSlowfs repeating(CALVENTO_SLOWFS, tree.path("backing"), tree.path("repeating"),
                                     "delay_us=0,repeat=Docs");
        if (!repeating.mounted())
            GTEST_SKIP() << repeating.error();
        std::vector<std::string> listed = delivered_names(tree.path("repeating"));
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ((std::vector<std::string>{"Docs", "Docs", "other"}), listed);
        EXPECT_EQ(std::vector<std::string>{"README"}, delivered_names(tree.path("repeating/Docs")));
    }
    {
        const ScopedSlowfs folding(CALVENTO_SLOWFS, tree.path("backing"), tree.path("folding"),
                                   "delay_us=0,fold_case");
        ASSERT_TRUE(folding.mounted()) << folding.error();
        EXPECT_EQ("first", tree.read("folding/docs/readme"));
        tree.file("folding/DOCS/Readme", "second");   // the existing file, under its old spelling
        EXPECT_EQ(std::vector<std::string>{"README"}, delivered_names(tree.path("folding/docs")));
        EXPECT_EQ("second", tree.read("backing/Docs/README"));
        EXPECT_NE(0, mkdir(tree.path("folding/DOCS").c_str(), 0755));
        EXPECT_EQ(EEXIST, errno);
        ASSERT_EQ(0, rename(tree.path("folding/docs/readme").c_str(), tree.path("folding/docs/ReadMe").c_str()));
        ASSERT_EQ(0, rename(tree.path("folding/DOCS").c_str(), tree.path("folding/docs").c_str()));
        EXPECT_EQ((std::vector<std::string>{"docs", "other"}), tree.names("backing"));
        EXPECT_EQ(std::vector<std::string>{"ReadMe"}, tree.names("backing/docs"));
        EXPECT_EQ(0, unlink(tree.path("folding/Docs/README").c_str()));
        EXPECT_TRUE(tree.names("backing/docs").empty());
    }

    tree.dir("fat");
    const ScopedFatImage fat(tree.path("fat.img"), tree.path("fat"));
    if (!fat.mounted())
        GTEST_SKIP() << fat.error();
    tree.file("fat/README", "first");
    tree.file("fat/readme", "second");
    EXPECT_EQ(std::vector<std::string>{"README"}, tree.names("fat"));
    EXPECT_EQ("second", tree.read("fat/Readme"));
}

TEST_F(Mirror, DestinationsThatIgnoreCaseKeepEveryCopyTheyCanHold)
{
    // On a share or a FAT disk "docs" is "Docs" and README is readme: a copy
    // spelt otherwise is paired, not removed and copied again, and of two
    // source names that are one name there the first listed is mirrored and
    // the other reported, night after night, with or without listing threads.
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    tree.file("src/Docs/a.txt", "new a");
    tree.file("src/Docs/sub/s.txt", "s");
    tree.file("src/README", "upper");
    tree.file("src/readme", "lower");
    tree.file("src/Other/o.txt", "o");
    const std::vector<std::string> order = delivery_order(tree.path("src"));
    const std::string winner =
        std::find(order.begin(), order.end(), "README") < std::find(order.begin(), order.end(), "readme") ? "README"
                                                                                                          : "readme";
    const std::string clash = (winner == "README" ? "src/readme" : "src/README") +
                              std::string(": Nome in conflitto per maiuscole e minuscole\n") +
                              "Completato con errori: 1\n";
    const auto nights = [&](const std::string& dst) {
        tree.file(dst + "/docs/a.txt", "an old a");
        tree.file(dst + "/docs/extra.txt", "x");
        tree.file(dst + "/readme", "old");
        run_result_t night = run({"-v0", "-p", "-j8", "src", dst});
        EXPECT_EQ(2, night.code);
        EXPECT_EQ(clash, night.err);
        std::vector<std::string> names = {"Other", "docs", winner};
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, tree.names(dst));
        EXPECT_EQ("new a", tree.read(dst + "/docs/a.txt"));
        EXPECT_EQ("x", tree.read(dst + "/docs/extra.txt"));
        EXPECT_EQ("s", tree.read(dst + "/docs/sub/s.txt"));
        EXPECT_EQ(tree.read("src/" + winner), tree.read(dst + "/" + winner));
        night = run({"-v0", "-j1", "src", dst});
        EXPECT_EQ(2, night.code);
        EXPECT_EQ(clash, night.err);
        EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), tree.names(dst + "/docs"));
        // Nothing more to do, night after night.
        const run_result_t alone = run({"-v1", "-j1", "src", dst});
        const run_result_t ahead = run({"-v1", "-j8", "src", dst});
        EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(alone.out));
        EXPECT_EQ(alone.out, ahead.out);
        EXPECT_EQ(clash, alone.err);
        EXPECT_EQ(clash, ahead.err);
        EXPECT_TRUE(hidden_copies(tree.path(dst)).empty());
    };
    {
        SCOPED_TRACE("a share");
        tree.dir("backing");
        tree.dir("share");
        const ScopedSlowfs share(CALVENTO_SLOWFS, tree.path("backing"), tree.path("share"), "delay_us=0,fold_case");
        if (!share.mounted())
            GTEST_SKIP() << share.error();
        nights("share");
    }
    SCOPED_TRACE("a FAT disk");
    // fusefat gives each spelling an entry of its own, which the kernel
    // keeps answering for a moment after the entry was renamed.
    SKIP_WITHOUT(feature_t::exclusive_renames);
    tree.dir("fat");
    const ScopedFatImage fat(tree.path("fat.img"), tree.path("fat"));
    if (!fat.mounted())
        GTEST_SKIP() << fat.error();
    nights("fat");
}

TEST_F(Mirror, ANameListedTwiceIsWorkedOnce)
{
    // Some servers list an entry twice: in the source, the directory is
    // walked once and its files copied once; in the destination, it is
    // neither removed twice nor left over in the bookkeeping.
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    tree.file("src/sub/f.txt", "f");
    tree.file("src/sub/deeper/g.txt", "g");
    tree.file("src/top.txt", "t");
    tree.dir("seen");
    tree.dir("backing");
    tree.dir("served");
    tree.file("backing/sub/f.txt", "an old f");
    tree.file("backing/gone/x.txt", "x");
    const ScopedSlowfs source(CALVENTO_SLOWFS, tree.path("src"), tree.path("seen"), "delay_us=0,repeat=sub");
    if (!source.mounted())
        GTEST_SKIP() << source.error();
    const ScopedSlowfs destination(CALVENTO_SLOWFS, tree.path("backing"), tree.path("served"),
                                   "delay_us=0,repeat=gone");
    ASSERT_TRUE(destination.mounted()) << destination.error();
    for (const char* threads : {"-j1", "-j8"}) {
        SCOPED_TRACE(threads);
        const std::string copy = std::string("copy") + threads;
        tree.dir(copy);
        const run_result_t first = run({"-v0", "-lrun.log", threads, "seen", copy});
        EXPECT_TRUE(ran_cleanly(first));
        EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path(copy)));
        EXPECT_TRUE(contains(tree.read("run.log"), footer_line("Directory analizzate \t", 3))) << tree.read("run.log");
        EXPECT_TRUE(contains(tree.read("run.log"), footer_line("File copiati\t\t", 3))) << tree.read("run.log");
        std::remove(tree.path("run.log").c_str());
    }
    EXPECT_TRUE(ran_cleanly(run({"-v0", "-j8", "src", "served"})));
    EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path("backing")));
}

TEST_F(Mirror, CopiesThatWaitOnTheDestinationMoveToThreadsAndShowWhatOneThreadShows)
{
    // Every request of the destination waits a millisecond: by default the
    // first copies are made on the walk's thread, found to wait, and the
    // rest go to the threads halfway through the run. Everything shown and
    // left is what -j1 shows and leaves.
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    for (int dir = 0; dir < 3; ++dir) {
        for (int file = 0; file < 15; ++file)
            tree.file(formatted("src/d%d/f%02d.txt", dir, file), stamped(static_cast<std::size_t>(file * 331), 7));
    }
    tree.file("src/big.bin", stamped(300000, 8));
    tree.dir("backing/a");
    tree.dir("backing/b");
    tree.dir("served");
    const ScopedSlowfs destination(CALVENTO_SLOWFS, tree.path("backing"), tree.path("served"), "delay_us=1000");
    if (!destination.mounted())
        GTEST_SKIP() << destination.error();
    const run_result_t threads = run({"-v2", "-b65536", "-lrun-a.log", "src", "served/a"});
    const run_result_t alone = run({"-v2", "-b65536", "-j1", "-lrun-b.log", "src", "served/b"});
    const auto as_b = [](std::string text) {
        for (std::size_t at; (at = text.find("served/a")) != std::string::npos;)
            text[at + 7] = 'b';
        return text;
    };
    EXPECT_TRUE(ran_cleanly(threads));
    EXPECT_EQ(before_summary(alone.out), as_b(before_summary(threads.out)));
    const auto counts = [](const std::string& out) { return last_line(out).substr(0, last_line(out).find(" , ")); };
    EXPECT_EQ(counts(alone.out), counts(threads.out));
    EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path("backing/a")));
    EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path("backing/b")));
}

TEST_F(Mirror, APowerCutAtAnyPointLeavesNothingThatLooksCopiedAndIsNot)
{
    // The power of the destination's file system is cut for real (it stops
    // dead; only what its journal committed survives) right after a run that
    // succeeded, in the middle of a run, and while a run makes its last
    // copies durable. After a reboot the copies of a successful run are all
    // there, and whatever a cut-short run left, the next run in a mode that
    // trusts the destination's times, or in one that never replaces a file,
    // makes the destination the source's exact image.
    tree.dir("disk");
    ScopedExt4Image disk(tree.path("disk.img"), tree.path("disk"), 128);
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    // Enough output that the run waits on its full pipe while the test reads
    // nothing: it is then surely in the middle.
    constexpr unsigned FILES = 1000;
    for (unsigned i = 0; i < FILES; ++i) {
        const std::string name = "src/d" + std::to_string(i % 10) + "/f" + std::to_string(i);
        tree.file(name, stamped(1 + i * 4, i));
        ASSERT_TRUE(set_exact_mtime(tree.path(name), 1600000000 + i * 1000, 123456789));
    }
    // And enough data that making it durable takes a moment.
    constexpr unsigned BIG = 32u << 20;
    tree.file("src/big.bin", stamped(BIG, FILES));
    ASSERT_TRUE(set_exact_mtime(tree.path("src/big.bin"), 1700000000, 5));
    // A killed run leaves the hidden copy it was writing where copies are
    // written into named files.
    const bool named_copies = !missing(feature_t::unnamed_copies).empty();
    const auto times_of = [&](const std::string& root) {
        std::vector<std::string> times;
        walk_tree(root, [&](const std::string& relative, const struct stat& info) {
            if (named_copies && std::filesystem::path(relative).filename().string().starts_with(".calvento-"))
                return true;
            if (S_ISREG(info.st_mode))
                times.push_back(relative + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                                std::to_string(info.st_mtim.tv_nsec));
            return true;
        });
        return times;
    };
    const auto expect_image = [&] {
        EXPECT_EQ(describe_tree(tree.path("src")), describe_tree(tree.path("disk/dst")));
        EXPECT_EQ(times_of(tree.path("src")), times_of(tree.path("disk/dst")));
    };
    const auto copies_shown = [](const calvento_process_t& process) { return count_of(process.seen.out, "\b\n"); };

    enum class cut_t { after_success, midway, final_flush };
    struct Case {
        const char* what;
        cut_t cut;
        const char* mode;   // of the run after the reboot
    };
    const Case cases[] = {
        {"after a run that succeeded", cut_t::after_success, "-m1"},
        {"midway, then a mode that trusts times", cut_t::midway, "-m1"},
        {"midway, then a mode that never replaces a file", cut_t::midway, "-m7"},
        {"while the last copies are made durable", cut_t::final_flush, "-m4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(tree.path("disk/dst"));
        tree.dir("disk/dst");
        sync();
        if (c.cut == cut_t::after_success) {
            ASSERT_TRUE(ran_cleanly(run({"-v0", "src", "disk/dst"})));
            ASSERT_TRUE(disk.cut_power());
            ASSERT_TRUE(disk.remount());
            expect_image();
        } else {
            calvento_process_t process;
            ASSERT_TRUE(start_calvento({"-v1", "src", "disk/dst"}, tree.path(), &process));
            // The line of the last copy ends only with the next output.
            const int shown = c.cut == cut_t::midway ? 10 : static_cast<int>(FILES);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (copies_shown(process) < shown && std::chrono::steady_clock::now() < deadline)
                pass_time(&process, std::chrono::milliseconds(2));
            // No assertion until the run has ended: a stopped run must not
            // outlive the test.
            EXPECT_GE(copies_shown(process), shown);
            if (c.cut == cut_t::final_flush) {
                // The run is seen inside the system call that flushes a
                // file system (or a file, where the build has no syncfs), as
                // the kernel tells of a sleeping process.
                const std::string calls = "/proc/" + std::to_string(process.pid) + "/syscall";
                const auto flushing = [](const std::string& call) {
                    return call.rfind(std::to_string(SYS_syncfs) + " ", 0) == 0 ||
                           call.rfind(std::to_string(SYS_fsync) + " ", 0) == 0;
                };
                for (std::string call = read_file(calls);
                     !call.empty() && !flushing(call) && std::chrono::steady_clock::now() < deadline;
                     call = read_file(calls))
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            if (c.cut == cut_t::midway) {
                // Names, sizes and times reach the journal within its second;
                // the data of the copies need not.
                kill(process.pid, SIGSTOP);
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            }
            const bool cut = disk.cut_power();
            kill(process.pid, SIGKILL);
            finish_calvento(&process, 60);
            ASSERT_TRUE(cut);
            ASSERT_TRUE(disk.remount());
        }
        ASSERT_TRUE(ran_cleanly(run({"-v0", c.mode, "src", "disk/dst"})));
        expect_image();
    }
}

TEST_F(Mirror, TheRunsOwnLogInsideTheDestinationIsNeverRemovedNorReplaced)
{
    tree.file("src/a.txt", "a");
    tree.dir("dst");
    // Twice without a namesake in the source: the log is not listed, so it
    // is not removed, and keeps both blocks.
    ASSERT_TRUE(ran_cleanly(run({"-v0", "-ldst/run.log", "src", "dst"})));
    ASSERT_TRUE(ran_cleanly(run({"-v0", "-ldst/run.log", "src", "dst"})));
    EXPECT_EQ(2, count_of(tree.read("dst/run.log"), BANNER));

    // A source file of its name does not overwrite it.
    tree.file("src/run.log", "a source file of the same name");
    const run_result_t result = run({"-v0", "-ldst/run.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures("dst/run.log: Device or resource busy\n"), result.err);
    EXPECT_EQ(3, count_of(tree.read("dst/run.log"), BANNER));
    EXPECT_TRUE(contains(tree.read("dst/run.log"), log_detail(EBUSY, "dst/run.log")));
}

TEST_F(Mirror, ReadOnlyDirectoriesOfAnOrdinaryUserTakeEveryChangeAndStayReadOnly)
{
    if (const std::string why = why_no_privilege_drop(); !why.empty())
        GTEST_SKIP() << why;
    tree.file("src/ro/old.txt", "old");
    tree.file("src/ro/changed.txt", "first version");
    tree.file("src/ro/sub/s.txt", "s");
    tree.file("src/ro/suid", "#!/bin/sh\n");
    tree.file("src/ro/sgid", std::string(100000, 'g'));
    tree.dir("dst");
    hand_to_nobody();
    // The user's own setuid and setgid files (set after the change of
    // owner, which clears them): the first write to a copy would clear
    // them too, so they must be given once the data is written.
    tree.set_mode("src/ro/suid", 04755);
    tree.set_mode("src/ro/sgid", 06750);
    const std::vector<std::string> sealed = {"dst", "dst/ro"};
    for (const char* dir : {"src/ro/sub", "src/ro", "dst"})
        tree.set_mode(dir, 0555);
    EXPECT_TRUE(ran_cleanly(run_as_nobody({"src", "dst"})));
    expect_mirrored();

    // The next night a file is added, one changed and one removed, and the
    // copy holds things its source never had, some of them read-only too.
    // A directory that its source opens for writing keeps that.
    tree.file("src/ro/new.txt", "new");
    tree.file("src/ro/changed.txt", "second and longer version");
    ASSERT_EQ(0, unlink(tree.path("src/ro/old.txt").c_str()));
    tree.file("src/ro/sub/t.txt", "t");
    tree.set_mode("src/ro/sub", 0755);
    tree.file("dst/stale.txt", "stale");
    tree.file("dst/ro/extra/inner/x.txt", "x");
    tree.file("dst/ro/extra/y.txt", "y");
    chown_tree(tree.path("dst"), NOBODY, NOBODY);
    // The change of owner cleared the copies' setuid and setgid bits, and a
    // copy was opened to everyone: all get their source's bits back in place.
    tree.set_mode("dst/ro/sub/s.txt", 0666);
    tree.set_mode("dst/ro/extra/inner", 0555);
    tree.set_mode("dst/ro/extra", 0500);
    const run_result_t second = run_as_nobody({"-llogs/run.log", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(second));
    EXPECT_TRUE(has_summary(second.out, 3, 29));
    expect_mirrored();
    for (const std::string& dir : sealed)
        EXPECT_EQ(0555u, tree.mode(dir)) << dir;
    EXPECT_EQ(0755u, tree.mode("dst/ro/sub"));

    // The dated directory is made in the read-only destination too.
    EXPECT_TRUE(ran_cleanly(run_as_nobody({"-m3", "src", "dst"})));
    EXPECT_EQ(2u, tree.names("dst").size());
    EXPECT_EQ(0555u, tree.mode("dst"));

    // An interrupt takes back what it added, while a copy is under way.
    const int fd = open(tree.path("src/ro/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 2LL * 1024 * 1024 * 1024));
    close(fd);
    calvento_process_t process;
    ASSERT_TRUE(start_calvento({"-b4096", "src", "dst"}, tree.path(), &process, as_nobody()));
    const bool copying = wait_for_output(&process, "%\b\b\b\b", 20);
    kill(process.pid, SIGTERM);
    const run_result_t interrupted = finish_calvento(&process, 20);
    ASSERT_TRUE(copying) << interrupted.out << interrupted.err;
    EXPECT_EQ(1, interrupted.code) << interrupted.err;
    EXPECT_FALSE(tree.exists("dst/ro/big.bin"));
    for (const std::string& dir : sealed)
        EXPECT_EQ(0555u, tree.mode(dir)) << dir;
}

// --- ACLs and extended attributes ------------------------------------------

TEST_F(Mirror, AclsAndExtendedAttributesTravelWithTheCopyAndTheirChangesAlone)
{
    // A file private to its owner and shared with one user through an ACL,
    // a directory whose default ACL opens its new files to a group, user
    // (and on a privileged run trusted) attributes: every copy has them,
    // and a later change of them alone is carried without copying the data
    // again.
    SKIP_WITHOUT(feature_t::extended_attributes);
    tree.file("src/shared.txt", "shared with one user");
    tree.set_mode("src/shared.txt", 0600);
    tree.file("src/docs/plain.txt", "plain");
    tree.dir("dst");
    if (!shell("setfacl -m u:65534:r src/shared.txt && setfattr -n user.origin -v scanner src/docs/plain.txt",
               tree.path()))
        GTEST_SKIP() << "setfacl or setfattr (packages acl and attr) is missing, or the scratch file system "
                        "keeps no ACLs or user attributes";
    ASSERT_TRUE(shell("setfacl -d -m g:65534:rx src/docs", tree.path()));
    if (geteuid() == 0) {   // a privileged run carries the trusted namespace too
        ASSERT_TRUE(shell("setfattr -n trusted.mark -v t src/shared.txt", tree.path()));
    }
    const auto expect_carried = [&] {
        for (const std::string path : {"shared.txt", "docs", "docs/plain.txt"}) {
            EXPECT_EQ(extended_attributes(tree.path("src/" + path)), extended_attributes(tree.path("dst/" + path)))
                << path;
            EXPECT_EQ(tree.mode("src/" + path), tree.mode("dst/" + path)) << path;
        }
    };
    ASSERT_TRUE(ran_cleanly(run({"-v0", "src", "dst"})));
    expect_carried();
    EXPECT_EQ(0640u, tree.mode("dst/shared.txt"));   // the ACL's mask shows as the group's bits

    ASSERT_TRUE(shell("setfacl -m u:65534:rw src/shared.txt && setfattr -n user.new -v 1 src/shared.txt && "
                      "setfattr -x user.origin src/docs/plain.txt && setfacl -k src/docs",
                      tree.path()));
    const run_result_t again = run({"-v1", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(again));
    EXPECT_TRUE(has_summary(again.out, 0, 0)) << again.out;
    expect_carried();
    EXPECT_EQ(0660u, tree.mode("dst/shared.txt"));
    EXPECT_TRUE(extended_attributes(tree.path("dst/docs/plain.txt")).empty());
}

TEST_F(Mirror, ACopyWhereNoAclCanBeKeptGrantsNoMoreThanItsSource)
{
    // A share that keeps permission bits but no ACLs and no extended
    // attributes: the copies are made all the same, one line of each run
    // says what they lack, and what is shared with one user through an ACL
    // is not opened to its whole group by the ACL's mask.
    SKIP_WITHOUT(feature_t::extended_attributes);
    if (std::string(CALVENTO_SLOWFS).empty())
        GTEST_SKIP() << "slowfs is not built: libfuse3 is missing";
    tree.file("src/shared.txt", "shared with one user");
    tree.set_mode("src/shared.txt", 0600);
    tree.file("src/plain.txt", "p");
    tree.set_mode("src/plain.txt", 0644);
    tree.file("src/private/note", "n");
    tree.set_mode("src/private", 0700);
    if (!shell("setfacl -m u:65534:r src/shared.txt && setfacl -m u:65534:rx src/private && "
               "setfattr -n user.label -v x src/plain.txt",
               tree.path()))
        GTEST_SKIP() << "setfacl or setfattr (packages acl and attr) is missing, or the scratch file system "
                        "keeps no ACLs or user attributes";
    tree.dir("backing/dst");
    tree.dir("share");
    const ScopedSlowfs share(CALVENTO_SLOWFS, tree.path("backing"), tree.path("share"), "delay_us=0");
    if (!share.mounted())
        GTEST_SKIP() << share.error();

    for (const int night : {1, 2}) {
        SCOPED_TRACE(night);
        const run_result_t result = run({"-v1", "src", "share/dst"});
        EXPECT_TRUE(ran_cleanly(result));
        EXPECT_EQ(1, count_of(result.out, "Nota: ")) << result.out;
        EXPECT_TRUE(contains(result.out, "Nota: proprietari, permessi, ACL o attributi estesi non conservati "
                                         "dalla destinazione (share/dst/"))
            << result.out;
        EXPECT_TRUE(has_summary(result.out, night == 1 ? 3 : 0, night == 1 ? 22 : 0)) << result.out;
        EXPECT_EQ(0640u, tree.mode("src/shared.txt"));
        EXPECT_EQ(0600u, tree.mode("backing/dst/shared.txt"));
        EXPECT_EQ(0700u, tree.mode("backing/dst/private"));
        EXPECT_EQ(0644u, tree.mode("backing/dst/plain.txt"));
        EXPECT_EQ("shared with one user", tree.read("backing/dst/shared.txt"));
    }

    // A FAT disk keeps neither: the copies are made all the same.
    tree.dir("fat");
    const ScopedFatImage fat(tree.path("fat.img"), tree.path("fat"));
    if (!fat.mounted())
        GTEST_SKIP() << fat.error();
    const run_result_t onto_fat = run({"-v1", "src", "fat"});
    EXPECT_TRUE(ran_cleanly(onto_fat));
    EXPECT_EQ(1, count_of(onto_fat.out, "Nota: ")) << onto_fat.out;
    EXPECT_EQ("shared with one user", tree.read("fat/shared.txt"));
}

}  // namespace

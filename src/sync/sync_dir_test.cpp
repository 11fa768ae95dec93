#include "sync/sync_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/dos_time.h"
#include "platform/platform.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/durable.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/tree_text.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

namespace fs = std::filesystem;

class SyncDirTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        // No progress line: every line on the console is one the test names.
        settings.verbosity = 2;
        use_log(tree.path("run.log"));
        tree.dir("src");
        tree.dir("dst");
        tree.file("outside/secret.txt", "outside the two trees");
        tree.file("outside/inner/deep.txt", "deep outside");
    }

    std::string src(const std::string& relative = "") const { return in("src", relative); }
    std::string dst(const std::string& relative = "") const { return in("dst", relative); }
    std::string outside() const { return tree.path("outside"); }

    // One principal walk of `relative` below src and dst.
    int walk(const std::string& relative = "")
    {
        return sync_dir(run, changes(), src(relative).c_str(), dst(relative).c_str());
    }

    std::string log() const { return read_text_file(tree.path("run.log")); }

    // Nothing but mirrored names in the destination: no hidden copy is left.
    void expect_no_hidden_names(const std::string& root)
    {
        for (const auto& entry : fs::recursive_directory_iterator(root))
            EXPECT_NE('.', entry.path().filename().string()[0]) << entry.path();
    }

  private:
    std::string in(const char* side, const std::string& relative) const
    {
        return tree.path(relative.empty() ? std::string(side) : std::string(side) + "/" + relative);
    }
};

// What happens to a listed source file before its copy starts.
struct changed_file_case_t {
    const char* name;
    int error;              // what the copy meets: opening the source fails with it
};

TEST_F(SyncDirTest, SourceFileChangedAfterItsListingIsNotCopiedAndItsOldCopyStays)
{
    std::vector<changed_file_case_t> cases = {
        {"vanished", sys_errors.not_found},
        // Anything but a regular file counts as the file gone.
        {"now-a-directory", sys_errors.not_found},
    };
    if (missing(feature_t::links).empty())
        cases.push_back({"now-a-link", sys_errors.is_link});
    if (missing(feature_t::fifos).empty())
        cases.push_back({"now-a-fifo", sys_errors.not_found});   // a FIFO must not hold the run
    const std::vector<std::string> outside_before = snapshot(outside());
    for (const changed_file_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pair = c.name;
        tree.file("src/" + pair + "/b.txt", "new version of b");
        tree.file("dst/" + pair + "/b.txt", "old b");
        const std::string from = src(pair + "/b.txt");
        fault_plan.after_listing = [&](const std::string& listed) {
            if (listed != src(pair) + sep())
                return;
            fs::remove(from);
            if (pair == "now-a-link")
                fs::create_symlink(outside() + sep() + "secret.txt", from);
            if (pair == "now-a-directory")
                fs::create_directory(from);
            if (pair == "now-a-fifo")
                tree.fifo("src/" + pair + "/b.txt");
        };
        console = recorded_console_t{};
        run.stats = run_statistics_t{};
        fs::remove(tree.path("run.log"));

        EXPECT_EQ(0, walk(pair));
        EXPECT_EQ(refused(from, 16, dst(pair + "/b.txt")), console.out);
        EXPECT_EQ(error_line(c.error, from), console.err);
        EXPECT_EQ(1, log_records_in(log()));
        EXPECT_TRUE(contains(log(), log_detail(c.error, from))) << log();
        EXPECT_EQ(1u, run.stats.files_not_copied);
        EXPECT_EQ(0u, run.stats.files_copied);
        EXPECT_EQ(0u, run.stats.bytes_copied);
        EXPECT_EQ("old b", tree.read("dst/" + pair + "/b.txt"));
        EXPECT_EQ(std::vector<std::string>{"b.txt"}, tree.names("dst/" + pair));
        EXPECT_EQ(0, open_descriptors());
    }
    EXPECT_EQ(outside_before, snapshot(outside()));
}

// A change made to a source file while its copy is under way.
struct moving_file_case_t {
    const char* name;
    bool in_kernel;
    std::size_t final_size;   // 350000: 50000 bytes appended; 100000: cut to that
};

TEST_F(SyncDirTest, SourceFileGrowingOrShrinkingDuringItsCopyIsCopiedAsItIsThen)
{
    const std::size_t listed_size = 300000;
    const std::size_t chunk = 65536;
    const std::vector<moving_file_case_t> cases = {
        {"grows-in-kernel", true, 350000},
        {"grows-through-buffer", false, 350000},
        {"shrinks-in-kernel", true, 100000},
        {"shrinks-through-buffer", false, 100000},
    };
    copy_buffer_obtain(run, chunk);
    for (const moving_file_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pair = c.name;
        const std::string original = stamped(listed_size, 1);
        const std::string appended = stamped(50000, 2);
        tree.file("src/" + pair + "/big.bin", original);
        tree.file("dst/" + pair + "/big.bin", "old copy");
        const std::string from = src(pair + "/big.bin");
        fault_plan = fault_plan_t{};
        if (!c.in_kernel)
            fault_plan.fail(fault_op_t::copy_range, "");
        fault_plan.during_copy = from;
        fault_plan.during_copy_after = chunk;
        fault_plan.during_copy_hook = [&] {
            if (c.final_size > listed_size) {
                std::FILE* file = std::fopen(from.c_str(), "ab");
                ASSERT_NE(nullptr, file);
                std::fwrite(appended.data(), 1, appended.size(), file);
                std::fclose(file);
            } else {
                fs::resize_file(from, c.final_size);
            }
        };
        console = recorded_console_t{};
        run.stats = run_statistics_t{};

        EXPECT_EQ(0, walk(pair));
        const std::string expected_bytes = c.final_size > listed_size
                                               ? original + appended
                                               : original.substr(0, c.final_size);
        std::string figures;
        for (std::size_t done = 0; done < c.final_size;) {
            done += std::min(chunk, c.final_size - done);
            figures += formatted("%03lu%%\b\b\b\b",
                                 static_cast<unsigned long>(done == listed_size ? 100 : done / (listed_size / 100)));
        }
        EXPECT_EQ(copy_announced(from, listed_size, dst(pair + "/big.bin")) + figures + "\n", console.out);
        EXPECT_EQ("", console.err);
        EXPECT_TRUE(expected_bytes == tree.read("dst/" + pair + "/big.bin"));
        EXPECT_EQ(c.final_size, tree.read("dst/" + pair + "/big.bin").size());
        EXPECT_EQ(1u, run.stats.files_copied);
        EXPECT_EQ(c.final_size, run.stats.bytes_copied);
        EXPECT_EQ(0u, run.stats.files_not_copied);
        EXPECT_EQ(std::vector<std::string>{"big.bin"}, tree.names("dst/" + pair));
        EXPECT_EQ(0, open_descriptors());
    }
    EXPECT_EQ(0, log_records_in(log()));
}

// How the listing of one source sub-directory fails.
struct listing_failure_case_t {
    const char* name;
    bool at_open;       // the directory cannot be opened; otherwise reading it fails
    int after;          // entries delivered before reading fails ("." and ".." count)
    int error;
};

TEST_F(SyncDirTest, SourceDirectoryThatCannotBeListedLeavesItsCopyUntouchedAndTheWalkGoesOn)
{
    const std::vector<listing_failure_case_t> cases = {
        {"open-refused", true, 0, sys_errors.access_denied},
        {"read-fails-at-once", false, 0, sys_errors.io},
        {"read-fails-midway", false, 4, sys_errors.io},
    };
    for (const listing_failure_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pair = c.name;
        tree.file("src/" + pair + "/a/f1.txt", "new f1");
        tree.file("src/" + pair + "/a/f2.txt", "new f2");
        tree.file("src/" + pair + "/a/f3.txt", "new f3");
        tree.file("src/" + pair + "/a/deep/x.txt", "x");
        tree.file("src/" + pair + "/b/g.txt", "g");
        tree.file("dst/" + pair + "/a/f1.txt", "old f1");
        tree.file("dst/" + pair + "/a/extra.txt", "only in the copy");
        tree.file("dst/" + pair + "/a/olddir/y.txt", "y");
        tree.file("dst/" + pair + "/a/deep/stale.txt", "stale");
        tree.dir("dst/" + pair + "/b");
        const std::vector<std::string> copy_before = snapshot(dst(pair + "/a"));
        fault_plan = fault_plan_t{};
        if (c.at_open) {
            fault_plan.fail(fault_op_t::list_open, src(pair + "/a") + sep(), c.error);
        } else {
            fault_plan.fail(fault_op_t::list_read, src(pair + "/a") + sep(), sys_errors.io,
                            static_cast<std::uint64_t>(c.after));
        }
        console = recorded_console_t{};
        run.stats = run_statistics_t{};
        fs::remove(tree.path("run.log"));

        EXPECT_EQ(0, walk(pair));
        EXPECT_EQ(copy_before, snapshot(dst(pair + "/a")));
        EXPECT_EQ(copied(src(pair + "/b/g.txt"), 1, dst(pair + "/b/g.txt")), console.out);
        EXPECT_EQ(error_line(c.error, src(pair + "/a")), console.err);
        EXPECT_EQ(1, log_records_in(log()));
        EXPECT_TRUE(contains(log(), log_detail(c.error, src(pair + "/a")))) << log();
        EXPECT_EQ("g", tree.read("dst/" + pair + "/b/g.txt"));
        EXPECT_EQ(1u, run.stats.files_copied);
        EXPECT_EQ(0u, run.stats.files_not_copied);
        EXPECT_EQ(0u, run.stats.files_deleted);
        EXPECT_EQ(0u, run.stats.dirs_deleted);
        EXPECT_EQ(0u, run.stats.dirs_created);
        EXPECT_EQ(3u, run.stats.dirs_scanned);
    }
}

TEST_F(SyncDirTest, PrincipalSourceThatCannotBeListedRefusesThePairAndChangesNothing)
{
    tree.file("src/a.txt", "new a");
    tree.file("dst/a.txt", "old a");
    tree.file("dst/extra.txt", "extra");
    tree.file("dst/sub/kept.txt", "kept");
    const std::vector<std::string> before = snapshot(dst());
    for (const bool at_open : {true, false}) {
        SCOPED_TRACE(at_open ? "open refused" : "read fails");
        fault_plan = fault_plan_t{};
        if (at_open)
            fault_plan.fail(fault_op_t::list_open, src() + sep(), sys_errors.access_denied);
        else
            fault_plan.fail(fault_op_t::list_read, src() + sep(), sys_errors.io);
        console = recorded_console_t{};
        fs::remove(tree.path("run.log"));

        EXPECT_EQ(1, walk());
        EXPECT_EQ(before, snapshot(dst()));
        EXPECT_EQ("", console.out);
        EXPECT_EQ(error_line(at_open ? sys_errors.access_denied : sys_errors.io, src()), console.err);
        EXPECT_EQ(1, log_records_in(log()));
    }
}

TEST_F(SyncDirTest, SourceDirectoryVanishingBeforeItsDescentIsReportedAndItsCopyStays)
{
    tree.file("src/a/f.txt", "f");
    tree.file("src/c/h.txt", "h");
    tree.file("src/b/g.txt", "g");
    tree.file("dst/a/f.txt", "old f");
    tree.file("dst/a/inner/k.txt", "k");
    tree.dir("dst/b");
    const std::vector<std::string> a_before = snapshot(dst("a"));
    fault_plan.after_listing = [&](const std::string& listed) {
        if (listed == src() + sep()) {
            fs::remove_all(src("a"));
            fs::remove_all(src("c"));
        }
    };

    EXPECT_EQ(0, walk());
    // The copy of a stays whole; c, new to the copy, was created before the
    // descent found its source gone, and stays empty.
    EXPECT_EQ(a_before, snapshot(dst("a")));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst/c"));
    EXPECT_EQ("g", tree.read("dst/b/g.txt"));
    EXPECT_EQ(2, count_of(console.err, "\n"));
    EXPECT_TRUE(contains(console.err, error_line(sys_errors.not_found, src("a")))) << console.err;
    EXPECT_TRUE(contains(console.err, error_line(sys_errors.not_found, src("c")))) << console.err;
    EXPECT_TRUE(contains(console.out, dir_created(dst("c")))) << console.out;
    EXPECT_TRUE(contains(console.out, copied(src("b/g.txt"), 1, dst("b/g.txt")))) << console.out;
    EXPECT_FALSE(contains(console.out, "Cancellat")) << console.out;
    EXPECT_EQ(2, log_records_in(log()));
    EXPECT_TRUE(contains(log(), log_detail(sys_errors.not_found, src("a"))));
    EXPECT_TRUE(contains(log(), log_detail(sys_errors.not_found, src("c"))));
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.files_deleted + run.stats.dirs_deleted);
}

TEST_F(SyncDirTest, DestinationThatCannotBeListedLosesNothing)
{
    tree.file("src/same.txt", "new same");
    tree.file("src/new.txt", "new");
    tree.file("src/sub/s.txt", "s");
    tree.file("dst/same.txt", "old same");
    tree.file("dst/extra.txt", "extra");
    tree.file("dst/sub/s.txt", "old s");
    fault_plan.fail(fault_op_t::list_open, dst() + sep(), sys_errors.access_denied);

    EXPECT_EQ(0, walk());
    // Reported, then worked as listed: empty. Nothing is removed; its files
    // are copied over as new ones, and the existing sub-directory is entered.
    EXPECT_EQ("extra", tree.read("dst/extra.txt"));
    EXPECT_EQ("new same", tree.read("dst/same.txt"));
    EXPECT_EQ("new", tree.read("dst/new.txt"));
    EXPECT_EQ("s", tree.read("dst/sub/s.txt"));
    EXPECT_EQ(error_line(sys_errors.access_denied, dst()), console.err);
    EXPECT_FALSE(contains(console.out, "Cancellat")) << console.out;
    EXPECT_TRUE(contains(console.out, dir_created(dst("sub")))) << console.out;
    EXPECT_EQ(1, log_records_in(log()));
    EXPECT_EQ(3u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.files_deleted);
    expect_no_hidden_names(dst());
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(SyncDirTest, EntriesTurnedIntoLinksAfterTheListingAreNeverFollowed)
{
    SKIP_WITHOUT(feature_t::links);
    tree.file("src/f.txt", "new version of f");
    tree.file("src/sub/s.txt", "s");
    tree.file("src/lsub/l.txt", "l");
    tree.file("dst/f.txt", "old f");
    tree.file("dst/sub/s.txt", "old s");
    const std::string victim = outside() + sep() + "secret.txt";
    const std::vector<std::string> outside_before = snapshot(outside());
    fault_plan.after_listing = [&](const std::string& listed) {
        if (listed == src() + sep()) {
            fs::remove_all(src("lsub"));
            fs::create_symlink(outside(), src("lsub"));
        } else if (listed == dst() + sep()) {
            fs::remove(dst("f.txt"));
            fs::create_symlink(victim, dst("f.txt"));
            fs::remove_all(dst("sub"));
            fs::create_symlink(outside(), dst("sub"));
        }
    };

    EXPECT_EQ(0, walk());
    EXPECT_EQ(outside_before, snapshot(outside()));
    EXPECT_EQ(victim, fs::read_symlink(dst("f.txt")).string());
    EXPECT_EQ(outside(), fs::read_symlink(dst("sub")).string());
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst/lsub"));
    EXPECT_EQ(3, count_of(console.err, "\n")) << console.err;
    EXPECT_TRUE(contains(console.err, error_line(sys_errors.is_link, dst("f.txt")))) << console.err;
    EXPECT_TRUE(contains(console.err, dst("sub") + " - Not directory\n")) << console.err;
    EXPECT_TRUE(contains(console.err, src("lsub") + " - Not directory\n")) << console.err;
    // Only the refused copy is logged; a side that is no directory is not.
    EXPECT_EQ(1, log_records_in(log()));
    EXPECT_TRUE(contains(log(), log_detail(sys_errors.is_link, dst("f.txt"))));
    EXPECT_EQ(0u, run.stats.files_copied);
    EXPECT_EQ(1u, run.stats.files_not_copied);
    expect_no_hidden_names(dst());
}

TEST_F(SyncDirTest, DirectoriesSwappedForLinksJustBeforeTheyAreOpenedAreNeverEntered)
{
    SKIP_WITHOUT(feature_t::links);
    // The moment between a directory's check and its opening: a link put
    // there would lead the removals and the copies out of the two trees.
    tree.file("src/sub/s.txt", "s");
    tree.file("src/from/f.txt", "f");
    tree.file("dst/sub/old.txt", "old");
    tree.file("dst/gone/g.txt", "g");
    tree.dir("dst/from");
    tree.file("victim/v.txt", "precious");
    const std::vector<std::string> outside_before = snapshot(outside());
    const std::vector<std::string> victim_before = snapshot(tree.path("victim"));
    fault_plan.before_dir_open = [&](const std::string& path) {
        for (const std::string& swapped : {dst("sub"), dst("gone"), src("from")}) {
            if (path == swapped && !fs::is_symlink(swapped)) {
                fs::remove_all(swapped);
                fs::create_symlink(path == src("from") ? outside() : tree.path("victim"), swapped);
            }
        }
    };

    EXPECT_EQ(0, walk());
    EXPECT_EQ(victim_before, snapshot(tree.path("victim")));
    EXPECT_EQ(outside_before, snapshot(outside()));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst/from"));
    EXPECT_TRUE(contains(console.err, dst("sub") + " - Not directory\n")) << console.err;
    EXPECT_TRUE(contains(console.err, src("from") + " - Not directory\n")) << console.err;
    EXPECT_EQ(0u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.files_deleted);
    EXPECT_EQ(0, open_directories());
}

TEST_F(SyncDirTest, DirectoriesGetTheirSourceProtectionOnceFilledAndCopiesInPlace)
{
    SKIP_WITHOUT(feature_t::permission_bits);
    tree.file("src/private/p.txt", "p");
    tree.set_mode("src/private", 0700);
    tree.file("src/shared/s.txt", "s");
    tree.set_mode("src/shared", 0750);
    tree.dir("dst/shared");
    tree.set_mode("dst/shared", 0777);
    tree.file("src/sealed/in.txt", "in");   // read-only: filled first, sealed after
    tree.set_mode("src/sealed", 0555);
    tree.file("src/owned/suid", "x");
    const bool with_owners = privileged();
    if (with_owners) {
        set_owner(src("owned"), 65534, 65534);
        set_owner(src("owned/suid"), 65534, 65534);
    }
    tree.set_mode("src/owned/suid", 04755);   // after the change of owner, which clears it

    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(0700u, tree.mode("dst/private"));
    EXPECT_EQ(0750u, tree.mode("dst/shared"));
    EXPECT_EQ(0555u, tree.mode("dst/sealed"));
    EXPECT_EQ("in", tree.read("dst/sealed/in.txt"));
    if (with_owners) {
        // A privileged run carries owner and group, and the setuid bit with them.
        const ownership_t owned = ownership_of(dst("owned"));
        const ownership_t suid = ownership_of(dst("owned/suid"));
        EXPECT_EQ(65534u, owned.owner);
        EXPECT_EQ(65534u, owned.group);
        EXPECT_EQ(65534u, suid.owner);
        EXPECT_EQ(04755u, suid.mode);
    }

    // A later change of the source is carried on the next run: a file's
    // bits, and its owner, which only its change time tells, go onto its
    // copy in place, which is neither copied again nor counted.
    tree.set_mode("src/private", 0750);
    tree.set_mode("src/private/p.txt", 0600);
    if (with_owners)
        set_owner(src("shared/s.txt"), 65534, 65534);
    const std::uint64_t copied = run.stats.files_copied;
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(0750u, tree.mode("dst/private"));
    EXPECT_EQ(0600u, tree.mode("dst/private/p.txt"));
    if (with_owners) {
        EXPECT_EQ(65534u, ownership_of(dst("shared/s.txt")).owner);
    }
    EXPECT_EQ(copied, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.files_not_copied);

    // A copy that cannot be given its source's bits is reported, and still
    // counted nowhere.
    tree.set_mode("src/private/p.txt", 0640);
    fault_plan.fail(fault_op_t::protect, dst("private/p.txt"), sys_errors.io);
    EXPECT_EQ(0, walk());
    EXPECT_EQ(error_line(sys_errors.io, dst("private/p.txt")), console.err);
    EXPECT_EQ(0600u, tree.mode("dst/private/p.txt"));
    EXPECT_EQ(0u, run.stats.files_not_copied);
    EXPECT_EQ(copied, run.stats.files_copied);
    EXPECT_EQ(0, open_directories());
}

TEST_F(SyncDirTest, DirectoriesMadeByTheirPathArePrivateUntilTheirPairIsDone)
{
    // The dated directory and the directories that -d makes on a file's
    // way: none is open to others while the copies go into it, and each
    // takes its source's bits at the end, the dated one the source root's.
    SKIP_WITHOUT(feature_t::permission_bits);
    settings.copy_mode = 3;
    settings.needed_dirs_only = true;
    tree.file("src/a/b/today.txt", "today");
    run.today_date = dos_from_time(tree.mtime("src/a/b/today.txt")).date;
    tree.set_mode("src", 0750);
    tree.set_mode("src/a", 0711);
    tree.set_mode("src/a/b", 0755);
    std::vector<unsigned> while_copying;
    fault_plan.during_copy = src("a/b/today.txt");
    fault_plan.during_copy_hook = [&] {
        for (const char* made : {"dst/day", "dst/day/a", "dst/day/a/b"})
            while_copying.push_back(tree.mode(made));
    };

    EXPECT_EQ(0, sync_dir(run, changes(), src().c_str(), dst("day").c_str()));
    EXPECT_EQ("", console.err);
    EXPECT_EQ((std::vector<unsigned>{0700, 0700, 0700}), while_copying);
    EXPECT_EQ(0750u, tree.mode("dst/day"));
    EXPECT_EQ(0711u, tree.mode("dst/day/a"));
    EXPECT_EQ(0755u, tree.mode("dst/day/a/b"));
    EXPECT_EQ("today", tree.read("dst/day/a/b/today.txt"));
}

TEST_F(SyncDirTest, CopiesAreMadeDurableInBatchesAndOneThatCannotBeIsReportedAndCopiedAgain)
{
    // Room for six open copies: batches of two, as three may be open at once
    // (one filling, one being made durable, one whose times are).
    fault_plan.open_outs_limit = 6;
    const std::time_t when = local_moment(2023, 4, 5, 6, 7, 8);
    const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"};
    for (const std::string& name : names) {
        tree.file("src/" + name, "data of " + name);
        tree.set_mtime("src/" + name, when);
    }
    fault_plan.fail(fault_op_t::flush, dst("c.txt"), sys_errors.io, 0, 1);

    EXPECT_EQ(0, walk());
    EXPECT_EQ(error_line(sys_errors.io, dst("c.txt")), console.err);
    EXPECT_EQ(1, log_records_in(log()));
    EXPECT_TRUE(contains(log(), log_detail(sys_errors.io, dst("c.txt")))) << log();
    EXPECT_EQ(4u, run.stats.files_copied);
    EXPECT_EQ(4u * 13, run.stats.bytes_copied);
    EXPECT_EQ(1u, run.stats.files_not_copied);
    EXPECT_EQ(1u, run.stats.errors_reported);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ("data of " + name, tree.read("dst/" + name));
        EXPECT_EQ(name == "c.txt" ? UNFINISHED_COPY_TIME.sec : when, tree.mtime("dst/" + name));
    }
    // Batches were made durable while the walk went on.
    const auto first_flush = std::find_if(fault_log.begin(), fault_log.end(),
                                          [](const std::string& operation) { return operation.rfind("flush ", 0) == 0; });
    const auto last_create = std::find_if(fault_log.rbegin(), fault_log.rend(), [](const std::string& operation) {
        return operation.rfind("create ", 0) == 0;
    });
    EXPECT_LT(first_flush - fault_log.begin(), fault_log.rend() - last_create - 1);
    EXPECT_LE(most_open_copies(), 6);
    EXPECT_EQ(0, open_descriptors());

    // The next run copies the unfinished copy again, and nothing else.
    console = recorded_console_t{};
    run.stats = run_statistics_t{};
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ(when, tree.mtime("dst/c.txt"));
}

TEST_F(SyncDirTest, MemoryThatRunsOutInAFlushOnItsOwnThreadReachesTheWalk)
{
    // Batches of two: the first is made durable on a thread of its own,
    // which must not end the process; the walk meets the failure, which
    // then ends the run as any lack of memory does.
    fault_plan.open_outs_limit = 6;
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        tree.file(std::string("src/") + name, name);
    fault_plan.during_flush = [thrown = false]() mutable {
        if (!std::exchange(thrown, true))
            throw std::bad_alloc();
    };
    EXPECT_THROW(walk(), std::bad_alloc);
    // The batch whose flush failed is not taken as durable.
    EXPECT_EQ(UNFINISHED_COPY_TIME.sec, tree.mtime("dst/a.txt"));
    EXPECT_EQ(UNFINISHED_COPY_TIME.sec, tree.mtime("dst/b.txt"));
}

TEST_F(SyncDirTest, DryRunShowsTheRealRunsLinesAndChangesNothing)
{
    tree.file("src/changed.txt", "new");
    tree.file("src/new/deeper/n.txt", "n");
    tree.file("src/clash", "a file where a directory is");
    tree.file("dst/changed.txt", "old!");
    tree.file("dst/extra.txt", "x");
    tree.file("dst/gone/g.txt", "g");
    tree.file("dst/clash/c.txt", "c");
    // Bits that would refuse an ordinary user refuse neither root nor the
    // directory's owner (nor, on Windows, the read-only attribute).
    tree.file("src/kept/new.txt", "n");
    tree.file("dst/kept/stale.txt", "s");
    tree.set_mode("dst/kept", 0555);
    const std::vector<std::string> before = snapshot(dst());
    settings.dry_run = true;

    EXPECT_EQ(0, walk());
    const std::string simulated = console.out;
    EXPECT_EQ(before, snapshot(dst()));
    for (const std::string& operation : fault_log) {
        for (const char* change : {"create ", "commit ", "remove_", "make_dir ", "set_protection "})
            EXPECT_NE(0u, operation.find(change)) << operation;
    }
    EXPECT_EQ(0, log_records_in(log()));

    // The real run shows the same lines, with the figures of its copies.
    settings.dry_run = false;
    console = recorded_console_t{};
    EXPECT_EQ(0, walk());
    std::string real = console.out;
    for (std::size_t at; (at = real.find("100%\b\b\b\b")) != std::string::npos;)
        real.erase(at, 8);
    EXPECT_EQ(real, simulated);
    EXPECT_EQ("", console.err);
}

TEST_F(SyncDirTest, ListingAheadOnThreadsChangesNothingThatShows)
{
    // The same trees twice, walked without and with listing threads: the
    // console, the counters and the resulting trees must be the same.
    settings.verbosity = 3;
    const auto make = [&](const std::string& root) {
        for (int d = 0; d < 6; ++d) {
            for (int e = 0; e < 4; ++e) {
                const std::string dir = root + "/src/d" + std::to_string(d) + "/e" + std::to_string(e);
                tree.file(dir + "/same.txt", "same");
                tree.set_mtime(dir + "/same.txt", 1600000000);
                tree.file(dir + "/new.txt", "new");
                tree.set_mtime(dir + "/new.txt", 1700000000);
                const std::string copy = root + "/dst/d" + std::to_string(d) + "/e" + std::to_string(e);
                tree.file(copy + "/same.txt", "same");
                tree.set_mtime(copy + "/same.txt", 1600000000);
                tree.file(copy + "/extra.txt", "extra");
                if (e % 2 == 0)
                    tree.file(copy + "/gone/deep/g.txt", "g");
            }
        }
    };
    std::string outputs[2];
    run_statistics_t counts[2];
    for (const int threads : {0, 8}) {
        const std::string root = threads == 0 ? "alone" : "ahead";
        make(root);
        console = recorded_console_t{};
        run.stats = run_statistics_t{};
        settings.workers = static_cast<unsigned>(threads);
        EXPECT_EQ(0, sync_dir(run, changes(), tree.path(root + "/src").c_str(), tree.path(root + "/dst").c_str()));
        std::string out = console.both;
        for (std::size_t at; (at = out.find(tree.path(root))) != std::string::npos;)
            out.replace(at, tree.path(root).size(), "<root>");
        outputs[threads == 0 ? 0 : 1] = out;
        counts[threads == 0 ? 0 : 1] = run.stats;
        EXPECT_EQ(0, open_directories());
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(counts[0].files_copied, counts[1].files_copied);
    EXPECT_EQ(counts[0].files_deleted, counts[1].files_deleted);
    EXPECT_EQ(counts[0].dirs_deleted, counts[1].dirs_deleted);
    EXPECT_EQ(counts[0].dirs_scanned, counts[1].dirs_scanned);
    EXPECT_EQ(counts[0].files_scanned, counts[1].files_scanned);
    EXPECT_EQ(describe_tree(tree.path("alone/dst")), describe_tree(tree.path("ahead/dst")));
}

}  // namespace

TEST_F(SyncDirTest, NamesArePairedAsADestinationThatIgnoresCaseLooksThemUp)
{
    // A destination that ignores case (here an ordinary directory the walk is
    // told to take for one): a copy spelt otherwise is respelt and paired,
    // and of two source names that are one name there, the first listed is
    // mirrored and the other reported, run after run.
    fault_plan.case_rule = CASE_FOLDS;
    tree.file("src/Docs/a.txt", "new a");
    tree.file("src/Docs/sub/s.txt", "s");
    tree.file("src/README", "upper");
    tree.file("src/readme", "lower");
    tree.set_mtime("src/Docs/sub/s.txt", 1600000000);
    // Where the source ignores case too, the two names are one file there.
    const std::vector<std::string> order = delivery_order(src());
    const bool upper_first =
        std::find(order.begin(), order.end(), "README") < std::find(order.begin(), order.end(), "readme");
    const bool clash = order.size() == 3;
    const std::string winner = upper_first ? "README" : "readme";
    const std::string loser = upper_first ? "readme" : "README";
    const std::string clash_line = clash ? src(loser) + ": Nome in conflitto per maiuscole e minuscole\n" : "";
    for (const unsigned workers : {0u, 8u}) {
        SCOPED_TRACE(workers);
        settings.workers = workers;
        fs::remove_all(dst());
        tree.file("dst/docs/a.txt", "an old a");
        tree.file("dst/docs/extra.txt", "extra");
        tree.file("dst/docs/sub/s.txt", "s");
        tree.set_mtime("dst/docs/sub/s.txt", 1600000000);
        fs::remove(tree.path("run.log"));
        for (int night = 1; night <= 2; ++night) {
            SCOPED_TRACE(night);
            console = recorded_console_t{};
            run.stats = run_statistics_t{};
            EXPECT_EQ(0, walk());
            EXPECT_EQ((std::vector<std::string>{"Docs", winner}), tree.names("dst"));
            EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), tree.names("dst/Docs"));
            EXPECT_EQ("new a", tree.read("dst/Docs/a.txt"));
            EXPECT_EQ(tree.read("src/" + winner), tree.read("dst/" + winner));
            EXPECT_EQ(clash_line, console.err);
            EXPECT_EQ(night == 1 ? 2u : 0u, run.stats.files_copied);
            EXPECT_EQ(night == 1 ? 1u : 0u, run.stats.files_deleted);
            EXPECT_EQ(0u, run.stats.dirs_deleted + run.stats.dirs_created);
            EXPECT_EQ(clash ? 1u : 0u, run.stats.files_not_copied);
        }
        EXPECT_EQ(clash ? 2 : 0, count_of(log(), formatted("Codice %3d File %s - Nome in conflitto per maiuscole e minuscole\n",
                                                           sys_errors.exists, src(loser).c_str())))
            << log();
        EXPECT_EQ(0, open_directories());
    }
}

TEST_F(SyncDirTest, TheWalkNeverWorksInsideWhatItWalksFrom)
{
    // Operands that overlap after all (-i, or a mount the overlap check
    // could not see through): the walk neither copies the source into
    // itself for ever nor removes it as an extra of the destination.
    struct overlap_case_t {
        const char* name;
        const char* src;
        const char* dst;
        const char* busy;       // the directory reported
        int walked;
    };
    const overlap_case_t cases[] = {
        {"the same directory", "", "", "", 1},
        {"the destination inside the source", "", "copy", "copy", 0},
        {"the source inside the destination", "inner", "", "inner", 0},
    };
    for (const overlap_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(src());
        tree.file("src/a.txt", "a");
        tree.file("src/inner/keep.txt", "keep");
        tree.dir("src/copy");
        const std::vector<std::string> inner_before = snapshot(src("inner"));
        console = recorded_console_t{};
        fs::remove(tree.path("run.log"));

        EXPECT_EQ(c.walked, sync_dir(run, changes(), src(c.src).c_str(), src(c.dst).c_str()));
        EXPECT_EQ(error_line(sys_errors.busy, src(c.busy)), console.err);
        EXPECT_EQ(1, log_records_in(log()));
        EXPECT_EQ(inner_before, snapshot(src("inner")));
        EXPECT_FALSE(tree.exists("src/copy/copy"));
        EXPECT_EQ(0, open_directories());
    }
}

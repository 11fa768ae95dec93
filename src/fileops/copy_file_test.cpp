#include "fileops/copy_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fileops/durable.h"
#include "listing/filelist.h"
#include "platform/platform.h"
#include "core/settings.h"
#include "core/stats.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/scoped_tmpfs.h"
#include "support/system.h"

namespace {

constexpr std::uint64_t GIB = std::uint64_t{1} << 30;

// Records, in program order, each error line ('e') and each append to a
// text file such as the log ('l'), on top of the platform record in force.
std::string report_order;
const platform_t* order_below = nullptr;

void ordered_con_write(int stream, const char* bytes, std::size_t count)
{
    if (stream == CON_ERR)
        report_order += 'e';
    order_below->con_write(stream, bytes, count);
}

int ordered_append_text(const char* path, const char* bytes, std::size_t count)
{
    report_order += 'l';
    return order_below->append_text(path, bytes, count);
}

class ScopedReportOrder {
  public:
    ScopedReportOrder()
    {
        report_order.clear();
        order_below = &plat();
        record_ = plat();
        record_.con_write = ordered_con_write;
        record_.append_text = ordered_append_text;
        previous_ = plat_install(&record_);
    }
    ~ScopedReportOrder() { plat_install(previous_); }
    ScopedReportOrder(const ScopedReportOrder&) = delete;
    ScopedReportOrder& operator=(const ScopedReportOrder&) = delete;

  private:
    platform_t record_{};
    const platform_t* previous_ = nullptr;
};

class CopyFileTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        tree.dir("src");
        tree.dir("dst");
    }

    std::string src(const std::string& name) const { return tree.path("src/" + name); }
    std::string dst(const std::string& name) const { return tree.path("dst/" + name); }

    // The record of `name` as a listing of `dir` gives it to the walk. The
    // listing's own console lines are cleared.
    // The record stays until the next listing.
    const filelist_t* listed(const std::string& dir, const std::string& name)
    {
        Filelist_scan(run, this->dir(tree.path(dir)), (tree.path(dir) + sep()).c_str(), &dirs_, &files_, {});
        const filelist_t* found = Filelist_find(&files_, name.c_str());
        EXPECT_NE(nullptr, found) << name << " is not listed in " << dir;
        console = recorded_console_t{};
        return found;
    }

    const filelist_t* entry(const std::string& name) { return listed("src", name); }

    // Copies the listed `record` from src into the directory `to` (below the
    // tree) as the walk does, or into `into` when given, and settles the copy
    // as the end of the walk does.
    int copy_into(const filelist_t* record, const std::string& to = "dst", dest_dir_t* into = nullptr)
    {
        const std::string to_path = tree.path(to);
        const int result = copy_file(run, changes(), record, dir(tree.path("src")), src(record->name()).c_str(),
                                     into != nullptr ? into : dest(to_path), (to_path + sep() + record->name()).c_str());
        changes().settle(run);
        return result;
    }

    int copy(const std::string& name) { return copy_into(entry(name)); }

    std::string log_path() const { return tree.path("run.log"); }
    int log_records() const { return log_records_in(read_text_file(log_path())); }

    // The failed copy left the old destination exactly as it was, and nothing
    // beside it.
    void expect_old_destination_kept(const std::string& name, const std::string& old_bytes)
    {
        EXPECT_EQ(old_bytes, tree.read("dst/" + name));
        EXPECT_EQ(std::vector<std::string>{name}, tree.names("dst"));
        EXPECT_EQ(0, open_descriptors());
        EXPECT_EQ(0u, run.stats.files_copied);
        EXPECT_EQ(0u, run.stats.bytes_copied);
    }

    filelist_head_t dirs_;
    filelist_head_t files_;
};

TEST_F(CopyFileTest, FiguresOverwriteEachOtherAndAreFlushedOneByOne)
{
    copy_buffer_obtain(run, 100);
    const std::string bytes = stamped(250, 1);
    tree.file("src/a.bin", bytes);

    ASSERT_EQ(0, copy("a.bin"));
    EXPECT_EQ(copy_announced(src("a.bin"), 250, dst("a.bin")) + "050%\b\b\b\b100%\b\b\b\b100%\b\b\b\b\n", console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(3, console.flushes);
    EXPECT_EQ(bytes, tree.read("dst/a.bin"));
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ(250u, run.stats.bytes_copied);
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(CopyFileTest, FiguresAreTheSameThroughTheCopyBuffer)
{
    fault_plan.fail(fault_op_t::copy_range, "");
    copy_buffer_obtain(run, 100);
    const std::string bytes = stamped(250, 1);
    tree.file("src/a.bin", bytes);

    ASSERT_EQ(0, copy("a.bin"));
    EXPECT_EQ(copy_announced(src("a.bin"), 250, dst("a.bin")) + "050%\b\b\b\b100%\b\b\b\b100%\b\b\b\b\n", console.out);
    EXPECT_EQ(3, console.flushes);
    EXPECT_EQ(bytes, tree.read("dst/a.bin"));
    EXPECT_EQ(250u, run.stats.bytes_copied);
}

TEST_F(CopyFileTest, SourceThatGrewSinceTheListingIsCopiedWhole)
{
    copy_buffer_obtain(run, 100);
    tree.file("src/a.bin", stamped(250, 1));
    const filelist_t* record = entry("a.bin");
    tree.file("src/a.bin", stamped(400, 1));

    ASSERT_EQ(0, copy_into(record));
    EXPECT_EQ(copy_announced(src("a.bin"), 250, dst("a.bin")) + "050%\b\b\b\b100%\b\b\b\b150%\b\b\b\b200%\b\b\b\b\n",
              console.out);
    EXPECT_EQ(stamped(400, 1), tree.read("dst/a.bin"));
    EXPECT_EQ(400u, run.stats.bytes_copied);
}

TEST_F(CopyFileTest, EmptyFileShowsNoFigureAndIsCopied)
{
    tree.file("src/empty", "");
    tree.set_mtime("src/empty", local_moment(2022, 11, 3, 8, 15, 42));

    ASSERT_EQ(0, copy("empty"));
    EXPECT_EQ(copied(src("empty"), 0, dst("empty")), console.out);
    EXPECT_EQ(0, console.flushes);
    EXPECT_TRUE(tree.exists("dst/empty"));
    EXPECT_EQ("", tree.read("dst/empty"));
    EXPECT_EQ(local_moment(2022, 11, 3, 8, 15, 42), tree.mtime("dst/empty"));
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.bytes_copied);
}

TEST_F(CopyFileTest, SourceLineSwitchesToKilobytesAtOneHundredThousandBytes)
{
    const std::string path = "/data/archivio/bilancio.xls";
    const std::string field = column(path);

    show_copy_source(run, path.c_str(), 99999);
    EXPECT_EQ("Da\t" + field + " 99999 BYTE\n", console.out);

    console = recorded_console_t{};
    show_copy_source(run, path.c_str(), 100000);
    EXPECT_EQ("Da\t" + field + "      97 KB\n", console.out);

    console = recorded_console_t{};
    show_copy_source(run, path.c_str(), 150000);
    EXPECT_EQ("Da\t" + field + "     146 KB\n", console.out);

    // From 2 GiB on the size is still shown in KB, and past 4 GiB in full.
    console = recorded_console_t{};
    show_copy_source(run, path.c_str(), 3 * GIB);
    EXPECT_EQ("Da\t" + field + " 3145728 KB\n", console.out);

    console = recorded_console_t{};
    show_copy_source(run, path.c_str(), 5 * GIB + 1023);
    EXPECT_EQ("Da\t" + field + " 5242880 KB\n", console.out);

    console = recorded_console_t{};
    settings.verbosity = 0;
    show_copy_source(run, path.c_str(), 99999);
    EXPECT_EQ("", console.out);
}

TEST_F(CopyFileTest, PercentageStaysDefinedForEverySize)
{
    EXPECT_EQ(50ul, copy_percent(100, 250));
    EXPECT_EQ(100ul, copy_percent(200, 250));
    EXPECT_EQ(100ul, copy_percent(250, 250));
    // Below 100 listed bytes there is no hundredth to divide by.
    EXPECT_EQ(20ul, copy_percent(10, 50));
    EXPECT_EQ(0ul, copy_percent(0, 99));
    EXPECT_EQ(1ul, copy_percent(1, 99));
    EXPECT_EQ(120ul, copy_percent(60, 50));   // grew since it was listed
    EXPECT_EQ(100ul, copy_percent(0, 0));
    EXPECT_EQ(100ul, copy_percent(7, 0));
    // Large files neither overflow nor lose the figure.
    EXPECT_EQ(20ul, copy_percent(GIB, 5 * GIB));
    EXPECT_EQ(98ul, copy_percent(5 * GIB - GIB / 10, 5 * GIB));
    EXPECT_EQ(100ul, copy_percent(5 * GIB, 5 * GIB));
}

TEST_F(CopyFileTest, ReadOnlySourceGivesReadOnlyCopyThatCanBeReplaced)
{
    tree.file("src/ro.txt", "first");
    tree.set_mode("src/ro.txt", 0444);

    ASSERT_EQ(0, copy("ro.txt"));
    EXPECT_EQ("first", tree.read("dst/ro.txt"));
    EXPECT_EQ(0444u, tree.mode("dst/ro.txt"));
    EXPECT_EQ(0u, tree.mode("dst/ro.txt") & 0222u);

    tree.set_mode("src/ro.txt", 0644);
    tree.file("src/ro.txt", "second, longer");
    tree.set_mode("src/ro.txt", 0444);
    // An older snapshot shares the copy through a hard link: replacing the
    // copy must change nothing of the snapshot, not even its mode.
    tree.hard_link("dst/ro.txt", "snapshot/ro.txt");
    ASSERT_EQ(0, copy("ro.txt"));
    EXPECT_EQ("second, longer", tree.read("dst/ro.txt"));
    EXPECT_EQ(0444u, tree.mode("dst/ro.txt"));
    EXPECT_EQ("first", tree.read("snapshot/ro.txt"));
    EXPECT_EQ(0444u, tree.mode("snapshot/ro.txt"));
    EXPECT_EQ(std::vector<std::string>{"ro.txt"}, tree.names("dst"));
    EXPECT_EQ(2u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.files_deleted);
}

TEST_F(CopyFileTest, PermissionBitsAreCarriedOver)
{
    SKIP_WITHOUT(feature_t::permission_bits);
    tree.file("src/run.sh", "#!/bin/sh\n");
    tree.set_mode("src/run.sh", 0755);
    tree.file("src/private", "p");
    tree.set_mode("src/private", 0600);

    ASSERT_EQ(0, copy("run.sh"));
    ASSERT_EQ(0, copy("private"));
    EXPECT_EQ(0755u, tree.mode("dst/run.sh"));
    EXPECT_EQ(0600u, tree.mode("dst/private"));
}

TEST_F(CopyFileTest, CopyCarriesTheSourceTimeExactly)
{
    const std::string bytes = stamped(5000, 1);
    tree.file("src/t.dat", bytes);
    tree.set_mtime("src/t.dat", local_moment(2023, 5, 17, 10, 20, 31));
    tree.file("dst/t.dat", "old");

    const filelist_t* source = entry("t.dat");
    const fs_time_t source_time = source->mtime();
    const std::uint64_t source_size = source->size;
    ASSERT_EQ(0, copy_into(source));
    EXPECT_EQ(bytes, tree.read("dst/t.dat"));
    EXPECT_EQ(local_moment(2023, 5, 17, 10, 20, 31), tree.mtime("dst/t.dat"));

    const filelist_t* copy_record = listed("dst", "t.dat");
    EXPECT_EQ(source_time.sec, copy_record->mtime().sec);
    EXPECT_EQ(source_time.nsec, copy_record->mtime().nsec);
    EXPECT_EQ(source_size, copy_record->size);
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ(5000u, run.stats.bytes_copied);
}

TEST_F(CopyFileTest, FullDiskKeepsTheOldCopyAndReportsTheDestination)
{
    copy_buffer_obtain(run, 100);
    use_log(log_path());
    const std::string old_bytes = "yesterday's copy";
    struct Case {
        std::uint64_t room;
        const char* figures;
    };
    for (const Case& c : {Case{0, ""}, Case{150, "050%\b\b\b\b"}}) {
        SCOPED_TRACE(testing::Message() << "room for " << c.room << " bytes");
        run.stats = run_statistics_t{};
        std::filesystem::remove(log_path());
        tree.file("src/a.bin", stamped(250, 1));
        tree.file("dst/a.bin", old_bytes);
        const filelist_t* record = entry("a.bin");
        fault_plan = fault_plan_t{};
        fault_plan.fail(fault_op_t::write, dst("a.bin"), sys_errors.no_space, c.room);

        EXPECT_EQ(1, copy_into(record));
        EXPECT_EQ(copy_announced(src("a.bin"), 250, dst("a.bin")) + c.figures + "\n", console.out);
        EXPECT_EQ(dst("a.bin") + ": " + error_words(sys_errors.no_space) + "\n", console.err);
        EXPECT_EQ(1, log_records());
        EXPECT_NE(std::string::npos, read_text_file(log_path()).find("File " + dst("a.bin") + " - "));
        expect_old_destination_kept("a.bin", old_bytes);
    }
}

TEST_F(CopyFileTest, FailedTransfersReportTheErrorLineBeforeTheLogRecord)
{
    copy_buffer_obtain(run, 100);
    use_log(log_path());
    tree.file("src/a.bin", stamped(250, 1));
    tree.file("dst/a.bin", "old");
    const filelist_t* record = entry("a.bin");
    fault_plan.fail(fault_op_t::write, dst("a.bin"), sys_errors.no_space, 100);

    const ScopedReportOrder order;
    EXPECT_EQ(1, copy_into(record));
    EXPECT_EQ("el", report_order);
}

TEST_F(CopyFileTest, UnreadableSourceIsReportedAndChangesNothing)
{
    use_log(log_path());
    tree.file("src/a.bin", "new data");
    tree.file("dst/a.bin", "old data");
    const filelist_t* record = entry("a.bin");
    fault_plan.fail(fault_op_t::open_read, src("a.bin"), sys_errors.access_denied);

    const ScopedReportOrder order;
    EXPECT_EQ(2, copy_into(record));
    EXPECT_EQ("el", report_order);
    EXPECT_EQ(refused(src("a.bin"), 8, dst("a.bin")), console.out);
    EXPECT_EQ(src("a.bin") + ": " + error_words(sys_errors.access_denied) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_NE(std::string::npos, read_text_file(log_path()).find("File " + src("a.bin") + " - "));
    expect_old_destination_kept("a.bin", "old data");
}

TEST_F(CopyFileTest, ReadFailureMidwayNamesTheSourceAndKeepsTheOldCopy)
{
    copy_buffer_obtain(run, 100);
    use_log(log_path());
    tree.file("src/a.bin", stamped(250, 1));
    tree.file("dst/a.bin", "old data");
    const filelist_t* record = entry("a.bin");
    fault_plan.fail(fault_op_t::read, src("a.bin"), sys_errors.io, 100);

    const ScopedReportOrder order;
    EXPECT_EQ(1, copy_into(record));
    EXPECT_EQ("el", report_order);
    EXPECT_EQ(copy_announced(src("a.bin"), 250, dst("a.bin")) + "050%\b\b\b\b\n", console.out);
    EXPECT_EQ(src("a.bin") + ": " + error_words(sys_errors.io) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    expect_old_destination_kept("a.bin", "old data");
}

TEST_F(CopyFileTest, FailureToPutTheCopyInPlaceKeepsTheOldFile)
{
    // The copy written, its protection (bits, ACLs, attributes) or its name
    // cannot be given.
    use_log(log_path());
    tree.file("src/a.bin", stamped(300, 1));
    const filelist_t* record = entry("a.bin");
    for (const fault_op_t step : {fault_op_t::protect, fault_op_t::commit}) {
        SCOPED_TRACE(static_cast<int>(step));
        tree.file("dst/a.bin", "old data");
        console = recorded_console_t{};
        fault_plan.rules.clear();
        fault_plan.fail(step, dst("a.bin"), sys_errors.io);

        EXPECT_EQ(1, copy_into(record));
        EXPECT_EQ(dst("a.bin") + ": " + error_words(sys_errors.io) + "\n", console.err);
        expect_old_destination_kept("a.bin", "old data");
    }
    EXPECT_EQ(2, log_records());
}

TEST_F(CopyFileTest, DirectoryInTheWayIsRefusedAndLeftAlone)
{
    use_log(log_path());
    tree.file("src/a.bin", "data");
    tree.file("dst/a.bin/inner.txt", "inner");
    const filelist_t* record = entry("a.bin");
    settings.verbosity = 5;

    const ScopedReportOrder order;
    EXPECT_EQ(2, copy_into(record));
    EXPECT_EQ("le", report_order);
    // Announced where the old file would have gone, then refused.
    EXPECT_EQ(file_removed(dst("a.bin")) + refused(src("a.bin"), 4, dst("a.bin")), console.out);
    EXPECT_EQ(dst("a.bin") + ": " + error_words(sys_errors.is_dir) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_TRUE(tree.is_dir("dst/a.bin"));
    EXPECT_EQ(std::vector<std::string>{"inner.txt"}, tree.names("dst/a.bin"));
    EXPECT_EQ("inner", tree.read("dst/a.bin/inner.txt"));
    EXPECT_EQ(std::vector<std::string>{"a.bin"}, tree.names("dst"));
    EXPECT_EQ(0, open_descriptors());
    EXPECT_EQ(0u, run.stats.files_copied);
}

TEST_F(CopyFileTest, LinkInTheWayIsRefusedAndNeitherItNorItsTargetChanges)
{
    SKIP_WITHOUT(feature_t::links);
    use_log(log_path());
    tree.file("src/a.bin", "data");
    tree.file("elsewhere/target.txt", "target");
    tree.link("dst/a.bin", tree.path("elsewhere/target.txt"));
    const filelist_t* record = entry("a.bin");

    EXPECT_EQ(2, copy_into(record));
    EXPECT_EQ(dst("a.bin") + ": " + error_words(sys_errors.is_link) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_TRUE(std::filesystem::is_symlink(fs_path(dst("a.bin"))));
    EXPECT_EQ(tree.path("elsewhere/target.txt"), utf8_of(std::filesystem::read_symlink(fs_path(dst("a.bin")))));
    EXPECT_EQ("target", tree.read("elsewhere/target.txt"));
    EXPECT_EQ(std::vector<std::string>{"target.txt"}, tree.names("elsewhere"));
    EXPECT_EQ(std::vector<std::string>{"a.bin"}, tree.names("dst"));
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(CopyFileTest, SpecialFileInTheWayIsRefusedAndStays)
{
    SKIP_WITHOUT(feature_t::fifos);
    use_log(log_path());
    tree.file("src/a.bin", "data");
    tree.dir("dst");
    tree.fifo("dst/a.bin");
    settings.verbosity = 5;
    const filelist_t* record = entry("a.bin");

    EXPECT_EQ(2, copy_into(record));
    EXPECT_EQ(refused(src("a.bin"), 4, dst("a.bin")), console.out);  // nothing to announce as removed
    EXPECT_EQ(dst("a.bin") + ": " + error_words(sys_errors.exists) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_TRUE(std::filesystem::is_fifo(dst("a.bin")));
    EXPECT_EQ(std::vector<std::string>{"a.bin"}, tree.names("dst"));
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(CopyFileTest, NeededDirsOnlyCreatesMissingDirectoriesAfterTheDestinationLine)
{
    settings.verbosity = 2;
    settings.needed_dirs_only = true;
    tree.file("src/a.bin", "data");
    const std::string to = tree.path("dst/new1/new2/a.bin");
    const filelist_t* record = entry("a.bin");
    dest_dir_t new1;
    new1.parent = dest(tree.path("dst"));
    new1.name = "new1";
    dest_dir_t new2;
    new2.parent = &new1;
    new2.name = "new2";

    ASSERT_EQ(0, copy_into(record, "dst/new1/new2", &new2));
    new2.dir.reset();
    new1.dir.reset();
    std::string created;
    for (std::size_t at = to.find(sep(), 1); at != std::string::npos; at = to.find(sep(), at + 1)) {
        if (at > root_length(to.c_str()))
            created += dir_created(to.substr(0, at));
    }
    EXPECT_EQ(copy_announced(src("a.bin"), 4, to) + created + "100%\b\b\b\b\n", console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ("data", tree.read("dst/new1/new2/a.bin"));
    EXPECT_EQ(2u, run.stats.dirs_created);
    EXPECT_EQ(1u, run.stats.files_copied);
}

TEST_F(CopyFileTest, MissingDirectoryWithoutNeededDirsOnlyFailsOnce)
{
    settings.verbosity = 2;
    use_log(log_path());
    tree.file("src/a.bin", "data");
    const std::string to = tree.path("dst/new1/a.bin");
    const filelist_t* record = entry("a.bin");
    dest_dir_t new1;
    new1.parent = dest(tree.path("dst"));
    new1.name = "new1";

    const ScopedReportOrder order;
    EXPECT_EQ(2, copy_into(record, "dst/new1", &new1));
    EXPECT_EQ("le", report_order);
    EXPECT_EQ(refused(src("a.bin"), 4, to), console.out);
    EXPECT_EQ(to + ": " + error_words(sys_errors.path_not_found) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_FALSE(tree.exists("dst/new1"));
    EXPECT_EQ(0u, run.stats.dirs_created);
    EXPECT_EQ(0, open_descriptors());
}

TEST_F(CopyFileTest, VerbosityFiveAnnouncesTheReplacedFileFirst)
{
    settings.verbosity = 5;
    tree.file("src/a.bin", "new");
    tree.file("dst/a.bin", "old");
    tree.file("src/b.bin", "fresh");

    ASSERT_EQ(0, copy("a.bin"));
    EXPECT_EQ(file_removed(dst("a.bin")) + copied(src("a.bin"), 3, dst("a.bin")), console.out);
    EXPECT_EQ("new", tree.read("dst/a.bin"));

    // Nothing to replace, nothing announced.
    ASSERT_EQ(0, copy("b.bin"));
    EXPECT_EQ(copied(src("b.bin"), 5, dst("b.bin")), console.out);
    EXPECT_EQ(0u, run.stats.files_deleted);
    EXPECT_EQ(2u, run.stats.files_copied);
}

TEST_F(CopyFileTest, VerbosityZeroPrintsNothing)
{
    settings.verbosity = 0;
    copy_buffer_obtain(run, 100);
    tree.file("src/a.bin", stamped(250, 1));
    tree.file("dst/a.bin", "old");

    ASSERT_EQ(0, copy("a.bin"));
    EXPECT_EQ("", console.out);
    EXPECT_EQ("", console.err);
    EXPECT_EQ(0, console.flushes);
    EXPECT_EQ(stamped(250, 1), tree.read("dst/a.bin"));
    EXPECT_EQ(1u, run.stats.files_copied);
}

TEST_F(CopyFileTest, RealFullDiskKeepsTheOldCopy)
{
    tree.dir("small");
    const ScopedTmpfs small(tree.path("small"), "size=64k");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << small.error();
    use_log(log_path());
    tree.file("src/big.bin", stamped(1 << 20, 1));
    tree.file("small/big.bin", "old copy");
    const std::string to = tree.path("small/big.bin");
    const filelist_t* record = entry("big.bin");

    EXPECT_EQ(1, copy_into(record, "small"));
    EXPECT_EQ(to + ": " + error_words(sys_errors.no_space) + "\n", console.err);
    EXPECT_EQ(1, log_records());
    EXPECT_EQ("old copy", tree.read("small/big.bin"));
    EXPECT_EQ(std::vector<std::string>{"big.bin"}, tree.names("small"));
    EXPECT_EQ(0, open_descriptors());
    EXPECT_EQ(0u, run.stats.files_copied);
    EXPECT_EQ(0u, run.stats.bytes_copied);
}

TEST_F(CopyFileTest, HolesOfASparseFileStayHoles)
{
    SKIP_WITHOUT(feature_t::sparse_files);
    // 60 MiB of which 4 KiB hold data, in the middle; the end is a hole too.
    const std::uint64_t size = 60ull << 20;
    const std::string data = stamped(4096, 1);
    for (const bool in_kernel : {true, false}) {
        SCOPED_TRACE(in_kernel ? "in the kernel" : "through the copy buffer");
        fault_plan = fault_plan_t{};
        if (!in_kernel)
            fault_plan.fail(fault_op_t::copy_range, "");
        ASSERT_TRUE(make_sparse_file(src("sparse.bin"), size, data, 30 << 20));
        const std::uint64_t source_bytes = allocated_bytes(src("sparse.bin"));
        if (source_bytes >= size)
            GTEST_SKIP() << "this file system keeps no holes";

        ASSERT_EQ(0, copy("sparse.bin"));
        EXPECT_EQ(size, std::filesystem::file_size(fs_path(dst("sparse.bin"))));
        EXPECT_LE(allocated_bytes(dst("sparse.bin")), source_bytes + 8 * 512) << "the holes were filled";
        const std::string bytes = tree.read("dst/sparse.bin");
        EXPECT_EQ(data, bytes.substr(30 << 20, data.size()));
        EXPECT_EQ(std::string::npos, bytes.substr(0, 30 << 20).find_first_not_of('\0'));
        EXPECT_EQ(size, run.stats.bytes_copied / (in_kernel ? 1 : 2));
    }
}

}  // namespace

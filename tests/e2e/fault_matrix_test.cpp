// Whole runs that meet a hostile system: full disks, files and directories
// that cannot be read, written or removed, names of every shape, and links
// that lead out of the two trees. After each run the console, the log, the
// exit code and the whole destination tree are checked.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include "e2e/run_binary.h"
#include "e2e/scratch_run.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/linux_tools.h"
#include "support/scoped_tmpfs.h"
#include "support/temp_tree.h"

namespace {

constexpr std::size_t CHUNK = 65536;  // the -b65536 of these runs

class FaultMatrix : public ScratchRunTest {
  protected:
    std::string log() const { return tree.read("run.log"); }
};

// The lines of a run before its summary, without the figures of its copies.
std::string without_figures(std::string out)
{
    out = before_summary(out);
    for (std::size_t at; (at = out.find("%\b\b\b\b")) != std::string::npos;)
        out.erase(at - 3, 8);
    return out;
}

// What a dry run showed is what its real run then showed: the same lines
// (without the figures of the copies), the same counts in the summary, the
// same error lines and exit code.
void expect_foreseen(const run_result_t& dry, const run_result_t& real)
{
    const std::string simulated = without_figures(dry.out);
    const std::string dry_line = "Simulazione: nessuna modifica\n";
    ASSERT_EQ(BANNER + dry_line, simulated.substr(0, BANNER.size() + dry_line.size()));
    EXPECT_EQ(without_figures(real.out), BANNER + simulated.substr(BANNER.size() + dry_line.size()));
    const auto counts = [](const std::string& out) { return last_line(out).substr(0, last_line(out).find(" , ")); };
    EXPECT_EQ(counts(real.out), counts(dry.out));
    EXPECT_EQ(real.err, dry.err);
    EXPECT_EQ(real.code, dry.code);
}

// --- Full disks ---------------------------------------------------------

TEST_F(FaultMatrix, FullDiskInTheMiddleOfALargeCopyKeepsTheOldCopyAndTheRunGoesOn)
{
    tree.dir("dst");
    const ScopedTmpfs disk(tree.path("dst"), "size=256k");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
    const std::size_t big_size = 1 << 20;
    tree.file("src/big.bin", stamped(big_size, 1));
    tree.file("src/more/a.txt", "a");
    // The old copy takes 16 pages of the 64, so that the room left is whole
    // chunks, whether the kernel or the copy buffer moves them.
    tree.file("dst/big.bin", stamped(CHUNK, 99));
    const std::vector<std::string> old_big = snapshot(tree.path("dst"));

    // The chunks that fit are shown; the first that does not fit ends the copy.
    const std::uint64_t fitting = disk.room() / CHUNK;
    ASSERT_GT(fitting, 0u);
    ASSERT_LT(fitting * CHUNK, big_size);
    std::string figures;
    for (std::uint64_t chunk = 1; chunk <= fitting; ++chunk)
        figures += formatted("%03lu%%\b\b\b\b", static_cast<unsigned long>(chunk * CHUNK / (big_size / 100)));

    const run_result_t result = run({"-v2", "-b65536", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures(error_line(ENOSPC, "dst/big.bin")), result.err);
    const std::string walk = copy_announced("src/big.bin", big_size, "dst/big.bin") + figures + "\n" +
                             dir_created("dst/more") + copied("src/more/a.txt", 1, "dst/more/a.txt");
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(has_summary(result.out, 1, 1));

    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) {
        return line.starts_with("d more ") || line.starts_with("f more/");
    });
    EXPECT_EQ(old_big, after);
    EXPECT_EQ("a", tree.read("dst/more/a.txt"));
    EXPECT_EQ((std::vector<std::string>{"big.bin", "more"}), tree.names("dst"));

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(ENOSPC, "dst/big.bin"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 1))) << text;
    EXPECT_TRUE(contains(text, footer_line("File copiati\t\t", 1))) << text;
    EXPECT_TRUE(contains(text, footer_line("Byte copiati\t\t", 1))) << text;
}

TEST_F(FaultMatrix, FullDiskAtTheFirstByteFailsEveryCopyButAnEmptyOne)
{
    tree.dir("dst");
    const ScopedTmpfs disk(tree.path("dst"), "size=64k");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
    tree.file("src/big.bin", stamped(200000, 2));
    tree.file("src/small.txt", "new small");
    tree.file("src/empty.txt", "");
    tree.file("src/sub/c.txt", "c");
    tree.file("dst/small.txt", "old");
    ASSERT_TRUE(fill_up(tree.path("dst/.filler")));
    const std::vector<std::string> before = snapshot(tree.path("dst"));

    const run_result_t result = run({"-v2", "-b65536", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    std::string walk;
    std::string errors;
    for (const std::string& name : delivery_order(tree.path("src"))) {
        if (name == "big.bin") {
            walk += refused("src/big.bin", 200000, "dst/big.bin");
            errors += error_line(ENOSPC, "dst/big.bin");
        } else if (name == "small.txt") {
            walk += refused("src/small.txt", 9, "dst/small.txt");
            errors += error_line(ENOSPC, "dst/small.txt");
        } else if (name == "empty.txt") {
            walk += copied("src/empty.txt", 0, "dst/empty.txt");
        }
    }
    walk += dir_created("dst/sub") + refused("src/sub/c.txt", 1, "dst/sub/c.txt");
    errors += error_line(ENOSPC, "dst/sub/c.txt");
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(has_summary(result.out, 1, 0));
    EXPECT_EQ(with_failures(errors), result.err);

    // What was there stays; only the empty file and the directory are new.
    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) {
        return line.starts_with("f empty.txt ") || line.starts_with("d sub ");
    });
    EXPECT_EQ(before, after);
    EXPECT_EQ((std::vector<std::string>{".filler", "empty.txt", "small.txt", "sub"}), tree.names("dst"));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst/sub"));

    const std::string text = log();
    EXPECT_EQ(6, count_of(text, LOG_RECORD));
    for (const char* path : {"dst/big.bin", "dst/small.txt", "dst/sub/c.txt"})
        EXPECT_TRUE(contains(text, log_detail(ENOSPC, path))) << path;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 3))) << text;
    EXPECT_TRUE(contains(text, footer_line("File copiati\t\t", 1))) << text;
}

TEST_F(FaultMatrix, LogOnAFullDiskIsReportedOnceAndTurnedOffWhileTheRunGoesOn)
{
    tree.dir("logs");
    const ScopedTmpfs disk(tree.path("logs"), "size=64k");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
    ASSERT_TRUE(fill_up(tree.path("logs/.filler")));
    tree.file("src/a.txt", "a");
    tree.file("src/clash.txt", "a file here");
    tree.file("src/sub/b.txt", "bb");
    tree.dir("dst/clash.txt");   // kept by -p: the copy over it fails
    tree.file("dst/extra.txt", "kept by -p");

    const run_result_t result = run({"-v2", "-p", "-llogs/run.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    // The header could not be written: one report, then the log is off and
    // the failed copy's record is not even tried.
    EXPECT_EQ(with_failures(error_line(ENOSPC, "logs/run.log") + "dst/clash.txt: Is a directory\n"), result.err);
    EXPECT_EQ(1, count_of(result.err, "logs/run.log"));
    EXPECT_TRUE(has_summary(result.out, 2, 3));
    EXPECT_EQ("", tree.read("logs/run.log"));
    EXPECT_EQ((std::vector<std::string>{".filler", "run.log"}), tree.names("logs"));
    EXPECT_EQ("a", tree.read("dst/a.txt"));
    EXPECT_EQ("bb", tree.read("dst/sub/b.txt"));
    EXPECT_EQ("kept by -p", tree.read("dst/extra.txt"));
    EXPECT_TRUE(tree.is_dir("dst/clash.txt"));
}

// --- Unreadable and unwritable places -------------------------------------

TEST_F(FaultMatrix, UnreadableSourceFileFailsWithPermissionDeniedAndItsOldCopyStays)
{
    if (const std::string why = why_no_privilege_drop(); !why.empty())
        GTEST_SKIP() << why;
    tree.file("src/secret.txt", "the new secret");
    tree.file("src/sub/a.txt", "a");
    tree.file("dst/secret.txt", "old secret");
    tree.dir("dst/sub");
    hand_to_nobody();
    ASSERT_EQ(0, lchown(tree.path("src/secret.txt").c_str(), 0, 0));
    tree.set_mode("src/secret.txt", 0600);
    const std::vector<std::string> before = snapshot(tree.path("dst"));

    const run_result_t result = run_as_nobody({"-v2", "-llogs/run.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures(error_line(EACCES, "src/secret.txt")), result.err);
    EXPECT_EQ(BANNER + refused("src/secret.txt", 14, "dst/secret.txt") + copied("src/sub/a.txt", 1, "dst/sub/a.txt"),
              before_summary(result.out));
    EXPECT_TRUE(has_summary(result.out, 1, 1));

    // Only sub changed: it holds the new copy.
    std::vector<std::string> after = snapshot(tree.path("dst"));
    EXPECT_EQ(3u, after.size());
    EXPECT_EQ(before[1], after[1]);
    EXPECT_EQ("f sub/a.txt ", after[2].substr(0, 12));
    EXPECT_EQ("a", tree.read("dst/sub/a.txt"));

    const std::string text = tree.read("logs/run.log");
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(EACCES, "src/secret.txt"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 1))) << text;
    EXPECT_TRUE(contains(text, footer_line("File copiati\t\t", 1))) << text;
}

TEST_F(FaultMatrix, DestinationDirectoryThatCannotBeWrittenLosesNothing)
{
    if (const std::string why = why_no_privilege_drop(); !why.empty())
        GTEST_SKIP() << why;
    tree.file("src/ok.txt", "ok");
    tree.file("src/ro/changed.txt", "the new version");
    tree.file("src/ro/new.txt", "new");
    tree.file("src/ro/sub/s.txt", "s");
    tree.file("dst/ro/changed.txt", "old version");
    tree.file("dst/ro/extra.txt", "not in the source");
    hand_to_nobody();
    // Owned by root and open to others for reading only.
    chown_tree(tree.path("dst/ro"), 0, 0);
    tree.set_mode("dst/ro", 0755);
    const std::vector<std::string> before = snapshot(tree.path("dst/ro"));
    const std::vector<std::string> whole = snapshot(tree.path("dst"));

    // A dry run first: it changes nothing, and foresees every refusal.
    const run_result_t dry = run_as_nobody({"-s", "-v2", "-llogs/run.log", "src", "dst"});
    EXPECT_EQ(whole, snapshot(tree.path("dst")));
    const run_result_t result = run_as_nobody({"-v2", "-llogs/run.log", "src", "dst"});
    expect_foreseen(dry, result);
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(before, snapshot(tree.path("dst/ro")));
    EXPECT_EQ("ok", tree.read("dst/ok.txt"));

    // The removal is announced but cannot happen, and is reported; each copy
    // fails at its hidden file (logged before its error line); the missing
    // sub-directory cannot be created, which is reported once: nothing is
    // tried inside it.
    std::string walk = copied("src/ok.txt", 2, "dst/ok.txt") + file_removed("dst/ro/extra.txt");
    std::string errors = error_line(EACCES, "dst/ro/extra.txt");
    for (const std::string& name : delivery_order(tree.path("src/ro"))) {
        if (name == "sub")
            continue;
        const std::size_t size = name == "new.txt" ? 3 : 15;
        walk += refused("src/ro/" + name, size, "dst/ro/" + name);
        errors += error_line(EACCES, "dst/ro/" + name);
    }
    walk += dir_created("dst/ro/sub");
    errors += error_line(EACCES, "dst/ro/sub");
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(has_summary(result.out, 1, 2));
    EXPECT_EQ(with_failures(errors), result.err);

    const std::string text = tree.read("logs/run.log");
    EXPECT_EQ(8, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/extra.txt"))) << text;
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/changed.txt"))) << text;
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/new.txt"))) << text;
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/sub"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 2))) << text;
    EXPECT_TRUE(contains(text, footer_line("File cancellati \t", 0))) << text;
}

// A dry run puts each change to the directory it would be made in, so that
// it shows the refusals of the real run, and nothing else: the run's own
// directory that lacks only its owner's write bit takes changes, a locked
// directory inside a tree keeps the tree (and a file of its name stays
// blocked), a read-only file system refuses root too. A directory that
// cannot be made is reported once, and nothing that was to go inside it is
// tried: in the dated mode too, with and without -d.
TEST_F(FaultMatrix, DryRunForeseesTheRefusalsOfTheRealRunAndAnUnmadeDirectoryIsReportedOnce)
{
    if (const std::string why = why_no_privilege_drop(); !why.empty())
        GTEST_SKIP() << why;
    const std::string today = day_name();
    struct refusal_case_t {
        const char* name;                                  // the folder of its two trees
        bool as_nobody;                                    // otherwise as root, on a read-only mount
        std::vector<std::string> options;
        std::vector<std::pair<int, std::string>> refused;  // each reported once, in this order
        std::function<void(const std::string& root)> setup;
    };
    const auto unwritable_sub = [&](const std::string& root) {
        for (const char* name : {"a.txt", "b.txt", "deeper/c.txt"})
            tree.file(root + "/src/ro/sub/" + name, name);
        tree.dir(root + "/dst/" + today + "/ro");
        chown_tree(tree.path(root), NOBODY, NOBODY);
        chown_tree(tree.path(root + "/dst/" + today + "/ro"), 0, 0);
    };
    const std::vector<refusal_case_t> cases = {
        {"own", true, {}, {{EACCES, "own/dst/gone/locked/x.txt"}, {EISDIR, "own/dst/gone"}},
         [&](const std::string& root) {
             tree.file(root + "/src/mine/a.txt", "a");
             tree.file(root + "/src/gone", "a file where a directory is");
             tree.file(root + "/dst/mine/extra.txt", "x");
             tree.file(root + "/dst/gone/locked/x.txt", "x");
             chown_tree(tree.path(root), NOBODY, NOBODY);
             chown_tree(tree.path(root + "/dst/gone/locked"), 0, 0);
             tree.set_mode(root + "/dst/mine", 0555);
         }},
        {"dated", true, {"-m3"}, {{EACCES, "dated/dst/" + today}},
         [&](const std::string& root) {
             tree.file(root + "/src/sub/a.txt", "a");
             tree.dir(root + "/dst");
             chown_tree(tree.path(root + "/src"), NOBODY, NOBODY);
         }},
        {"datedsub", true, {"-m3"}, {{EACCES, "datedsub/dst/" + today + "/ro/sub"}}, unwritable_sub},
        {"needed", true, {"-m3", "-d"}, {{EACCES, "needed/dst/" + today + "/ro/sub"}}, unwritable_sub},
        {"readonly", false, {},
         {{EROFS, "readonly/dst/gone/g.txt"}, {EROFS, "readonly/dst/gone"}, {EROFS, "readonly/dst/extra.txt"},
          {EROFS, "readonly/dst/new.txt"}, {EROFS, "readonly/dst/sub"}},
         [&](const std::string& root) {
             tree.file(root + "/src/new.txt", "n");
             tree.file(root + "/src/sub/s.txt", "s");
             tree.dir(root + "/dst");
         }},
    };
    tree.set_mode("", 0755);
    for (const refusal_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = c.name;
        c.setup(root);
        std::optional<ScopedTmpfs> disk;
        if (!c.as_nobody) {
            disk.emplace(tree.path(root + "/dst"), "size=64k");
            if (!disk->mounted())
                GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk->error();
            tree.file(root + "/dst/extra.txt", "x");
            tree.file(root + "/dst/gone/g.txt", "g");
            ASSERT_TRUE(disk->make_read_only());
        }
        std::vector<std::string> args = c.options;
        for (const std::string& arg : {std::string("-v2"), root + "/src", root + "/dst"})
            args.push_back(arg);
        const auto start = [&](const std::vector<std::string>& with) {
            return c.as_nobody ? run_as_nobody(with) : run(with);
        };
        const std::vector<std::string> before = snapshot(tree.path(root + "/dst"));
        std::vector<std::string> simulated = args;
        simulated.insert(simulated.begin(), "-s");
        const run_result_t dry = start(simulated);
        EXPECT_EQ(before, snapshot(tree.path(root + "/dst")));
        const run_result_t real = start(args);
        if (day_name() != today)
            GTEST_SKIP() << "the day changed during the test";
        expect_foreseen(dry, real);
        std::string errors;
        for (const auto& [error, path] : c.refused)
            errors += error_line(error, path);
        EXPECT_EQ(with_failures(errors), real.err);
    }
}

TEST_F(FaultMatrix, ImmutableDestinationFilesAreNeitherRemovedNorReplaced)
{
    struct statfs info;
    ASSERT_EQ(0, statfs(tree.path().c_str(), &info));
    constexpr long EXT_MAGIC = 0xEF53;   // ext2, ext3 and ext4 alike
    if (info.f_type != EXT_MAGIC)
        GTEST_SKIP() << "the scratch directory " << tree.path() << " is not on ext4: no immutable flag to set";
    tree.file("src/changed.txt", "the new version");
    tree.file("src/ok.txt", "ok");
    tree.file("dst/changed.txt", "old version");
    tree.file("dst/extra.txt", "not in the source");
    tree.file("dst/frozen/f.txt", "inside a frozen directory");
    ScopedImmutable frozen;
    for (const char* path : {"dst/changed.txt", "dst/extra.txt", "dst/frozen"}) {
        if (!frozen.add(tree.path(path)))
            GTEST_SKIP() << "cannot set the immutable flag on " << path << ": " << std::strerror(errno);
    }
    const std::vector<std::string> before = snapshot(tree.path("dst"));

    const run_result_t result = run({"-v2", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    // Removals are announced and reported, not counted; the frozen
    // directory refuses its own removal too. Copies reach their last step:
    // the old file cannot be replaced, and the new one is discarded.
    std::string walk = file_removed("dst/frozen/f.txt") + dir_removed("dst/frozen") + file_removed("dst/extra.txt");
    for (const std::string& name : delivery_order(tree.path("src"))) {
        if (name == "changed.txt")
            walk += copy_announced("src/changed.txt", 15, "dst/changed.txt") + "100%\b\b\b\b\n";
        else
            walk += copied("src/ok.txt", 2, "dst/ok.txt");
    }
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(has_summary(result.out, 1, 2));
    EXPECT_EQ(with_failures(error_line(EPERM, "dst/frozen/f.txt") + error_line(EPERM, "dst/frozen") +
                            error_line(EPERM, "dst/extra.txt") + error_line(EPERM, "dst/changed.txt")),
              result.err);

    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) { return line.starts_with("f ok.txt "); });
    EXPECT_EQ(before, after);
    EXPECT_EQ("ok", tree.read("dst/ok.txt"));
    EXPECT_EQ((std::vector<std::string>{}), hidden_copies(tree.path("dst")));

    const std::string text = log();
    EXPECT_EQ(8, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(EPERM, "dst/changed.txt"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File cancellati \t", 0))) << text;
    EXPECT_TRUE(contains(text, footer_line("Directory cancellate \t", 0))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 1))) << text;
}

// --- Names --------------------------------------------------------------

TEST_F(FaultMatrix, NamesOfAnyBytesAreCopiedRemovedAndReportedAsTheyAre)
{
    // 255 bytes is the most a name may have: a longer one cannot be created
    // in the source, so there is nothing to run on.
    const std::string long_file = std::string(251, 'n') + ".txt";
    const std::string long_dir = std::string(255, 'D');
    ASSERT_EQ(255u, long_file.size());
    const std::vector<std::pair<std::string, std::string>> files = {
        {"with space.txt", "space"},
        {"new\nline.txt", "newline"},
        {"back\\slash.txt", "backslash"},
        {"\xff\xfe-not-utf8.txt", "bad utf-8"},
        {"tab\there", "tab"},
        {long_file, "longest name"},
    };
    for (const auto& [name, bytes] : files)
        tree.file("src/" + name, bytes);
    tree.file("src/" + long_dir + "/in\nside.txt", "deep");
    tree.file("src/dir with\nnewline/\\x", "x");
    tree.file("src/link\nname.txt", "refused");
    tree.file("dst/old\nextra", "gone");
    tree.file("dst/\xc3(-extra", "gone");
    tree.file("dst/" + std::string(255, 'x'), "gone");
    tree.file("dst/stale\\dir/f", "gone");
    tree.file("outside.txt", "outside");
    tree.link("dst/link\nname.txt", "../outside.txt");

    const run_result_t result = run({"-v2", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures(error_line(ELOOP, "dst/link\nname.txt")), result.err);
    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(contains(result.out, copied("src/" + name, bytes.size(), "dst/" + name))) << name;
        EXPECT_EQ(bytes, tree.read("dst/" + name)) << name;
    }
    for (const std::string& name : {std::string("old\nextra"), std::string("\xc3(-extra"), std::string(255, 'x')})
        EXPECT_TRUE(contains(result.out, file_removed("dst/" + name))) << name;
    EXPECT_TRUE(contains(result.out, file_removed("dst/stale\\dir/f")));
    EXPECT_TRUE(contains(result.out, dir_removed("dst/stale\\dir")));
    EXPECT_TRUE(contains(result.out, dir_created("dst/" + long_dir)));
    // A long path keeps its start and its last component, with dots between.
    const std::string deep = long_dir + "/in\nside.txt";
    EXPECT_TRUE(contains(result.out, copied("src/" + deep, 4, "dst/" + deep)));
    EXPECT_EQ("src/" + std::string(38, 'D') + ".../in\\012side.txt", fitted("src/" + deep));
    // Control characters are shown escaped, so that no name drives the
    // terminal or breaks a line; the names on disk are untouched.
    EXPECT_TRUE(contains(result.out, "Da\tsrc/new\\012line.txt ")) << result.out;
    EXPECT_FALSE(contains(result.out, "new\nline")) << result.out;
    // A 255-byte last component shows as its last 60 bytes.
    EXPECT_TRUE(contains(result.out, "Da\t" + long_file.substr(long_file.size() - 60) + "    12 BYTE\n"));
    EXPECT_TRUE(has_summary(result.out, 8, 5 + 7 + 9 + 9 + 3 + 12 + 4 + 1));

    std::vector<std::string> source = describe_tree(tree.path("src"));
    std::erase_if(source, [](const std::string& line) { return contains(line, "link\\x0aname.txt"); });
    EXPECT_EQ(source, describe_tree(tree.path("dst")));
    EXPECT_EQ("../outside.txt", std::filesystem::read_symlink(tree.path("dst/link\nname.txt")).string());
    EXPECT_EQ("outside", tree.read("outside.txt"));

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(ELOOP, "dst/link\nname.txt"))) << text;

    // Compared byte for byte, every name now has its twin: nothing moves.
    const run_result_t again = run({"-v2", "src", "dst"});
    EXPECT_EQ(2, again.code);
    EXPECT_EQ(with_failures(error_line(ELOOP, "dst/link\nname.txt")), again.err);
    EXPECT_EQ(BANNER + refused("src/link\nname.txt", 7, "dst/link\nname.txt"), before_summary(again.out));
}

// --- Links ----------------------------------------------------------------

TEST_F(FaultMatrix, LinksInBothTreesAreNeverFollowedNorRemoved)
{
    tree.file("outside/victim.txt", "outside the two trees");
    tree.file("outside/inner/deep.txt", "deep outside");
    tree.file("src/a.txt", "source a");
    tree.file("src/c.txt", "c");
    tree.file("src/sub/b.txt", "b");
    tree.file("src/d/e.txt", "e");
    tree.link("src/loop_a", "loop_b");
    tree.link("src/loop_b", "loop_a");
    tree.link("src/out_dir", "../outside");
    tree.link("src/out_file", "../outside/victim.txt");
    tree.link("src/d/up", "..");
    tree.link("dst/a.txt", "../outside/victim.txt");
    tree.link("dst/sub", "../outside/inner");
    tree.link("dst/into_source", "../src");
    tree.link("dst/out_dir", "../outside");
    tree.link("dst/loop_a", "loop_b");
    tree.link("dst/loop_b", "loop_a");
    tree.link("dst/dangling", "nowhere");
    const std::vector<std::string> outside_before = snapshot(tree.path("outside"));
    const std::vector<std::string> source_before = snapshot(tree.path("src"));
    std::vector<std::string> links_before = snapshot(tree.path("dst"));
    AccessWatch watch(tree.path("outside"));
    ASSERT_TRUE(watch.working()) << std::strerror(errno);

    const run_result_t result = run({"-v2", "-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ((std::vector<std::string>{}), watch.events());
    // The watch does see a read there.
    EXPECT_EQ("outside the two trees", tree.read("outside/victim.txt"));
    EXPECT_FALSE(watch.events().empty());
    EXPECT_EQ(outside_before, snapshot(tree.path("outside")));
    EXPECT_EQ(source_before, snapshot(tree.path("src")));

    // A link where the source has a file is refused, one where it has a
    // directory is no directory; both stay, as every other link does.
    EXPECT_EQ(with_failures(error_line(ELOOP, "dst/a.txt") + "dst/sub - Not directory\n"), result.err);
    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) { return line[0] != 'l'; });
    EXPECT_EQ(links_before, after);
    EXPECT_EQ("c", tree.read("dst/c.txt"));
    EXPECT_EQ("e", tree.read("dst/d/e.txt"));
    EXPECT_FALSE(tree.exists("dst/d/up"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "c.txt", "d", "dangling", "into_source", "loop_a", "loop_b",
                                        "out_dir", "sub"}),
              tree.names("dst"));
    EXPECT_TRUE(contains(result.out, dir_created("dst/sub")));
    EXPECT_FALSE(contains(result.out, "Cancellat"));
    EXPECT_TRUE(has_summary(result.out, 2, 2));

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(ELOOP, "dst/a.txt"))) << text;
}

}  // namespace

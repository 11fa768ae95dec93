#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

#include "e2e/run_binary.h"
#include "support/console_text.h"
#include "support/system.h"
#include "support/temp_tree.h"

TEST(OptionsE2e, LogFileIsCreatedBeforeTheUsageText)
{
    TempTree cwd;
    const run_result_t run = run_calvento({"-lrun.log"}, cwd.path(), 20);
    EXPECT_EQ(1, run.code);
    EXPECT_EQ(BANNER + usage_text(), run.out);
    EXPECT_EQ("", run.err);
    ASSERT_TRUE(cwd.exists("run.log"));
    EXPECT_EQ("", cwd.read("run.log"));   // a run refused at the usage text logs nothing

    // A log named before the size diagnostic is created as well.
    const run_result_t sizes = run_calvento({"-lsizes.log", "-*"}, cwd.path(), 20);
    EXPECT_EQ(0, sizes.code);
    EXPECT_TRUE(cwd.exists("sizes.log"));
    EXPECT_EQ("", cwd.read("sizes.log"));
}

TEST(OptionsE2e, LogInAMissingDirectoryEndsTheRun)
{
    TempTree cwd;
    const run_result_t run = run_calvento({"-l/nonexistent-dir/x.log", "a", "b"}, cwd.path(), 20);
    EXPECT_EQ(1, run.code);
    EXPECT_EQ("Impossibile aprire file di log '/nonexistent-dir/x.log'\n"
              "/nonexistent-dir/x.log: No such file or directory\n",
              run.err);
    EXPECT_EQ(BANNER, run.out);

    // Options after the failing one are never read.
    const run_result_t later = run_calvento({"-l/nonexistent-dir/x.log", "-h"}, cwd.path(), 20);
    EXPECT_EQ(1, later.code);
    EXPECT_EQ(BANNER, later.out);
    EXPECT_EQ(cwd.names(""), std::vector<std::string>{});
}

TEST(OptionsE2e, LogThatIsNoFileEndsTheRunAtOnce)
{
    // A FIFO would hold the run for ever before it said a word, with or
    // without a reader at its other end.
    TempTree cwd;
    cwd.dir("logs");
    cwd.fifo("fifo");
    cwd.fifo("read.fifo");
    const int reader = open(cwd.path("read.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int socket = make_socket(cwd.path("socket"));
    ASSERT_GE(socket, 0);
    for (const auto& [name, code] : {std::pair<std::string, int>{"logs", EISDIR}, {"fifo", ENXIO}, {"read.fifo", ENXIO},
                                     {"socket", ENXIO}}) {
        const run_result_t run = run_calvento({"-l" + name, "a", "b"}, cwd.path(), 20);
        EXPECT_EQ(1, run.code) << name;
        EXPECT_EQ("Impossibile aprire file di log '" + name + "'\n" + error_line(code, name), run.err);
        EXPECT_EQ(BANNER, run.out);
    }
    close(reader);
    close_socket(socket);

    // A character device is taken, as a log and as a list.
    cwd.file("src/a.txt", "a");
    cwd.dir("dst");
    EXPECT_TRUE(ran_cleanly(run_calvento({"-v0", "-l/dev/null", "-x@/dev/null", "src", "dst"}, cwd.path(), 20)));
    EXPECT_EQ("a", cwd.read("dst/a.txt"));
}

TEST(OptionsE2e, ExcludeIsAnnouncedOnlyAfterVerbosityFour)
{
    TempTree cwd;
    const run_result_t shown = run_calvento({"-v4", "-xfoo"}, cwd.path(), 20);
    EXPECT_EQ(1, shown.code);
    EXPECT_EQ(BANNER + "Exclude 'foo'\n" + usage_text(), shown.out);

    const run_result_t silent = run_calvento({"-xfoo", "-v4"}, cwd.path(), 20);
    EXPECT_EQ(1, silent.code);
    EXPECT_EQ(BANNER + usage_text(), silent.out);
    EXPECT_FALSE(contains(silent.out, "Exclude"));
    EXPECT_EQ("", silent.err);
}

TEST(OptionsE2e, ListFileThatCannotBeReadRefusesTheRun)
{
    // Without the names it protects, the walk would remove what they name.
    TempTree cwd;
    cwd.file("src/keep.me", "protected");
    cwd.file("dst/keep.me", "kept");
    const run_result_t run = run_calvento({"-x@keep.lts", "src", "dst"}, cwd.path(), 20);
    EXPECT_EQ("keep.lts: No such file or directory\n", run.err);
    EXPECT_EQ(BANNER, run.out);
    EXPECT_EQ(1, run.code);
    EXPECT_EQ("kept", cwd.read("dst/keep.me"));

    const run_result_t empty = run_calvento({"-X@", "-*"}, cwd.path(), 20);
    EXPECT_EQ("No such file or directory\n", empty.err);
    EXPECT_EQ(BANNER, empty.out);
    EXPECT_EQ(1, empty.code);

    // A FIFO with no writer would hold the run for ever.
    cwd.fifo("keep.fifo");
    const run_result_t fifo = run_calvento({"-x@keep.fifo", "src", "dst"}, cwd.path(), 20);
    EXPECT_EQ("keep.fifo: No such device or address\n", fifo.err);
    EXPECT_EQ(BANNER, fifo.out);
    EXPECT_EQ(1, fifo.code);
    EXPECT_EQ("kept", cwd.read("dst/keep.me"));
}

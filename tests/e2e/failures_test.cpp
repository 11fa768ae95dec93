// Whole runs that meet refused operands, unreadable or missing directories,
// paths the system refuses, and an interrupt.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e/run_binary.h"
#include "e2e/scratch_run.h"
#include "support/console_text.h"
#include "support/linux_tools.h"
#include "support/system.h"
#include "support/temp_tree.h"

namespace {

// Waits until every thread of the process `pid` has stopped: a stop signal
// reaches each thread only as it next leaves the kernel, after kill
// returned.
void wait_until_stopped(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (int tries = 0; tries < 2000; ++tries) {
        bool running = false;
        if (DIR* dir = opendir(tasks.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                const std::string stat = read_file(tasks + "/" + entry->d_name + "/stat");
                const std::size_t after = stat.rfind(')');
                running = running || (after != std::string::npos && after + 2 < stat.size() &&
                                      stat[after + 2] != 'T' && stat[after + 2] != 't');
            }
            closedir(dir);
        }
        if (!running)
            return;
        usleep(1000);
    }
}

class RunFailures : public ScratchRunTest {};

// One refused pair of operands: what to prepare, and the two operands.
struct overlap_case_t {
    std::vector<std::string> dirs;
    std::string link;           // made to point at link_target when not empty
    std::string link_target;
    std::string src;
    std::string dst;
    std::string bind_from = {};  // mounted again on bind_on when not empty
    std::string bind_on = {};
};

TEST_F(RunFailures, OverlappingOperandsAreRefusedBeforeAnythingIsDone)
{
    const std::vector<overlap_case_t> cases = {
        {{"a/b"}, "", "", "a", "a/b"},
        {{"a/b"}, "", "", "a/b", "a"},
        {{"data", "data2"}, "", "", "data", "data2"},
        {{"same"}, "", "", "same", "same"},
        {{"src/backup"}, "", "", "src", "./src/backup"},
        {{"src/inner"}, "lnk", "src/inner", "src", "lnk"},
        {{"src/inner"}, "up", "src", "src/inner", "up"},
        // A sub-directory of the other operand mounted elsewhere: ".." from
        // the root of the mount leads away from it.
        {{"src/projects/thesis", "view"}, "", "", "src", "view", "src/projects", "view"},
        {{"dst/sub", "view"}, "", "", "view", "dst", "dst/sub", "view"},
        // The source mounted inside the destination.
        {{"src/a", "dst/sub"}, "", "", "src", "dst", "src", "dst/sub"},
    };
    std::string not_mounted;
    for (const overlap_case_t& c : cases) {
        TempTree scratch;
        for (const std::string& dir : c.dirs)
            scratch.dir(dir);
        scratch.file(c.dirs.front() + "/file.txt", "f");
        if (!c.link.empty())
            scratch.link(c.link, c.link_target);
        std::optional<ScopedBindMount> mount;
        if (!c.bind_from.empty()) {
            // Only where the system tells places does a mount of a
            // sub-directory not hide the overlap.
            if (const std::string why = missing(feature_t::mount_places); !why.empty()) {
                not_mounted = why;
                continue;
            }
            mount.emplace(scratch.path(c.bind_from), scratch.path(c.bind_on));
            if (!mount->error().empty()) {
                not_mounted = mount->error();
                continue;
            }
        }
        const std::vector<std::string> before = describe_tree(scratch.path(), false);

        const run_result_t result = run_calvento({"-lrun.log", c.src, c.dst}, scratch.path(), 20);
        EXPECT_EQ(1, result.code) << c.src << " " << c.dst;
        EXPECT_EQ("Calvento: " + c.src + " e " + c.dst + "\nSono sullo stesso volume\n\a", result.err);
        EXPECT_EQ(BANNER, result.out);
        // The log was created by -l, but no block was written.
        EXPECT_TRUE(scratch.exists("run.log"));
        EXPECT_EQ("", scratch.read("run.log"));
        std::vector<std::string> after = describe_tree(scratch.path(), false);
        std::erase_if(after, [](const std::string& line) { return contains(line, "run.log"); });
        EXPECT_EQ(before, after) << c.src << " " << c.dst;
    }
    if (!not_mounted.empty())
        GTEST_SKIP() << "cases with a bind mount not run: " << not_mounted;
}

TEST_F(RunFailures, IgnoringTheOverlapCheckRuns)
{
    tree.file("a/f.txt", "f");
    tree.dir("a/b");
    // Excluding "b" keeps the walk from following its own copies downwards.
    const run_result_t nested = run({"-i", "-xb", "a", "a/b"});
    EXPECT_TRUE(ran_cleanly(nested));
    EXPECT_EQ("f", tree.read("a/b/f.txt"));

    tree.file("data/g.txt", "g");
    tree.dir("data2");
    const run_result_t prefixed = run({"-i", "data", "data2"});
    EXPECT_EQ(0, prefixed.code);
    EXPECT_EQ("g", tree.read("data2/g.txt"));
    EXPECT_TRUE(has_summary(prefixed.out, 1, 1));
}

TEST_F(RunFailures, MissingDestinationIsReportedAndNothingIsWalked)
{
    tree.file("src/a.txt", "a");
    const run_result_t result = run({"-lrun.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures("dst: No such file or directory\n"), result.err);
    EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(result.out));
    EXPECT_FALSE(tree.exists("dst"));
    const std::string log = tree.read("run.log");
    EXPECT_EQ(2, count_of(log, LOG_RECORD));
    EXPECT_TRUE(contains(log, LOG_RECORD + "Codice   2 File dst - No such file or directory\n"));
    EXPECT_TRUE(contains(log, "Directory analizzate \t:          0\n"));
}

TEST_F(RunFailures, SourceThatIsAFileIsReportedWithoutALogRecord)
{
    tree.file("notadir", "n");
    tree.dir("dst");
    const run_result_t result = run({"-lrun.log", "notadir", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures("notadir - Not directory\n"), result.err);
    EXPECT_EQ(ZERO_RATE_SUMMARY, last_line(result.out));
    EXPECT_EQ((std::vector<std::string>{}), tree.names("dst"));
    EXPECT_EQ(0, count_of(tree.read("run.log"), LOG_RECORD));
}

TEST_F(RunFailures, UnreadableSourceDirectoryLeavesItsCopyAsItWas)
{
    if (const std::string why = why_no_privilege_drop(); !why.empty())
        GTEST_SKIP() << why;

    tree.file("src/a.txt", "a");
    tree.file("src/locked/secret.txt", "s");
    tree.file("src/zz/b.txt", "b");
    tree.file("dst/locked/keep.txt", "keep");
    tree.file("dst/locked/inner/k2.txt", "k2");
    tree.file("dst/stale.txt", "stale");
    // An extra destination tree that holds a directory the run cannot list
    // keeps it, with what it holds, and says so.
    tree.file("dst/old/gone.txt", "g");
    tree.file("dst/old/closed/held.txt", "h");
    hand_to_nobody();
    // Owned by root and closed to everyone else.
    for (const char* closed : {"src/locked", "dst/old/closed"}) {
        ASSERT_EQ(0, lchown(tree.path(closed).c_str(), 0, 0));
        tree.set_mode(closed, 0);
    }
    const std::vector<std::string> kept = describe_tree(tree.path("dst/locked"));

    const run_result_t result = run_as_nobody({"-llogs/run.log", "src", "dst"});
    EXPECT_EQ(2, result.code);
    EXPECT_EQ(with_failures("dst/old/closed: Permission denied\nsrc/locked: Permission denied\n"), result.err);
    EXPECT_EQ(kept, describe_tree(tree.path("dst/locked")));
    EXPECT_EQ((std::vector<std::string>{"closed"}), tree.names("dst/old"));
    tree.set_mode("dst/old/closed", 0755);
    EXPECT_EQ("h", tree.read("dst/old/closed/held.txt"));
    EXPECT_EQ("a", tree.read("dst/a.txt"));
    EXPECT_EQ("b", tree.read("dst/zz/b.txt"));
    EXPECT_FALSE(tree.exists("dst/stale.txt"));
    EXPECT_TRUE(has_summary(result.out, 2, 2));
    const std::string log = tree.read("logs/run.log");
    EXPECT_EQ(4, count_of(log, LOG_RECORD));
    EXPECT_TRUE(contains(log, LOG_RECORD + "Codice  13 File dst/old/closed - Permission denied\n"));
    EXPECT_TRUE(contains(log, LOG_RECORD + "Codice  13 File src/locked - Permission denied\n"));
    EXPECT_TRUE(contains(log, "File cancellati \t:          2\n"));
}

TEST_F(RunFailures, InterruptDuringACopyKeepsTheOldFileAndLeavesNoTemporary)
{
    tree.dir("src");
    // Large but sparse: it reads fast and costs no disk; a small buffer makes
    // the copy long enough to be interrupted halfway.
    const int fd = open(tree.path("src/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 2LL * 1024 * 1024 * 1024));
    close(fd);

    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        tree.file("dst/big.bin", "the previous copy");
        calvento_process_t process;
        ASSERT_TRUE(start_calvento({"-b4096", "src", "dst"}, tree.path(), &process));
        const bool copying = wait_for_output(&process, "A\t", 20);
        kill(process.pid, signal);
        const run_result_t result = finish_calvento(&process, 20);
        ASSERT_TRUE(copying) << result.out << result.err;

        EXPECT_EQ(1, result.code) << signal;
        EXPECT_FALSE(contains(result.out, "file copiato(i)"));
        EXPECT_EQ((std::vector<std::string>{"big.bin"}), tree.names("dst")) << signal;
        EXPECT_EQ("the previous copy", tree.read("dst/big.bin")) << signal;
    }
}

TEST_F(RunFailures, ASecondRunOntoADestinationInUseIsRefusedBeforeAnythingIsDone)
{
    tree.dir("src");
    tree.file("src/small.txt", "s");
    tree.dir("dst");
    // A copy long enough to be caught under way, as in the interrupt test.
    const int fd = open(tree.path("src/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 2LL * 1024 * 1024 * 1024));
    close(fd);

    calvento_process_t first;
    ASSERT_TRUE(start_calvento({"-b4096", "-lrun.log", "src", "dst"}, tree.path(), &first));
    const bool copying = wait_for_output(&first, "A\t", 20);
    kill(first.pid, SIGSTOP);
    wait_until_stopped(first.pid);
    const std::string log = tree.read("run.log");
    const std::vector<std::string> before = describe_tree(tree.path("dst"), false);

    // The same destination, also in the dated mode (its operand is what is
    // in use, not the dated directory): refused, nothing logged or made.
    const run_result_t second = run({"-m3", "-xbig.bin", "-lrun.log", "src", "dst"});
    // A dry run changes nothing and is let through.
    const run_result_t dry = run({"-s", "-xbig.bin", "-lrun.log", "src", "dst"});
    const std::string log_after = tree.read("run.log");
    const std::vector<std::string> after = describe_tree(tree.path("dst"), false);

    kill(first.pid, SIGTERM);
    kill(first.pid, SIGCONT);
    const run_result_t ended = finish_calvento(&first, 20);
    ASSERT_TRUE(copying) << ended.out << ended.err;
    EXPECT_EQ(1, ended.code);

    EXPECT_EQ(1, second.code);
    EXPECT_EQ("Calvento: dst e' in uso da un'altra esecuzione\n", second.err);
    EXPECT_EQ(BANNER, second.out);
    EXPECT_EQ(log, log_after);
    EXPECT_EQ(before, after);
    EXPECT_TRUE(ran_cleanly(dry));
    EXPECT_TRUE(contains(dry.out, "Simulazione: nessuna modifica\n"));

    // The lock ends with the run that held it, however it ended.
    const run_result_t third = run({"-xbig.bin", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(third));
    EXPECT_EQ("s", tree.read("dst/small.txt"));
}

// The deep tree is built and removed relative to open directories: its full
// paths are longer than the system accepts.
int make_and_enter(int parent, const std::string& name)
{
    if (mkdirat(parent, name.c_str(), 0755) != 0)
        return -1;
    return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY);
}

bool write_at(int dir, const char* name, const std::string& bytes)
{
    const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool done = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return done;
}

std::string read_at(int dir, const char* name)
{
    const int fd = openat(dir, name, O_RDONLY);
    if (fd < 0)
        return "<missing>";
    std::string bytes;
    char chunk[256];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(n));
    close(fd);
    return bytes;
}

void remove_at(int parent, const char* name)
{
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        unlinkat(parent, name, 0);
        return;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..")
            names.push_back(child);
    }
    for (const std::string& child : names)
        remove_at(dirfd(dir), child.c_str());
    closedir(dir);
    unlinkat(parent, name, AT_REMOVEDIR);
}

// Removes a deep tree when the test ends, before the scratch tree goes.
struct deep_cleanup_t {
    std::string root;
    ~deep_cleanup_t()
    {
        const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return;
        remove_at(fd, "src");
        remove_at(fd, "dst");
        close(fd);
    }
};

TEST_F(RunFailures, TreesDeeperThanAnyPathAreMirroredAndRemovedWhole)
{
    // 2,500 levels: full paths of 5,000 bytes and more, longer than the
    // system accepts, and more levels than a stack of recursive calls holds.
    const int depth = 2500;
    deep_cleanup_t cleanup{tree.path()};
    tree.file("src/top.txt", "top");
    tree.dir("dst");
    int fd = open(tree.path("src").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 1; level <= depth; ++level) {
        const int inner = make_and_enter(fd, "d");
        close(fd);
        ASSERT_GE(inner, 0) << level;
        fd = inner;
    }
    ASSERT_TRUE(write_at(fd, "deepest.txt", "deepest"));
    close(fd);

    const run_result_t result = run({"-v0", "-lrun.log", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(result));
    fd = open(tree.path("dst").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 1; level <= depth; ++level) {
        const int inner = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(inner, 0) << level;
        fd = inner;
    }
    EXPECT_EQ("deepest", read_at(fd, "deepest.txt"));
    close(fd);

    // Gone from the source, the whole copy goes, to its last level.
    fd = open(tree.path("src").c_str(), O_RDONLY | O_DIRECTORY);
    remove_at(fd, "d");
    close(fd);
    const run_result_t removal = run({"-v0", "-lrun.log", "src", "dst"});
    EXPECT_TRUE(ran_cleanly(removal));
    EXPECT_EQ((std::vector<std::string>{"top.txt"}), tree.names("dst"));
    const std::string log = tree.read("run.log");
    EXPECT_TRUE(contains(log, footer_line("Directory cancellate \t", depth))) << log;
    EXPECT_TRUE(contains(log, footer_line("File cancellati \t", 1))) << log;
}

}  // namespace

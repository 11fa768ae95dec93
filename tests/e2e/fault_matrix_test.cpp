// Whole runs that meet a hostile system: full disks, files and directories
// that cannot be read, written or removed, interrupts and kills at random
// moments, names of every shape, and links that lead out of the two trees.
// After each run the console, the log, the exit code and the whole
// destination tree are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/fs.h>
#include <map>
#include <poll.h>
#include <random>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include "e2e/run_binary.h"
#include "e2e/scratch_run.h"
#include "e2e/tree_compare.h"
#include "support/bytes.h"
#include "support/console_text.h"
#include "support/scoped_tmpfs.h"
#include "support/temp_tree.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t CHUNK = 65536;  // the -b65536 of these runs

// Calls `visit` for every entry below `root`, dot names included, with its
// path relative to `root` and its status; links are never followed.
void walk_tree(const std::string& root, const std::string& relative,
               const std::function<bool(const std::string&, const struct stat&)>& visit)
{
    const std::string here = relative.empty() ? root : root + "/" + relative;
    for (const std::string& name : delivered_names(here)) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((root + "/" + child).c_str(), &info) != 0)
            continue;
        // The visitor tells whether to go into a directory.
        if (visit(child, info) && S_ISDIR(info.st_mode))
            walk_tree(root, child, visit);
    }
}

// Everything below `root`, dot names included: directories, files with
// their bytes, modes and modification times, links with their targets.
std::vector<std::string> snapshot(const std::string& root)
{
    std::vector<std::string> lines;
    walk_tree(root, "", [&](const std::string& relative, const struct stat& info) {
        const std::string full = root + "/" + relative;
        const std::string stamp = formatted(" mode=%o mtime=%lld.%09ld", info.st_mode & 07777,
                                              static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
        if (S_ISLNK(info.st_mode))
            lines.push_back("l " + relative + " -> " + fs::read_symlink(full).string());
        else if (S_ISDIR(info.st_mode))
            lines.push_back("d " + relative + stamp);
        else
            lines.push_back("f " + relative + stamp + " " + read_file(full));
        return true;
    });
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Every name below `root` that a copy in progress uses for its hidden file.
std::vector<std::string> hidden_copies(const std::string& root)
{
    std::vector<std::string> found;
    walk_tree(root, "", [&](const std::string& relative, const struct stat&) {
        if (fs::path(relative).filename().string().rfind(".calvento-", 0) == 0)
            found.push_back(root + "/" + relative);
        return true;
    });
    return found;
}

// Fills the file system of `path` up to its last byte with the file `path`.
bool fill_up(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string block(4096, 'f');
    bool full = false;
    for (int i = 0; i < 1 << 20; ++i) {
        const ssize_t n = write(fd, block.data(), block.size());
        if (n < 0) {
            full = errno == ENOSPC;
            break;
        }
        if (n < static_cast<ssize_t>(block.size())) {
            char one = 'f';
            full = write(fd, &one, 1) < 0 && errno == ENOSPC;
            break;
        }
    }
    close(fd);
    return full;
}

// The immutable flag, as chattr +i and chattr -i set and clear it.
bool set_immutable(const std::string& path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

// Makes paths immutable and gives them back their freedom when the test
// ends, whether it passed or not, so that the scratch tree can go.
class ScopedImmutable {
  public:
    ScopedImmutable() = default;
    ~ScopedImmutable()
    {
        for (const std::string& path : paths_)
            set_immutable(path, false);
    }
    ScopedImmutable(const ScopedImmutable&) = delete;
    ScopedImmutable& operator=(const ScopedImmutable&) = delete;

    bool add(const std::string& path)
    {
        paths_.push_back(path);
        return set_immutable(path, true);
    }

  private:
    std::vector<std::string> paths_;
};

// Watches a directory tree for any access at all: an open, a read, a
// change, a listing. Set up after the test has prepared the tree.
class AccessWatch {
  public:
    explicit AccessWatch(const std::string& root)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        // All directories are found first: the search itself opens them.
        std::vector<std::string> dirs = {root};
        walk_tree(root, "", [&](const std::string& relative, const struct stat& info) {
            if (S_ISDIR(info.st_mode))
                dirs.push_back(root + "/" + relative);
            return true;
        });
        for (const std::string& dir : dirs)
            add(dir);
    }
    ~AccessWatch()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    AccessWatch(const AccessWatch&) = delete;
    AccessWatch& operator=(const AccessWatch&) = delete;
    bool working() const { return fd_ >= 0 && !dirs_.empty(); }

    // The events seen so far, as "<path> <mask>".
    std::vector<std::string> events()
    {
        std::vector<std::string> seen;
        alignas(inotify_event) char buffer[65536];
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (char* at = buffer; at < buffer + n;) {
                const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
                const std::string name = event->len > 0 ? std::string(event->name) : std::string();
                seen.push_back(dirs_[event->wd] + "/" + name + formatted(" %#x", event->mask));
                at += sizeof(inotify_event) + event->len;
            }
        }
        return seen;
    }

  private:
    void add(const std::string& dir)
    {
        const int wd = inotify_add_watch(fd_, dir.c_str(), IN_ALL_EVENTS | IN_DONT_FOLLOW);
        if (wd >= 0)
            dirs_[wd] = dir;
    }

    int fd_;
    std::map<int, std::string> dirs_;
};

class FaultMatrix : public ScratchRunTest {
  protected:
    std::string log() const { return tree.read("run.log"); }
};

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
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(error_line(ENOSPC, "dst/big.bin"), result.err);
    const std::string walk = copy_announced("src/big.bin", big_size, "dst/big.bin") + figures + "\n" +
                             dir_created("dst/more") + copied("src/more/a.txt", 1, "dst/more/a.txt");
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(is_summary(last_line(result.out), 1, 1)) << last_line(result.out);

    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) {
        return line.rfind("d more ", 0) == 0 || line.rfind("f more/", 0) == 0;
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
    EXPECT_EQ(0, result.code);
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
    EXPECT_TRUE(is_summary(last_line(result.out), 1, 0)) << last_line(result.out);
    EXPECT_EQ(errors, result.err);

    // What was there stays; only the empty file and the directory are new.
    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) {
        return line.rfind("f empty.txt ", 0) == 0 || line.rfind("d sub ", 0) == 0;
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
    EXPECT_EQ(0, result.code);
    // The header could not be written: one report, then the log is off and
    // the failed copy's record is not even tried.
    EXPECT_EQ(error_line(ENOSPC, "logs/run.log") + "dst/clash.txt: Is a directory\n", result.err);
    EXPECT_EQ(1, count_of(result.err, "logs/run.log"));
    EXPECT_TRUE(is_summary(last_line(result.out), 2, 3)) << last_line(result.out);
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
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(error_line(EACCES, "src/secret.txt"), result.err);
    EXPECT_EQ(BANNER + refused("src/secret.txt", 14, "dst/secret.txt") + copied("src/sub/a.txt", 1, "dst/sub/a.txt"),
              before_summary(result.out));
    EXPECT_TRUE(is_summary(last_line(result.out), 1, 1)) << last_line(result.out);

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

    const run_result_t result = run_as_nobody({"-v2", "-llogs/run.log", "src", "dst"});
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(before, snapshot(tree.path("dst/ro")));
    EXPECT_EQ("ok", tree.read("dst/ok.txt"));

    // The removal is announced and counted but cannot happen; each copy
    // fails at its hidden file (logged before its error line); the missing
    // sub-directory cannot be created and its descent reports it.
    std::string walk = copied("src/ok.txt", 2, "dst/ok.txt") + file_removed("dst/ro/extra.txt");
    std::string errors;
    for (const std::string& name : delivery_order(tree.path("src/ro"))) {
        if (name == "sub")
            continue;
        const std::size_t size = name == "new.txt" ? 3 : 15;
        walk += refused("src/ro/" + name, size, "dst/ro/" + name);
        errors += error_line(EACCES, "dst/ro/" + name);
    }
    walk += dir_created("dst/ro/sub");
    errors += error_line(ENOENT, "dst/ro/sub");
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(is_summary(last_line(result.out), 1, 2)) << last_line(result.out);
    EXPECT_EQ(errors, result.err);

    const std::string text = tree.read("logs/run.log");
    EXPECT_EQ(6, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/changed.txt"))) << text;
    EXPECT_TRUE(contains(text, log_detail(EACCES, "dst/ro/new.txt"))) << text;
    EXPECT_TRUE(contains(text, log_detail(ENOENT, "dst/ro/sub"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 2))) << text;
    EXPECT_TRUE(contains(text, footer_line("File cancellati \t", 1))) << text;
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
    EXPECT_EQ(0, result.code);
    // Removals are announced and counted, copies reach their last step:
    // the old file cannot be replaced, and the new one is discarded.
    std::string walk = file_removed("dst/frozen/f.txt") + dir_removed("dst/frozen") + file_removed("dst/extra.txt");
    for (const std::string& name : delivery_order(tree.path("src"))) {
        if (name == "changed.txt")
            walk += copy_announced("src/changed.txt", 15, "dst/changed.txt") + "100%\b\b\b\b\n";
        else
            walk += copied("src/ok.txt", 2, "dst/ok.txt");
    }
    EXPECT_EQ(BANNER + walk, before_summary(result.out));
    EXPECT_TRUE(is_summary(last_line(result.out), 1, 2)) << last_line(result.out);
    EXPECT_EQ(error_line(EPERM, "dst/changed.txt"), result.err);

    std::vector<std::string> after = snapshot(tree.path("dst"));
    std::erase_if(after, [](const std::string& line) { return line.rfind("f ok.txt ", 0) == 0; });
    EXPECT_EQ(before, after);
    EXPECT_EQ("ok", tree.read("dst/ok.txt"));
    EXPECT_EQ((std::vector<std::string>{}), hidden_copies(tree.path("dst")));

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(EPERM, "dst/changed.txt"))) << text;
    EXPECT_TRUE(contains(text, footer_line("File cancellati \t", 2))) << text;
    EXPECT_TRUE(contains(text, footer_line("Directory cancellate \t", 1))) << text;
    EXPECT_TRUE(contains(text, footer_line("File non copiati\t", 1))) << text;
}

// --- Interrupts and kills ---------------------------------------------------

// One source tree for every interrupted run: three large files and a few
// hundred small ones in ten directories, and the destination it meets each
// time: old versions, missing files, extra files and directories.
struct interrupt_world_t {
    TempTree tree;
    std::map<std::string, std::string> source;   // relative path -> bytes
    std::map<std::string, std::string> old;      // the destination before each run
    std::vector<std::string> described;          // describe_tree of the source
    double run_seconds = 0;                      // an uninterrupted run, from its first output
};

interrupt_world_t* world = nullptr;

void make_old_destination(const std::string& root)
{
    for (const auto& [relative, bytes] : world->old) {
        const fs::path target = root + "/" + relative;
        fs::create_directories(target.parent_path());
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << target;
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        close(fd);
    }
}

// Reads the process's output while time passes, so that a full pipe never
// holds it up.
void pass_time(calvento_process_t* process, std::chrono::microseconds delay)
{
    const auto until = std::chrono::steady_clock::now() + delay;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd fds[2] = {{process->out_fd, POLLIN, 0}, {process->err_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        std::string* sinks[2] = {&process->seen.out, &process->seen.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char chunk[65536];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0)
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            else
                return;   // the process ended
        }
    }
}

class InterruptMatrix : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        world = new interrupt_world_t;
        const std::vector<std::pair<std::string, std::size_t>> big = {
            {"big0.bin", 30u << 20}, {"d3/big1.bin", 20u << 20}, {"d6/big2.bin", 24u << 20}};
        unsigned id = 1;
        for (const auto& [name, size] : big)
            world->source[name] = stamped(size, id++);
        for (int dir = 0; dir < 10; ++dir) {
            for (int file = 0; file < 30; ++file) {
                const std::string name = formatted("d%d/f%02d.txt", dir, file);
                world->source[name] = stamped(static_cast<std::size_t>((file * 97 + dir * 13) % 3000), id++);
                if (file % 3 == 0)
                    world->old[name] = "old version of " + name;
            }
            for (int extra = 0; extra < 5; ++extra)
                world->old[formatted("d%d/extra%d.txt", dir, extra)] = "extra";
        }
        for (int file = 0; file < 10; ++file) {
            world->old[formatted("gone0/x%d.txt", file)] = "gone";
            world->old[formatted("gone1/deeper/y%d.txt", file)] = "gone";
        }
        world->old["big0.bin"] = "old big0";
        world->old["d6/big2.bin"] = "old big2";
        for (const auto& [relative, bytes] : world->source)
            world->tree.file("src/" + relative, bytes);
        world->described = describe_tree(world->tree.path("src"));

        // An uninterrupted run sets the scale of the random moments.
        for (int attempt = 0; attempt < 1; ++attempt) {
            TempTree reference;
            make_old_destination(reference.path("dst"));
            calvento_process_t process;
            if (!start_calvento({"-b65536", world->tree.path("src"), "dst"}, reference.path(), &process))
                return;
            wait_for_output(&process, BANNER, 30);
            const auto started = std::chrono::steady_clock::now();
            const run_result_t result = finish_calvento(&process, 60);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (result.code == 0 && (world->run_seconds == 0 || seconds < world->run_seconds))
                world->run_seconds = seconds;
        }
    }

    static void TearDownTestSuite()
    {
        delete world;
        world = nullptr;
    }

    // Interrupts one run with `signal` at a moment drawn from `seed`, checks
    // what it left, and completes the mirror with a second run.
    void interrupt_and_resume(int signal, unsigned seed)
    {
        SCOPED_TRACE(testing::Message() << "signal " << signal << ", seed " << seed);
        ASSERT_GT(world->run_seconds, 0.0) << "the uninterrupted run failed";
        TempTree work;
        make_old_destination(work.path("dst"));
        const std::string source = world->tree.path("src");
        const std::string dst = work.path("dst");

        std::mt19937 random(seed);
        std::uniform_int_distribution<long> moment(0, static_cast<long>(world->run_seconds * 0.7e6));
        const std::chrono::microseconds delay(moment(random));
        calvento_process_t process;
        ASSERT_TRUE(start_calvento({"-b65536", "-lrun.log", source, "dst"}, work.path(), &process));
        // The first output comes after the handlers are in place.
        const bool started = wait_for_output(&process, BANNER, 30);
        pass_time(&process, delay);
        kill(process.pid, signal);
        const run_result_t result = finish_calvento(&process, 30);
        ASSERT_TRUE(started) << result.out << result.err;

        const bool finished_first = contains(result.out, "file copiato(i)");
        if (finished_first) {
            EXPECT_EQ(0, result.code);
            ++finished_before_signal;
        } else {
            EXPECT_EQ(signal == SIGKILL ? 128 + SIGKILL : 1, result.code);
            ++interrupted;
        }
        EXPECT_EQ("", result.err);
        // A run stopped halfway leaves its header and no footer.
        const std::string text = work.read("run.log");
        EXPECT_EQ(0u, text.find(BANNER)) << text;
        EXPECT_EQ(finished_first, contains(text, "\nFine\t\t\t: ")) << text;
        EXPECT_EQ(0, count_of(text, LOG_RECORD + "Codice"));

        // A hidden copy may outlive only a kill, and only in the instant in
        // which a complete copy is being put in place.
        for (const std::string& hidden : hidden_copies(dst)) {
            EXPECT_EQ(SIGKILL, signal) << "left behind: " << hidden;
            const std::string bytes = read_file(hidden);
            const bool complete = std::any_of(world->source.begin(), world->source.end(),
                                              [&](const auto& entry) { return entry.second == bytes; });
            EXPECT_TRUE(complete) << "partial hidden copy left behind: " << hidden;
            if (complete) {
                RecordProperty("hidden_copy_after_kill", hidden);
                std::printf("note: a kill in the instant of putting a copy in place left %s\n", hidden.c_str());
            }
        }
        // Every file is absent, its old version or the whole new one.
        walk_tree(dst, "", [&](const std::string& relative, const struct stat& info) {
            if (fs::path(relative).filename().string()[0] == '.')
                return false;
            if (!S_ISREG(info.st_mode))
                return true;
            const std::string bytes = read_file(dst + "/" + relative);
            const auto was = world->old.find(relative);
            const auto becomes = world->source.find(relative);
            const bool old_version = was != world->old.end() && was->second == bytes;
            const bool new_version = becomes != world->source.end() && becomes->second == bytes;
            EXPECT_TRUE(old_version || new_version) << relative << " holds " << bytes.size() << " bytes";
            return true;
        });

        const run_result_t resumed = run_calvento({"-b65536", source, "dst"}, work.path(), 60);
        EXPECT_EQ(0, resumed.code);
        EXPECT_EQ("", resumed.err);
        EXPECT_EQ(world->described, describe_tree(dst));
        if (signal != SIGKILL) {
            EXPECT_EQ((std::vector<std::string>{}), hidden_copies(dst));
        }
    }

    // Three interrupted runs per signal; a run that a busy machine let
    // finish before its signal is checked all the same, and the next seed
    // is drawn.
    void run_seeds(int signal)
    {
        for (unsigned seed : {11u, 23u, 37u, 41u, 53u, 67u}) {
            if (interrupted == 3)
                break;
            interrupt_and_resume(signal, seed * 100 + static_cast<unsigned>(signal));
        }
        RecordProperty("runs_interrupted", interrupted);
        EXPECT_GE(interrupted, 2) << finished_before_signal << " runs ended before their signal";
    }

    int interrupted = 0;
    int finished_before_signal = 0;
};

TEST_F(InterruptMatrix, InterruptAtRandomMomentsLeavesOnlyWholeFilesAndExitsWithOne)
{
    run_seeds(SIGINT);
}

TEST_F(InterruptMatrix, TerminationAtRandomMomentsLeavesOnlyWholeFilesAndExitsWithOne)
{
    run_seeds(SIGTERM);
}

TEST_F(InterruptMatrix, KillAtRandomMomentsLeavesOnlyWholeFilesAndNoPartialHiddenCopy)
{
    run_seeds(SIGKILL);
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
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(error_line(ELOOP, "dst/link\nname.txt"), result.err);
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
    EXPECT_EQ("src/" + std::string(41, 'D') + ".../in\nside.txt", fitted("src/" + deep));
    // A 255-byte last component shows as its last 60 bytes.
    EXPECT_TRUE(contains(result.out, "Da\t" + long_file.substr(long_file.size() - 60) + "    12 BYTE\n"));
    EXPECT_TRUE(is_summary(last_line(result.out), 8, 5 + 7 + 9 + 9 + 3 + 12 + 4 + 1)) << last_line(result.out);

    std::vector<std::string> source = describe_tree(tree.path("src"));
    std::erase_if(source, [](const std::string& line) { return contains(line, "link\\x0aname.txt"); });
    EXPECT_EQ(source, describe_tree(tree.path("dst")));
    EXPECT_EQ("../outside.txt", fs::read_symlink(tree.path("dst/link\nname.txt")).string());
    EXPECT_EQ("outside", tree.read("outside.txt"));

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(ELOOP, "dst/link\nname.txt"))) << text;

    // Compared byte for byte, every name now has its twin: nothing moves.
    const run_result_t again = run({"-v2", "src", "dst"});
    EXPECT_EQ(0, again.code);
    EXPECT_EQ(error_line(ELOOP, "dst/link\nname.txt"), again.err);
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
    EXPECT_EQ(0, result.code);
    EXPECT_EQ((std::vector<std::string>{}), watch.events());
    // The watch does see a read there.
    EXPECT_EQ("outside the two trees", tree.read("outside/victim.txt"));
    EXPECT_FALSE(watch.events().empty());
    EXPECT_EQ(outside_before, snapshot(tree.path("outside")));
    EXPECT_EQ(source_before, snapshot(tree.path("src")));

    // A link where the source has a file is refused, one where it has a
    // directory is no directory; both stay, as every other link does.
    EXPECT_EQ(error_line(ELOOP, "dst/a.txt") + "dst/sub - Not directory\n", result.err);
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
    EXPECT_TRUE(is_summary(last_line(result.out), 2, 2)) << last_line(result.out);

    const std::string text = log();
    EXPECT_EQ(2, count_of(text, LOG_RECORD));
    EXPECT_TRUE(contains(text, log_detail(ELOOP, "dst/a.txt"))) << text;
}

}  // namespace

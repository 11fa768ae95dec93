// The console at each display level and the log of successive runs, byte
// for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/run_binary.h"
#include "support/console_text.h"
#include "support/temp_tree.h"

namespace {

// The small tree of these tests, one file and at most one directory per
// directory: src/a.txt, src/sub/b.txt; dst/a.txt (stale), dst/old.txt (extra).
class ConsoleOutput : public testing::Test {
  protected:
    void SetUp() override
    {
        const std::time_t when = local_moment(2024, 3, 5, 10, 0, 0);
        tree.file("src/a.txt", "hello");
        tree.file("src/sub/b.txt", "x");
        tree.file("dst/a.txt", "old");
        tree.file("dst/old.txt", "zz");
        for (const char* name : {"src/a.txt", "src/sub/b.txt", "dst/a.txt", "dst/old.txt"})
            tree.set_mtime(name, when);
        src_order = delivery_order(tree.path("src"));
        dst_order = delivery_order(tree.path("dst"));
    }

    // One listing line: the path, the exclusion searches of each entry
    // (two while the principal pair is worked, one below it), the count.
    std::string scan(int level, const std::string& path, const std::vector<std::string>& names, int searches,
                     unsigned count) const
    {
        if (level < 4)
            return "";
        std::string line = "Scan\t" + column(path) + "      ";
        if (level >= 5) {
            for (const std::string& name : names) {
                for (int i = 0; i < searches; ++i)
                    line += "Exclude_search: " + name + " - Not Found\n";
            }
        }
        return line + formatted("%5u\b\b\b\b\b%5u\n", count, count);
    }

    // Everything a run of this tree prints at `level`, except the summary line.
    std::string expected_before_summary(int level) const
    {
        std::string out = BANNER;
        if (level >= 4)
            out += "Buffer size 1048576 bytes\n";
        if (level >= 9)
            out += "calvento src dst\n";
        if (level >= 3)
            out += "Source\tsrc/\nDest\tdst/\n";
        if (level == 1)
            out += column("src") + "\r";
        out += scan(level, "src/", src_order, 2, 1);
        out += scan(level, "dst/", dst_order, 2, 2);
        if (level >= 1)
            out += file_removed("dst/old.txt");
        if (level >= 5)
            out += file_removed("dst/a.txt");
        if (level >= 1)
            out += copied("src/a.txt", 5, "dst/a.txt");
        if (level >= 2)
            out += dir_created("dst/sub");
        if (level >= 3)
            out += "Source\tsrc/sub/\nDest\tdst/sub/\n";
        if (level == 1)
            out += column("src/sub") + "\r";
        out += scan(level, "src/sub/", {"b.txt"}, 1, 1);
        out += scan(level, "dst/sub/", {}, 1, 0);
        if (level >= 1)
            out += copied("src/sub/b.txt", 1, "dst/sub/b.txt");
        return out;
    }

    TempTree tree;
    std::vector<std::string> src_order;
    std::vector<std::string> dst_order;
};

TEST_F(ConsoleOutput, LevelZeroPrintsOnlyTheBanner)
{
    const run_result_t result = run_calvento({"-v0", "src", "dst"}, tree.path(), 30);
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(BANNER, result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ("hello", tree.read("dst/a.txt"));
}

TEST_F(ConsoleOutput, EachLevelPrintsExactlyItsLines)
{
    ASSERT_EQ(2u, src_order.size());
    for (const int level : {1, 2, 3, 4, 5, 9}) {
        const std::string option = "-v" + std::to_string(level);
        const run_result_t result = run_calvento({option, "src", "dst"}, tree.path(), 30);
        EXPECT_TRUE(ran_cleanly(result)) << option;
        EXPECT_TRUE(has_summary(result.out, 2, 6)) << option;
        EXPECT_EQ(expected_before_summary(level), before_summary(result.out)) << option;
        // Every level starts from the same destination.
        tree.file("dst/a.txt", "old");
        tree.file("dst/old.txt", "zz");
        tree.set_mtime("dst/a.txt", local_moment(2024, 3, 5, 10, 0, 0));
        std::filesystem::remove_all(tree.path("dst/sub"));
        dst_order = delivery_order(tree.path("dst"));
    }
}

// The standard ctime text of a moment, line end included.
std::string ctime_line(std::time_t when)
{
    char text[64];
    return ctime_r(&when, text);
}

// The log of two runs over a destination where one copy always fails; the
// first run copies a.txt, the second finds it up to date.
class RunLog : public testing::Test {
  protected:
    void SetUp() override
    {
        tree.file("src/a.txt", "hello");
        tree.file("src/y", "a file that meets a directory");
        tree.file("dst/y/inside.txt", "i");
    }

    std::string run_twice()
    {
        before = std::time(nullptr);
        for (int i = 0; i < 2; ++i) {
            const run_result_t result = run_calvento({"-p", "-lrun.log", "src", "dst"}, tree.path(), 30);
            EXPECT_EQ(2, result.code);
            EXPECT_EQ(with_failures("dst/y: Is a directory\n"), result.err);
        }
        after = std::time(nullptr);
        return tree.read("run.log");
    }

    TempTree tree;
    std::time_t before = 0;
    std::time_t after = 0;
};

std::string block(unsigned long files, unsigned long bytes, const char* rate)
{
    return BANNER + "Da\t\t\t: src [src]\n" + "A\t\t\t: dst [dst]\n" + "Inizio\t\t\t: <time>\n" +
           "Errore\t\t\t: <time>\n" + "Errore\t\t\t: Codice  21 File dst/y - Is a directory\n" +
           "Fine\t\t\t: <time>\n" + "Tempo\t\t\t:       0.10 secondo(i)\n" +
           "Directory analizzate \t:          1\n" + "Directory cancellate \t:          0\n" +
           "Directory create \t:          0\n" + "File analizzati \t:          2\n" +
           "File cancellati \t:          0\n" + "File non copiati\t:          1\n" +
           footer_line("File copiati\t\t", files) + footer_line("Byte copiati\t\t", bytes) +
           "Byte al secondo\t\t: " + rate + "\n\n";
}

TEST_F(RunLog, TwoRunsAppendTwoCompleteBlocks)
{
    static const std::regex time_text(
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    static const std::regex start_and_end("Inizio\t\t\t: ([^\n]*)\n(?:Errore[^\n]*\n)*Fine\t\t\t: ([^\n]*)\n");

    // A run that crosses a second boundary shows another time: try again.
    std::string log;
    bool within_seconds = false;
    for (int attempt = 0; attempt < 3 && !within_seconds; ++attempt) {
        std::remove(tree.path("run.log").c_str());
        tree.file("dst/a.txt", "old");  // another size: copied by the first run
        log = run_twice();
        within_seconds = true;
        int blocks = 0;
        for (auto it = std::sregex_iterator(log.begin(), log.end(), start_and_end); it != std::sregex_iterator();
             ++it, ++blocks) {
            if ((*it)[1] != (*it)[2])
                within_seconds = false;
        }
        ASSERT_EQ(2, blocks) << log;
    }
    ASSERT_TRUE(within_seconds) << log;

    EXPECT_EQ(block(1, 5, "        50") + block(0, 0, "         0"), std::regex_replace(log, time_text, "<time>\n"));
    // Every time shown is a moment of the runs.
    for (auto it = std::sregex_iterator(log.begin(), log.end(), time_text); it != std::sregex_iterator(); ++it) {
        bool known = false;
        for (std::time_t when = before; when <= after; ++when)
            known = known || it->str() == ctime_line(when);
        EXPECT_TRUE(known) << it->str();
    }
}

}  // namespace

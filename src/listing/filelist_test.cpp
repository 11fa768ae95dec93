#include "listing/filelist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "listing/exclude.h"
#include "core/settings.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

std::vector<std::string> names_in(const filelist_head_t* head)
{
    std::vector<std::string> names;
    for (const filelist_t* record = head->next; record != head; record = record->next)
        names.emplace_back(record->name());
    return names;
}

// Every name the platform delivers for `path`, dot names included, in its order.
std::vector<std::string> delivered(const std::string& path)
{
    std::vector<std::string> names;
    fs_dir_t* dir = fs_dir_open(nullptr, path.c_str(), true, nullptr);
    if (dir == nullptr)
        return names;
    dos_dirent_t entry;
    while (fs_dir_next(dir, &entry) > 0)
        names.emplace_back(entry.name);
    fs_dir_close(dir);
    return names;
}

std::vector<std::string> without_dot_names(const std::vector<std::string>& names)
{
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        if (name[0] != '.')
            kept.push_back(name);
    }
    return kept;
}

dos_dirent_t entry_named(const char* name, std::uint64_t size = 0)
{
    dos_dirent_t entry{};
    std::snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.attr = ATTR_NORMAL;
    entry.size = size;
    return entry;
}

// The DOS bits of a listed entry as both systems tell them: the archive bit,
// which Windows sets on every file written, left out.
std::uint8_t dos_bits(std::uint8_t attr)
{
    const std::uint8_t bits = static_cast<std::uint8_t>(attr & ~ATTR_ARCHIVE);
    return bits != 0 ? bits : ATTR_NORMAL;
}

}  // namespace

class FilelistTest : public RunStateTest {
  protected:
    void TearDown() override
    {
        release(&dirs);
        release(&files);
        RunStateTest::TearDown();
    }

    // Lists `relative` (a directory of the tree) into dirs and files.
    std::uint32_t scan(const std::string& relative)
    {
        return Filelist_scan(run, dir(tree.path(relative)), dir_path(relative).c_str(), &dirs, &files, {principal},
                             &failure);
    }

    std::string dir_path(const std::string& relative) const
    {
        return tree.path(relative) + sep();
    }

    static void release(filelist_head_t* head)
    {
        Filelist_init(head);
    }

    const filelist_t* file_record(const char* name)
    {
        const filelist_t* record = Filelist_find(&files, name);
        EXPECT_NE(nullptr, record) << name;
        return record;
    }

    filelist_head_t dirs;
    filelist_head_t files;
    fs_error_t failure{-1, ERR_OTHER};
    bool principal = true;   // the principal pair, where the -X names are hidden too
};

TEST_F(FilelistTest, OperationsKeepOrderAndFindExactNames)
{
    filelist_head_t head;
    Filelist_init(&head);
    EXPECT_TRUE(Filelist_empty(&head));
    EXPECT_EQ(nullptr, Filelist_find(&head, "a"));

    const dos_dirent_t readme = entry_named("README.TXT", 12);
    const dos_dirent_t b = entry_named("b.txt", 5368709120ull);
    const dos_dirent_t a = entry_named("a.txt", 3);
    Filelist_add(&head, &readme);
    Filelist_add(&head, &b);
    Filelist_add(&head, &a);
    EXPECT_EQ((std::vector<std::string>{"README.TXT", "b.txt", "a.txt"}), names_in(&head));
    EXPECT_EQ(head.prev, Filelist_find(&head, "a.txt"));

    EXPECT_EQ(nullptr, Filelist_find(&head, "readme.txt"));
    EXPECT_EQ(nullptr, Filelist_find(&head, "README.TX"));
    EXPECT_EQ(nullptr, Filelist_find(&head, "README.TXT "));
    const filelist_t* found = Filelist_find(&head, "b.txt");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(5368709120ull, found->size);
    EXPECT_EQ(ATTR_NORMAL, found->attr);

    // Remove the middle record while walking, then the rest.
    for (filelist_t* record = head.next; record != &head;) {
        filelist_t* next = record->next;
        if (std::strcmp(record->name(), "b.txt") == 0)
            Filelist_remove(&head, record);
        record = next;
    }
    EXPECT_EQ((std::vector<std::string>{"README.TXT", "a.txt"}), names_in(&head));
    EXPECT_EQ(nullptr, Filelist_find(&head, "b.txt"));
    EXPECT_EQ(head.next, head.prev->prev);   // the links still run both ways
    // The longest name an entry holds goes into its record whole.
    const std::string longest(sizeof readme.name - 1, 'n');
    const dos_dirent_t long_entry = entry_named(longest.c_str());
    Filelist_add(&head, &long_entry);
    EXPECT_EQ((std::vector<std::string>{"README.TXT", "a.txt", longest}), names_in(&head));
    for (filelist_t* record = head.next; record != &head;) {
        filelist_t* next = record->next;
        Filelist_remove(&head, record);
        record = next;
    }
    EXPECT_TRUE(Filelist_empty(&head));
    EXPECT_EQ(nullptr, Filelist_find(&head, "a.txt"));
}

TEST_F(FilelistTest, ScanSplitsFilesAndDirectoriesInDeliveryOrder)
{
    for (const char* name : {"b.txt", "a.txt", "c.dat"})
        tree.file(std::string("d/") + name, "x");
    tree.dir("d/sub1");
    tree.dir("d/sub2");
    EXPECT_EQ(3u, scan("d"));
    EXPECT_EQ(0, failure.code);

    std::vector<std::string> want_files;
    std::vector<std::string> want_dirs;
    for (const std::string& name : without_dot_names(delivered(dir_path("d"))))
        (name.rfind("sub", 0) == 0 ? want_dirs : want_files).push_back(name);
    ASSERT_EQ(3u, want_files.size());
    EXPECT_EQ(want_files, names_in(&files));
    EXPECT_EQ(want_dirs, names_in(&dirs));
    EXPECT_EQ(2u, want_dirs.size());
    EXPECT_EQ(ATTR_DIRECTORY, Filelist_find(&dirs, "sub1")->attr);
    EXPECT_EQ("", console.both);   // verbosity 1 shows nothing
}

TEST_F(FilelistTest, EmptyDirectoryGivesEmptyListsAndNoFailure)
{
    tree.dir("empty");
    EXPECT_EQ(0u, scan("empty"));
    EXPECT_EQ(0, failure.code);
    EXPECT_TRUE(Filelist_empty(&files));
    EXPECT_TRUE(Filelist_empty(&dirs));
}

TEST_F(FilelistTest, DotNamesLinksAndSpecialFilesAreLeftOut)
{
    tree.file("d/kept.txt", "x");
    tree.dir("d/kept");
    tree.file("d/.profile", "x");
    tree.dir("d/.cache");
    tree.file("d/.cache/inside.txt", "x");
    // Each system makes what it has of links and special files.
    if (missing(feature_t::links).empty()) {
        tree.link("d/to-file", "kept.txt");
        tree.link("d/to-dir", "kept");
        tree.link("d/dangling", "nowhere");
    }
    int sock = -1;
    if (missing(feature_t::fifos).empty()) {
        tree.fifo("d/pipe");
        sock = make_socket(tree.path("d/sock"));
        ASSERT_GE(sock, 0);
    }

    EXPECT_EQ(1u, scan("d"));
    EXPECT_EQ(0, failure.code);
    EXPECT_EQ(std::vector<std::string>{"kept.txt"}, names_in(&files));
    EXPECT_EQ(std::vector<std::string>{"kept"}, names_in(&dirs));
    close_socket(sock);
}

TEST_F(FilelistTest, ExcludedNamesAreLeftOutFilesAndDirectoriesAlike)
{
    for (const char* name : {"all.txt", "principal.txt", "plain.txt"})
        tree.file(std::string("d/") + name, "x");
    tree.dir("d/all-dir");
    tree.dir("d/principal-dir");
    tree.dir("d/plain-dir");
    Exclude_arg(run, &run.exclude_all, "all.txt");
    Exclude_arg(run, &run.exclude_all, "all-dir");
    Exclude_arg(run, &run.exclude_principal, "principal.txt");
    Exclude_arg(run, &run.exclude_principal, "principal-dir");

    auto sorted = [](std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    };
    struct Case {
        bool principal;
        std::vector<std::string> want_files, want_dirs;
    };
    const Case cases[] = {
        {true, {"plain.txt"}, {"plain-dir"}},
        {false, {"plain.txt", "principal.txt"}, {"plain-dir", "principal-dir"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "principal " << c.principal);
        principal = c.principal;
        release(&files);
        release(&dirs);
        EXPECT_EQ(c.want_files.size(), scan("d"));
        EXPECT_EQ(c.want_files, sorted(names_in(&files)));
        EXPECT_EQ(c.want_dirs, sorted(names_in(&dirs)));
    }
}

TEST_F(FilelistTest, PrincipalListIsSearchedOnlyForThePrincipalPair)
{
    tree.file("d/a.txt", "x");
    Exclude_arg(run, &run.exclude_principal, "b.txt");
    settings.verbosity = 5;
    principal = false;
    scan("d");
    EXPECT_NE(std::string::npos, console.out.find("Exclude_search: a.txt - Not Found\n"));
    EXPECT_EQ(1, count_of(console.out, "Exclude_search: "));   // exclude_all only

    console = recorded_console_t{};
    release(&files);
    principal = true;
    scan("d");
    EXPECT_EQ(2, count_of(console.out, "Exclude_search: "));
    EXPECT_NE(std::string::npos,
              console.out.find("Exclude_search: a.txt - Not Found\nExclude_search: a.txt - Not Found\n"));
}

TEST_F(FilelistTest, ScanLineAtVerbosityFour)
{
    for (const char* name : {"a", "b", "c"})
        tree.file(std::string("d/") + name, "x");
    tree.dir("d/sub");
    const std::string path = dir_path("d");
    ASSERT_LE(path.size(), 60u);

    settings.verbosity = 3;
    scan("d");
    EXPECT_EQ("", console.both);

    release(&files);
    release(&dirs);
    settings.verbosity = 4;
    scan("d");
    EXPECT_EQ("Scan\t" + column(path) + "      " + "    3\b\b\b\b\b" + "    3\n", console.out);
    EXPECT_EQ("", console.err);
}

TEST_F(FilelistTest, ScanLineShortensALongPath)
{
    const std::string deep = std::string(40, 'p') + "/" + std::string(30, 'q');
    tree.file(deep + "/f", "x");
    settings.verbosity = 4;
    scan(deep);
    const std::string shown = fitted(dir_path(deep));
    ASSERT_EQ(60u, shown.size());
    EXPECT_EQ("Scan\t" + shown + "          1\b\b\b\b\b    1\n", console.out);
}

TEST_F(FilelistTest, MissingDirectoryListsAsEmpty)
{
    settings.verbosity = 4;
    EXPECT_EQ(0u, scan("missing"));
    EXPECT_EQ(0, failure.code);
    EXPECT_TRUE(Filelist_empty(&files));
    EXPECT_TRUE(Filelist_empty(&dirs));
    const std::string path = dir_path("missing");
    EXPECT_EQ("Scan\t" + column(path) + "      " + "    0\n", console.out);
    EXPECT_EQ("", console.err);

    // A plain file is no directory either.
    tree.file("plain", "x");
    release(&files);
    EXPECT_EQ(0u, scan("plain"));
    EXPECT_EQ(0, failure.code);

    // Without a place for the failure the scan still works.
    EXPECT_EQ(0u, Filelist_scan(run, nullptr, path.c_str(), &dirs, &files, {}));
}

TEST_F(FilelistTest, UnopenableDirectoryReportsItsFailure)
{
    tree.file("d/a", "x");
    fault_plan.fail(fault_op_t::list_open, dir_path("d"), sys_errors.access_denied);
    EXPECT_EQ(0u, scan("d"));
    EXPECT_EQ(sys_errors.access_denied, failure.code);
    EXPECT_TRUE(Filelist_empty(&files));
}

TEST_F(FilelistTest, ReadFailureKeepsWhatWasListedAndReportsEio)
{
    for (const char* name : {"a", "b", "c"})
        tree.file(std::string("d/") + name, "x");
    tree.dir("d/sub");
    // POSIX delivers "." and ".." too, Windows does not; they count.
    const std::vector<std::string> order = delivered(dir_path("d"));
    ASSERT_EQ(4u, without_dot_names(order).size());   // three files, one directory
    const int last = static_cast<int>(order.size()) - 1;
    for (int after : {0, 1, 3, last}) {
        SCOPED_TRACE(testing::Message() << "fails after " << after);
        release(&files);
        release(&dirs);
        close_dirs();   // a directory is listed once per handle, as the walk does
        fault_plan = fault_plan_t{};
        fault_plan.fail(fault_op_t::list_read, dir_path("d"), sys_errors.io, static_cast<std::uint64_t>(after));
        std::vector<std::string> want_files;
        std::vector<std::string> want_dirs;
        for (const std::string& name :
             without_dot_names(std::vector<std::string>(order.begin(), order.begin() + after)))
            (name == "sub" ? want_dirs : want_files).push_back(name);
        EXPECT_EQ(want_files.size(), scan("d"));
        EXPECT_EQ(sys_errors.io, failure.code);
        EXPECT_EQ(want_files, names_in(&files));
        EXPECT_EQ(want_dirs, names_in(&dirs));
    }
}

TEST_F(FilelistTest, FileRecordsCarrySizeTimeAttributesAndMode)
{
    tree.file("d/huge", "");
    std::filesystem::resize_file(fs_path(tree.path("d/huge")), 5368709120ULL);   // nothing is written
    tree.file("d/afternoon", "x");
    const std::time_t afternoon_time = local_moment(2024, 6, 15, 14, 30, 17);
    // To the tenth of a microsecond, which every system keeps.
    ASSERT_TRUE(set_exact_mtime(tree.path("d/afternoon"), afternoon_time, 123456700));
    tree.file("d/old", "x");
    tree.set_mtime("d/old", -86400L * 365 * 10);   // 1960: no DOS date can hold it
    tree.file("d/readonly", "abc");
    tree.set_mode("d/readonly", 0444);
    tree.file("d/script", "#!/bin/sh\n");
    tree.set_mode("d/script", 0755);
    tree.dir("d/sub");

    EXPECT_EQ(5u, scan("d"));
    EXPECT_EQ(0, failure.code);

    EXPECT_EQ(5368709120ull, file_record("huge")->size);

    // Times are kept exactly, before 1980 too.
    const filelist_t* afternoon = file_record("afternoon");
    EXPECT_EQ(afternoon_time, afternoon->mtime().sec);
    EXPECT_EQ(123456700u, afternoon->mtime().nsec);
    EXPECT_EQ(1u, afternoon->size);
    EXPECT_EQ(-86400L * 365 * 10, file_record("old")->mtime().sec);

    EXPECT_EQ(ATTR_NORMAL, dos_bits(file_record("script")->attr));
    EXPECT_EQ(ATTR_READONLY, dos_bits(file_record("readonly")->attr));
    EXPECT_EQ(3u, file_record("readonly")->size);

    ASSERT_NE(nullptr, Filelist_find(&dirs, "sub"));
    EXPECT_EQ(ATTR_DIRECTORY, dos_bits(Filelist_find(&dirs, "sub")->attr));
    EXPECT_EQ(nullptr, Filelist_find(&files, "sub"));
}

// What only the Windows build does: UTF-16 names and their UTF-8 text,
// drive, UNC and \\?\ spellings, DOS attributes (also on read-only
// directories), names that differ in letter case only, paths past 260
// characters, links left alone, the log's line ends, and an interrupt that
// leaves no hidden file behind.
#include "platform/windows/windows_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "core/stats.h"
#include "fileops/make_dir.h"
#include "run/overlap.h"
#include "support/run_state.h"
#include "support/system.h"
#include "sync/sync_dir.h"

namespace {

std::wstring long_form(const std::string& path)
{
    return L"\\\\?\\" + win_wide(path.c_str());
}

DWORD attributes_of(const std::string& path)
{
    return GetFileAttributesW(long_form(path).c_str());
}

void set_attributes(const std::string& path, DWORD attributes)
{
    ASSERT_TRUE(SetFileAttributesW(long_form(path).c_str(), attributes)) << path;
}

FILETIME write_time_of(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(long_form(path).c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

bool operator==(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// A file created through the wide API, so that any UTF-16 name can be made.
bool make_file(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return written == bytes.size();
}

TEST(WindowsNames, Utf16AndUtf8RoundTripEvenWithoutValidUtf16)
{
    struct Case {
        const char* what;
        std::wstring wide;
        std::string text;
    };
    const Case cases[] = {
        {"ASCII", L"bilancio.xls", "bilancio.xls"},
        {"accented", std::wstring(1, wchar_t{0xE8}), "\xC3\xA8"},
        {"CJK", std::wstring{wchar_t{0x65E5}, wchar_t{0x672C}}, "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"emoji, a surrogate pair", std::wstring{wchar_t{0xD83D}, wchar_t{0xDE00}}, "\xF0\x9F\x98\x80"},
        {"lone high surrogate", std::wstring{L'a', wchar_t{0xD800}, L'b'}, "a\xED\xA0\x80" "b"},
        {"lone low surrogate", std::wstring{wchar_t{0xDC00}}, "\xED\xB0\x80"},
        {"low before high", std::wstring{wchar_t{0xDC00}, wchar_t{0xD800}}, "\xED\xB0\x80\xED\xA0\x80"},
        {"high surrogate at the end", std::wstring{L'x', wchar_t{0xDBFF}}, "x\xED\xAF\xBF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.text, win_narrow(c.wide));
        EXPECT_TRUE(c.wide == win_wide(c.text.c_str()));
    }
    // Bytes that are no UTF-8 become U+FFFD, one for each.
    EXPECT_TRUE(std::wstring(2, wchar_t{0xFFFD}) == win_wide("\xFF\xC3"));
    EXPECT_TRUE((std::wstring{wchar_t{0xFFFD}, L'a'}) == win_wide("\xC0\x80" "a").substr(1));
}

TEST(WindowsPaths, RootsAreNeverCreated)
{
    struct Case {
        const char* path;
        std::size_t root;
    };
    const Case cases[] = {
        {"C:\\dati\\f.txt", 3},
        {"c:/dati", 3},
        {"C:", 2},
        {"D:relativo\\f", 2},
        {"\\dati", 1},
        {"\\\\server\\share\\dir\\f", 15},
        {"\\\\server\\share", 14},
        {"//server/share/dir", 15},
        {"\\\\?\\C:\\dati", 7},
        {"\\\\?\\UNC\\server\\share\\dir", 21},
        {"dati\\f", 0},
        {".\\a", 0},
        {"..\\b", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.root, root_length(c.path));
    }
    EXPECT_EQ('\\', path_separator());
    EXPECT_TRUE(is_separator('/'));
    EXPECT_TRUE(is_option_prefix('/'));
    EXPECT_TRUE(is_option_prefix('-'));
}

class WindowsRunTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        settings.verbosity = 2;
        tree.dir("src");
        tree.dir("dst");
    }

    int walk(const std::string& src, const std::string& dst)
    {
        console = recorded_console_t{};
        run.stats = run_statistics_t{};
        return sync_dir(run, changes(), src.c_str(), dst.c_str());
    }
    int walk() { return walk(tree.path("src"), tree.path("dst")); }
};

TEST_F(WindowsRunTest, DosAttributesAndTimesAreCarried)
{
    struct Case {
        const char* name;
        DWORD attributes;
    };
    const Case cases[] = {
        {"plain.txt", FILE_ATTRIBUTE_NORMAL},
        {"archive.txt", FILE_ATTRIBUTE_ARCHIVE},
        {"hidden.txt", FILE_ATTRIBUTE_HIDDEN},
        {"system.txt", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {"readonly.txt", FILE_ATTRIBUTE_READONLY},
        {"all.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
    };
    const DWORD dos = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    for (const Case& c : cases) {
        tree.file(std::string("src/") + c.name, c.name);
        tree.set_mtime(std::string("src/") + c.name, local_moment(2023, 7, 1, 9, 30, 11));
        set_attributes(tree.path(std::string("src/") + c.name), c.attributes);
    }
    tree.file("src/shown/inside.txt", "x");
    tree.file("src/secret/inside.txt", "y");
    set_attributes(tree.path("src/secret"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(8u, run.stats.files_copied);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string from = tree.path(std::string("src/") + c.name);
        const std::string to = tree.path(std::string("dst/") + c.name);
        EXPECT_EQ(attributes_of(from) & dos, attributes_of(to) & dos);
        EXPECT_TRUE(write_time_of(from) == write_time_of(to));
        EXPECT_EQ(c.name, read_file(to));
    }
    EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
              attributes_of(tree.path("dst/secret")) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(0u, attributes_of(tree.path("dst/shown")) & FILE_ATTRIBUTE_HIDDEN);

    // Nothing changed: nothing is copied. A changed read-only source
    // replaces its read-only copy.
    EXPECT_EQ(0, walk());
    EXPECT_EQ(0u, run.stats.files_copied);
    set_attributes(tree.path("src/readonly.txt"), FILE_ATTRIBUTE_NORMAL);
    tree.file("src/readonly.txt", "changed, and longer");
    set_attributes(tree.path("src/readonly.txt"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ("changed, and longer", read_file(tree.path("dst/readonly.txt")));
    EXPECT_NE(0u, attributes_of(tree.path("dst/readonly.txt")) & FILE_ATTRIBUTE_READONLY);

    // A read-only copy whose source is gone is removed all the same.
    set_attributes(tree.path("src/all.txt"), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove(fs_path(tree.path("src/all.txt")));
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_FALSE(tree.exists("dst/all.txt"));
    EXPECT_EQ(1u, run.stats.files_deleted);
}

// The read-only attribute of a directory guards the directory, not what it
// holds: its copy takes every change inside it and keeps the attribute, and
// a read-only tree that the source lacks is removed. (Wine keeps no such
// attribute on a directory, so this runs on Windows only.)
TEST_F(WindowsRunTest, ReadOnlyDirectoriesTakeEveryChangeAndStayReadOnly)
{
    tree.file("src/ro/inside.txt", "inside");
    set_attributes(tree.path("src/ro"), FILE_ATTRIBUTE_READONLY);
    if ((attributes_of(tree.path("src/ro")) & FILE_ATTRIBUTE_READONLY) == 0)
        GTEST_SKIP() << "this system keeps no read-only attribute on a directory";
    EXPECT_EQ(0, walk());
    tree.file("src/ro/new.txt", "new");
    tree.file("src/ro/inside.txt", "changed, and longer");
    tree.file("dst/ro/stale.txt", "stale");
    tree.file("dst/ro/extra/x.txt", "x");
    set_attributes(tree.path("dst/ro/extra"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ((std::vector<std::string>{"inside.txt", "new.txt"}), tree.names("dst/ro"));
    EXPECT_EQ("changed, and longer", tree.read("dst/ro/inside.txt"));
    EXPECT_NE(0u, attributes_of(tree.path("dst/ro")) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(WindowsRunTest, OperandsInEverySpellingReachTheSameTrees)
{
    tree.file("src/a.txt", "a");
    std::string forward = tree.path();
    for (char& c : forward) {
        if (c == '\\')
            c = '/';
    }
    forward[0] = static_cast<char>(forward[0] | 0x20);   // the drive in lower case
    struct Case {
        std::string src;
        std::string dst;
    };
    const Case cases[] = {
        {tree.path("src"), tree.path("dst")},
        {forward + "/src/", forward + "/dst/"},
        {"\\\\?\\" + tree.path("src"), "\\\\?\\" + tree.path("dst")},
        {".\\src", ".\\dst"},
        {"src\\..\\src", "dst"},
    };
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(fs_path(tree.path()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src + " " + c.dst);
        std::filesystem::remove(fs_path(tree.path("dst/a.txt")));
        EXPECT_EQ(0, walk(c.src, c.dst));
        EXPECT_EQ("", console.err);
        EXPECT_EQ(1u, run.stats.files_copied);
        EXPECT_EQ("a", tree.read("dst/a.txt"));
    }
    std::filesystem::current_path(previous);

    // The same directory in another letter case, or through \\?\, is the
    // same directory: a destination inside the source is refused.
    std::string upper = tree.path("src");
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_TRUE(operands_overlap(tree.path("src").c_str(), (upper + "\\copia").c_str()));
    EXPECT_TRUE(operands_overlap(("\\\\?\\" + upper).c_str(), (forward + "/src/copia").c_str()));
    EXPECT_FALSE(operands_overlap(tree.path("src").c_str(), tree.path("dst").c_str()));

    // Where a directory lies in its volume reads the same in every spelling,
    // and a sub-directory's place goes on from its parent's.
    tree.dir("src/inner");
    const auto place_of = [](const std::string& path) {
        fs_place_t place;
        fs_dir_t* dir = fs_dir_open(nullptr, path.c_str(), true, nullptr);
        EXPECT_NE(nullptr, dir) << path;
        if (dir != nullptr) {
            EXPECT_EQ(0, fs_dir_place(dir, &place)) << path;
            fs_dir_close(dir);
        }
        return place;
    };
    const fs_place_t source_place = place_of(tree.path("src"));
    EXPECT_FALSE(source_place.volume.empty());
    EXPECT_EQ(source_place.path, place_of(upper).path);
    const fs_place_t inner_place = place_of(forward + "/src/inner");
    EXPECT_EQ(source_place.volume, inner_place.volume);
    EXPECT_EQ(source_place.path + "\\INNER", inner_place.path);
    EXPECT_NE(source_place.path, place_of(tree.path("dst")).path);

    // A network share and a drive are never created; what lies below them is.
    settings.dry_run = true;
    console = recorded_console_t{};
    make_path(run, changes(), "\\\\server\\share\\dir\\f.txt");
    const std::string drive = unused_drive();
    make_path(run, changes(), (drive + "\\dir\\f.txt").c_str());
    EXPECT_EQ(format_text("Dir\t%-60.60s     Creata\n", "\\\\server\\share\\dir") +
                  format_text("Dir\t%-60.60s     Creata\n", (drive + "\\dir").c_str()),
              console.out);
}

TEST_F(WindowsRunTest, NamesOfEveryAlphabetAndAChangeOfLetterCase)
{
    const std::vector<std::string> names = {"\xC3\xA8 perch\xC3\xA9.txt", "\xE6\x97\xA5\xE6\x9C\xAC.txt",
                                            "\xF0\x9F\x98\x80.txt"};
    for (const std::string& name : names)
        tree.file("src/" + name, name);
    tree.file("src/Rinominato.txt", "r");
    tree.file("src/Cartella/dentro.txt", "d");
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    for (const std::string& name : names)
        EXPECT_EQ(name, tree.read("dst/" + name));
    EXPECT_EQ(0, walk());
    EXPECT_EQ(0u, run.stats.files_copied);

    // Only the letter case changes in the source: the copy takes it. (The
    // source is renamed through another name, which every system does.)
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"Rinominato.txt", "rinominato.TXT"},
                                   std::pair<std::string, std::string>{"Cartella", "CARTELLA"}}) {
        ASSERT_TRUE(MoveFileW(long_form(tree.path("src/" + from)).c_str(), long_form(tree.path("src/step")).c_str()));
        ASSERT_TRUE(MoveFileW(long_form(tree.path("src/step")).c_str(), long_form(tree.path("src/" + to)).c_str()));
    }
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    const std::vector<std::string> copied = tree.names("dst");

    EXPECT_NE(copied.end(), std::find(copied.begin(), copied.end(), "rinominato.TXT"));
    EXPECT_NE(copied.end(), std::find(copied.begin(), copied.end(), "CARTELLA"));
    EXPECT_EQ(copied.end(), std::find(copied.begin(), copied.end(), "Rinominato.txt"));
    EXPECT_EQ(copied.end(), std::find(copied.begin(), copied.end(), "Cartella"));
    EXPECT_EQ("d", tree.read("dst/CARTELLA/dentro.txt"));
    EXPECT_EQ(0, walk());
    EXPECT_EQ(0u, run.stats.files_copied + run.stats.files_deleted + run.stats.dirs_deleted);

    // A name that is not valid UTF-16, where the system lets one be made.
    const std::wstring odd = long_form(tree.path("src")) + L"\\lone" + wchar_t{0xD800} + L".txt";
    if (!make_file(odd, "odd"))
        GTEST_SKIP() << "this system refuses a name with an unpaired surrogate";
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ("odd", tree.read("dst/lone\xED\xA0\x80.txt"));
    DeleteFileW(odd.c_str());
    EXPECT_EQ(0, walk());
    EXPECT_EQ(1u, run.stats.files_deleted);
    EXPECT_FALSE(tree.exists("dst/lone\xED\xA0\x80.txt"));
}

TEST_F(WindowsRunTest, NamesLongerInUtf8ThanTwoHundredFiftyFiveBytes)
{
    // 250 UTF-16 units, 750 bytes of UTF-8.
    std::string name;
    for (int i = 0; i < 250; ++i)
        name += "\xE6\x97\xA5";
    if (!make_file(long_form(tree.path("src")) + L"\\" + win_wide(name.c_str()), "long"))
        GTEST_SKIP() << "this file system keeps names of at most 255 bytes";
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ(1u, run.stats.files_copied);
    EXPECT_EQ("long", tree.read("dst/" + name));
}

TEST_F(WindowsRunTest, PathsPastTwoHundredSixtyCharacters)
{
    std::string deep = "src";
    while (tree.path(deep).size() < 400)
        deep += "/cartella-con-un-nome-lungo";
    tree.file(deep + "/profondo.txt", "in fondo");
    const std::string copy = "dst" + deep.substr(3) + "/profondo.txt";
    ASSERT_GT(tree.path(copy).size(), 400u);

    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_EQ("in fondo", tree.read(copy));
    EXPECT_EQ(0, walk());
    EXPECT_EQ(0u, run.stats.files_copied);
    // The long operands themselves, too.
    const std::string below = deep.substr(0, deep.rfind('/'));
    EXPECT_EQ(0, walk(tree.path(below), tree.path("dst" + below.substr(3))));
    EXPECT_EQ("", console.err);

    ASSERT_TRUE(MoveFileW(long_form(tree.path("src/cartella-con-un-nome-lungo")).c_str(),
                          long_form(tree.path("moved")).c_str()));
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_FALSE(tree.exists("dst/cartella-con-un-nome-lungo"));
}

TEST_F(WindowsRunTest, LinksAndJunctionsAreLeftAlone)
{
    SKIP_WITHOUT(feature_t::links);
    tree.file("elsewhere/precious.txt", "precious");
    tree.file("src/a.txt", "a");
    tree.link("src/to-dir", tree.path("elsewhere"));
    tree.link("dst/old-link", tree.path("elsewhere"));
    EXPECT_EQ(0, walk());
    EXPECT_EQ("", console.err);
    EXPECT_FALSE(tree.exists("dst/to-dir"));
    EXPECT_TRUE(tree.exists("dst/old-link"));
    EXPECT_EQ("precious", tree.read("elsewhere/precious.txt"));
}

TEST_F(WindowsRunTest, TheLogHasWindowsLineEnds)
{
    const std::string log = tree.path("run.log");
    ASSERT_FALSE(text_append(log.c_str(), "uno\ndue\n", 8));
    ASSERT_FALSE(text_append(log.c_str(), "tre\n", 4));
    EXPECT_EQ("uno\r\ndue\r\ntre\r\n", read_file(log));
}

// Reading or writing a named pipe would wait for whoever holds its other
// end: as a log or a list it is refused at once. NUL, a character device,
// is taken.
TEST_F(WindowsRunTest, ANamedPipeIsNeitherALogNorAList)
{
    const std::string pipe = "\\\\.\\pipe\\calvento-test-" + std::to_string(GetCurrentProcessId());
    // One instance of the pipe for each of the two openings.
    HANDLE servers[2];
    for (HANDLE& server : servers) {
        server = CreateNamedPipeW(win_wide(pipe.c_str()).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                  PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, server);
    }
    EXPECT_EQ(ERROR_NOT_SUPPORTED, text_append(pipe.c_str(), "x\n", 2).code);
    std::string contents;
    EXPECT_EQ(ERROR_NOT_SUPPORTED, text_read(pipe.c_str(), &contents).code);
    for (const HANDLE server : servers)
        CloseHandle(server);

    EXPECT_FALSE(text_append("NUL", "x\n", 2));
    EXPECT_FALSE(text_read("NUL", &contents));
    EXPECT_EQ("", contents);
}

// The lock of a destination in use keeps out another run and nothing else:
// others list the directory and rename files into it meanwhile. It goes
// with the run that holds it, and a lock file left behind serves again.
TEST_F(WindowsRunTest, ADestinationInUseStaysOpenToAllButAnotherRun)
{
    tree.file("dst/old.txt", "o");
    tree.file("elsewhere.txt", "e");
    const std::string dst = tree.path("dst");
    for (const bool left_behind : {false, true}) {
        SCOPED_TRACE(left_behind ? "lock file left behind" : "no lock file");
        if (left_behind)
            tree.file("dst/.calvento.lock");
        fs_dir_t* first = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
        ASSERT_EQ(1, fs_lock_dir(first));
        fs_dir_t* second = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
        EXPECT_EQ(0, fs_lock_dir(second));
        fs_dir_close(second);
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((long_form(dst) + L"\\*").c_str(), &found);
        EXPECT_NE(INVALID_HANDLE_VALUE, search);
        FindClose(search);
        EXPECT_TRUE(MoveFileW(long_form(tree.path("elsewhere.txt")).c_str(), long_form(tree.path("dst/moved.txt")).c_str()));
        EXPECT_TRUE(MoveFileW(long_form(tree.path("dst/moved.txt")).c_str(), long_form(tree.path("elsewhere.txt")).c_str()));
        fs_dir_close(first);
        EXPECT_EQ(left_behind, tree.exists("dst/.calvento.lock"));
        second = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
        EXPECT_EQ(1, fs_lock_dir(second));
        fs_dir_close(second);
    }
}

// The hidden file of a copy under way is dropped by an interrupt (and by
// the end of the process however it comes), and the old file stays.
TEST_F(WindowsRunTest, AnInterruptLeavesNoHiddenFileAndTheOldCopy)
{
    // A death test runs this test again in a new process: both use the
    // parent's scratch tree, handed down in the environment.
    const char* inherited = std::getenv("CALVENTO_TEST_INTERRUPT_DIR");
    const std::string dst = inherited != nullptr ? inherited : tree.path("dst");
    if (inherited == nullptr) {
        tree.file("dst/a.bin", "old copy");
        SetEnvironmentVariableW(L"CALVENTO_TEST_INTERRUPT_DIR", win_wide(dst.c_str()).c_str());
        _putenv_s("CALVENTO_TEST_INTERRUPT_DIR", dst.c_str());
    }
    const auto interrupted = [&dst](DWORD event) {
        fs_dir_t* dir = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
        fs_out_t* out = fs_create_temp_at(dir, "a.bin", fs_open_read_at(dir, "a.bin"));
        const std::string data(1 << 20, 'n');
        fs_write(out, data.data(), data.size());
        win_console_event(event);
    };
    for (const DWORD event :
         {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}, DWORD{CTRL_CLOSE_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
        SCOPED_TRACE(event);
        EXPECT_EXIT(interrupted(event), testing::ExitedWithCode(1), "");
        EXPECT_EQ("old copy", read_file(dst + "\\a.bin"));
        EXPECT_EQ(std::vector<std::string>{"a.bin"}, tree.names("dst"));
    }

    // A copy dropped without a word (the process killed) leaves nothing
    // either. Another user logging off meanwhile is no interrupt: the
    // handler takes the event and the copy goes on.
    fs_dir_t* dir = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
    ASSERT_NE(nullptr, dir);
    fs_file_t* like = fs_open_read_at(dir, "a.bin");
    ASSERT_NE(nullptr, like);
    fs_out_t* out = fs_create_temp_at(dir, "a.bin", like);
    ASSERT_NE(nullptr, out);
    EXPECT_TRUE(win_console_event(CTRL_LOGOFF_EVENT));
    fs_write(out, "new", 3);
    EXPECT_EQ(2u, tree.names("dst").size());
    fs_discard(out);
    fs_close_read(like);
    fs_dir_close(dir);
    EXPECT_EQ(std::vector<std::string>{"a.bin"}, tree.names("dst"));
    _putenv_s("CALVENTO_TEST_INTERRUPT_DIR", "");
    SetEnvironmentVariableW(L"CALVENTO_TEST_INTERRUPT_DIR", nullptr);
}

// Copies made on several threads at once into one open directory, new
// names and replacements alike: each takes a hidden name of its own, each
// file ends with its own bytes, and no hidden file stays.
TEST_F(WindowsRunTest, CopiesOnSeveralThreadsIntoOneDirectory)
{
    constexpr int THREADS = 8;
    constexpr int FILES = 50;
    const auto name_of = [](int thread, int file) {
        return "f" + std::to_string(thread) + "-" + std::to_string(file) + ".bin";
    };
    const auto bytes_of = [](int thread, int file) {
        return std::string(1 + (thread * FILES + file) * 37 % 3000, static_cast<char>('a' + thread)) +
               std::to_string(file);
    };
    tree.file("src/like.bin", "x");
    for (int thread = 0; thread < THREADS; ++thread) {
        for (int file = 0; file < FILES; file += 2)
            tree.file("dst/" + name_of(thread, file), "old");
    }
    fs_dir_t* src = fs_dir_open(nullptr, tree.path("src").c_str(), true, nullptr);
    fs_dir_t* dst = fs_dir_open(nullptr, tree.path("dst").c_str(), true, nullptr);
    ASSERT_NE(nullptr, src);
    ASSERT_NE(nullptr, dst);
    fs_file_t* like = fs_open_read_at(src, "like.bin");
    ASSERT_NE(nullptr, like);
    std::atomic<int> failures{0};
    std::atomic<int> failure_code{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < THREADS; ++thread) {
        threads.emplace_back([&, thread] {
            for (int file = 0; file < FILES; ++file) {
                const std::string name = name_of(thread, file);
                const std::string bytes = bytes_of(thread, file);
                fs_error_t error;
                fs_out_t* out = fs_create_temp_at(dst, name.c_str(), like, &error);
                if (out != nullptr && fs_write(out, bytes.data(), bytes.size(), &error) != std::int64_t(bytes.size())) {
                    fs_discard(out);
                    out = nullptr;
                }
                if (out != nullptr && !(error = fs_commit(out, file % 2 == 0)))
                    error = fs_close_out(out);
                if (error) {
                    ++failures;
                    failure_code = error.code;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    fs_close_read(like);
    fs_dir_close(src);
    fs_dir_close(dst);
    EXPECT_EQ(0, failures.load()) << "last error " << failure_code.load();
    for (int thread = 0; thread < THREADS; ++thread) {
        for (int file = 0; file < FILES; ++file)
            ASSERT_EQ(bytes_of(thread, file), read_file(tree.path("dst/" + name_of(thread, file)))) << thread << " " << file;
    }
    EXPECT_EQ(std::size_t{THREADS * FILES}, tree.names("dst").size());
}

// Every thread that copies has a note of its own for the interrupt, also
// beyond the table of notes. A note goes when its file is forgotten, on
// its own thread or another, and when its thread ends.
TEST(WindowsInterrupt, TheHiddenFileOfEveryThreadIsSeen)
{
    constexpr int THREADS = 80;   // more than the table holds
    const auto fake = [](int thread) { return reinterpret_cast<HANDLE>(std::uintptr_t{0x7f000000} + 4 * thread); };
    const auto seen = [] {
        std::vector<HANDLE> files;
        win_each_pending_temp([](HANDLE file, void* into) { static_cast<std::vector<HANDLE>*>(into)->push_back(file); },
                              &files);
        std::sort(files.begin(), files.end());
        return files;
    };
    std::vector<HANDLE> expected;
    for (int thread = 0; thread < THREADS; ++thread)
        expected.push_back(fake(thread));
    enum { OWN_THREAD, OTHER_THREAD, THREAD_END };
    const char* const how[] = {"forgotten on its own thread", "forgotten on another thread", "its thread ended"};
    for (const int forgotten : {OWN_THREAD, OTHER_THREAD, THREAD_END}) {
        SCOPED_TRACE(how[forgotten]);
        std::mutex guard;
        std::condition_variable change;
        int noted = 0;
        bool looked = false;
        std::vector<std::thread> threads;
        for (int thread = 0; thread < THREADS; ++thread) {
            threads.emplace_back([&, thread] {
                win_note_pending_temp(fake(thread));
                std::unique_lock<std::mutex> lock(guard);
                ++noted;
                change.notify_all();
                change.wait(lock, [&] { return looked; });
                lock.unlock();
                if (forgotten == OWN_THREAD)
                    win_forget_pending_temp(fake(thread));
            });
        }
        {
            std::unique_lock<std::mutex> lock(guard);
            change.wait(lock, [&] { return noted == THREADS; });
        }
        EXPECT_EQ(expected, seen());
        if (forgotten == OTHER_THREAD) {
            for (int thread = 0; thread < THREADS; ++thread)
                win_forget_pending_temp(fake(thread));
            EXPECT_EQ(std::vector<HANDLE>{}, seen());
        }
        {
            const std::lock_guard<std::mutex> lock(guard);
            looked = true;
        }
        change.notify_all();
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(std::vector<HANDLE>{}, seen());
    }
}

// An interrupt amid copies on several threads: each copy being put in
// place finishes first, and every other hidden file goes.
TEST_F(WindowsRunTest, AnInterruptAmidCopiesOnSeveralThreadsLeavesEachFileWholeAndNoHiddenOne)
{
    // Each death test runs this test again in a new process, which takes
    // the parent's scratch tree from the environment.
    constexpr int THREADS = 8;
    constexpr std::size_t SIZE = 100000;
    const char* inherited = std::getenv("CALVENTO_TEST_INTERRUPT_DIR");
    const std::string dst = inherited != nullptr ? inherited : tree.path("dst");
    if (inherited == nullptr) {
        for (int thread = 0; thread < THREADS; ++thread)
            tree.file("dst/f" + std::to_string(thread), std::string(SIZE, 'o'));
        SetEnvironmentVariableW(L"CALVENTO_TEST_INTERRUPT_DIR", win_wide(dst.c_str()).c_str());
        _putenv_s("CALVENTO_TEST_INTERRUPT_DIR", dst.c_str());
    }
    const auto copying = [&dst] {
        fs_dir_t* dir = fs_dir_open(nullptr, dst.c_str(), true, nullptr);
        fs_file_t* like = fs_open_read_at(dir, "f0");
        // Copies made, dropped and put in place over and over, until the
        // interrupt ends them wherever they are.
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int thread = 0; thread < THREADS; ++thread) {
            threads.emplace_back([&, thread] {
                const std::string name = "f" + std::to_string(thread);
                for (int copy = 0;; ++copy) {
                    const std::string bytes(SIZE, static_cast<char>('a' + copy % 20));
                    fs_out_t* out = fs_create_temp_at(dir, name.c_str(), like);
                    if (out == nullptr)
                        continue;
                    fs_write(out, bytes.data(), bytes.size());
                    if (copy % 3 == 0)
                        fs_discard(out);
                    else if (!fs_commit(out, true))
                        fs_close_out(out);
                    ++done;
                }
            });
        }
        while (done < 200)
            Sleep(1);
        win_console_event(CTRL_C_EVENT);
    };
    for (int round = 0; round < 3; ++round) {
        EXPECT_EXIT(copying(), testing::ExitedWithCode(1), "");
        const std::vector<std::string> names = tree.names("dst");
        EXPECT_EQ(std::size_t{THREADS}, names.size());
        for (const std::string& name : names) {
            const std::string bytes = read_file(dst + "\\" + name);
            EXPECT_EQ(SIZE, bytes.size()) << name;
            EXPECT_EQ(std::string(bytes.size(), bytes[0]), bytes) << name;
        }
    }
    _putenv_s("CALVENTO_TEST_INTERRUPT_DIR", "");
    SetEnvironmentVariableW(L"CALVENTO_TEST_INTERRUPT_DIR", nullptr);
}

}  // namespace

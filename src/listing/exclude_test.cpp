#include "listing/exclude.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/exclusion_reset.h"
#include "support/run_state.h"
#include "support/system.h"

class ExcludeTest : public RunStateTest {};

namespace {

// `text` as a regular expression that matches exactly it.
std::string literal(const std::string& text)
{
    std::string pattern;
    for (const char c : text) {
        if (std::string("\\^$.[]()*+?{}|").find(c) != std::string::npos)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

// `text` in UTF-16 after its byte-order mark, as Windows editors and
// PowerShell save it.
std::string utf16_file(std::u16string_view text, bool big_endian)
{
    std::string bytes = big_endian ? "\xfe\xff" : "\xff\xfe";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xff);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

}  // namespace

TEST_F(ExcludeTest, NameIsStoredAsWrittenNewestFirst)
{
    Exclude_arg(run, &run.exclude_all, "Thumbs.db");
    Exclude_arg(run, &run.exclude_all, " two words ");
    Exclude_arg(run, &run.exclude_all, "*.tmp");
    Exclude_arg(run, &run.exclude_all, "Thumbs.db");
    Exclude_arg(run, &run.exclude_principal, "only-here");
    EXPECT_EQ((std::vector<std::string>{"Thumbs.db", "*.tmp", " two words ", "Thumbs.db"}),
              exclusion_names(run.exclude_all));
    EXPECT_EQ(std::vector<std::string>{"only-here"}, exclusion_names(run.exclude_principal));
    EXPECT_EQ("", console.both);   // verbosity 1 shows nothing
}

TEST_F(ExcludeTest, ListFileGivesEveryWordInFileOrder)
{
    tree.file("names.txt", "My Documents\n\n\tone\ttwo  three\r\n\n  last");
    Exclude_arg(run, &run.exclude_all, (std::string("@") + tree.path("names.txt")).c_str());
    // Newest first: the last word of the file heads the list.
    EXPECT_EQ((std::vector<std::string>{"last", "three", "two", "one", "Documents", "My"}),
              exclusion_names(run.exclude_all));
    EXPECT_EQ(nullptr, run.exclude_principal);
    EXPECT_EQ("", console.both);

    // A word beginning with "@" is a plain name: list files do not nest.
    tree.file("nested.txt", "@names.txt\n");
    Exclude_arg(run, &run.exclude_principal, (std::string("@") + tree.path("nested.txt")).c_str());
    EXPECT_EQ(std::vector<std::string>{"@names.txt"}, exclusion_names(run.exclude_principal));

    // An empty list file adds nothing and says nothing.
    tree.file("empty.txt", " \n\t\n");
    Exclude_arg(run, &run.exclude_principal, (std::string("@") + tree.path("empty.txt")).c_str());
    EXPECT_EQ(std::vector<std::string>{"@names.txt"}, exclusion_names(run.exclude_principal));
    EXPECT_EQ("", console.both);
}

TEST_F(ExcludeTest, ListFileWithAByteOrderMarkIsReadAsText)
{
    // Names are UTF-8 inside the program: one beyond the first 65536
    // characters takes two UTF-16 units.
    const std::u16string_view text = u"Caf\u00e9 \U0001D11E\r\n\tplain\r\n";
    const std::vector<std::string> names = {"plain", "\xf0\x9d\x84\x9e", "Caf\xc3\xa9"};
    const struct {
        const char* saved_as;
        std::string bytes;
    } cases[] = {
        {"UTF-8 with its mark", "\xef\xbb\xbf" "Caf\xc3\xa9 \xf0\x9d\x84\x9e\r\n\tplain\r\n"},
        {"UTF-16 little-endian", utf16_file(text, false)},
        {"UTF-16 big-endian", utf16_file(text, true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.saved_as);
        empty_exclusion_lists(run);
        tree.file("names.txt", c.bytes);
        Exclude_arg(run, &run.exclude_all, (std::string("@") + tree.path("names.txt")).c_str());
        EXPECT_EQ(names, exclusion_names(run.exclude_all));
    }
    // A mark alone is an empty list.
    empty_exclusion_lists(run);
    tree.file("marks.txt", "\xef\xbb\xbf");
    Exclude_arg(run, &run.exclude_all, (std::string("@") + tree.path("marks.txt")).c_str());
    EXPECT_EQ(nullptr, run.exclude_all);
    EXPECT_EQ("", console.both);
}

using ExcludeDeathTest = ExcludeTest;

TEST_F(ExcludeDeathTest, ListFileThatCannotBeReadWholeEndsTheRun)
{
    // Excluding nothing would let the walk remove what the names protect: a
    // missing or misspelt list, an empty name, a directory all stop the run.
    tree.dir("lists");
    // Text in an encoding that is not read (UTF-16 without its mark, say)
    // would give names that match nothing.
    tree.file("zeros.txt", std::string("k\0e\0e\0p\0", 8));
    tree.file("odd.txt", std::string("\xff\xfek\0e", 5));
    tree.file("high.txt", std::string("\xff\xfe\x34\xd8k\0", 6));
    tree.file("low.txt", std::string("\xfe\xff\0k\xdd\x1e", 6));
    const std::string bad_text = ": " + error_words(sys_errors.bad_text);
    const struct {
        std::string argument;
        std::string message;
    } cases[] = {
        // Where a death test runs the test again in a new process (Windows),
        // its scratch tree has another name: the messages are matched from
        // the last separator on.
        {"@" + tree.path("missing.txt"),
         "^.*" + literal(sep() + "missing.txt: " + error_words(sys_errors.not_found)) + "\n$"},
        {"@", "^" + literal(error_words(sys_errors.not_found)) + "\n$"},
        {"@" + tree.path("lists"), "^.*" + literal(sep() + "lists: " + error_words(sys_errors.is_dir)) + "\n$"},
        {"@" + tree.path("zeros.txt"), "^.*" + literal(sep() + "zeros.txt" + bad_text) + "\n$"},
        {"@" + tree.path("odd.txt"), "^.*" + literal(sep() + "odd.txt" + bad_text) + "\n$"},
        {"@" + tree.path("high.txt"), "^.*" + literal(sep() + "high.txt" + bad_text) + "\n$"},
        {"@" + tree.path("low.txt"), "^.*" + literal(sep() + "low.txt" + bad_text) + "\n$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        // The real console, so that the message reaches the real standard error.
        EXPECT_EXIT(
            {
                plat_install(&native_platform);
                Exclude_arg(run, &run.exclude_all, c.argument.c_str());
            },
            testing::ExitedWithCode(1), c.message);
    }
}

TEST_F(ExcludeTest, SearchMatchesWholeNamesExactly)
{
    Exclude_arg(run, &run.exclude_all, "readme.txt");
    Exclude_arg(run, &run.exclude_all, "sub/file.txt");
    Exclude_arg(run, &run.exclude_all, "");
    EXPECT_EQ(1, Exclude_search(run, run.exclude_all, "readme.txt"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "README.TXT"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "readme.tx"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "readme.txt2"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "file.txt"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "a"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_principal, "readme.txt"));   // an empty list finds nothing
    EXPECT_EQ(0, Exclude_search(run, nullptr, ""));
    EXPECT_EQ("", console.both);
}

TEST_F(ExcludeTest, AddIsAnnouncedFromVerbosityFour)
{
    settings.verbosity = 3;
    Exclude_arg(run, &run.exclude_all, "quiet");
    EXPECT_EQ("", console.out);

    settings.verbosity = 4;
    Exclude_arg(run, &run.exclude_all, "foo");
    EXPECT_EQ("Exclude 'foo'\n", console.out);

    tree.file("names.txt", "a b\n");
    settings.verbosity = 9;
    Exclude_arg(run, &run.exclude_principal, (std::string("@") + tree.path("names.txt")).c_str());
    EXPECT_EQ("Exclude 'foo'\nExclude 'a'\nExclude 'b'\n", console.out);
    EXPECT_EQ("", console.err);
}

TEST_F(ExcludeTest, SearchTraceAtVerbosityFive)
{
    Exclude_arg(run, &run.exclude_all, "b.txt");
    settings.verbosity = 4;
    Exclude_search(run, run.exclude_all, "a.txt");
    EXPECT_EQ("", console.out);

    settings.verbosity = 5;
    EXPECT_EQ(0, Exclude_search(run, run.exclude_all, "a.txt"));
    EXPECT_EQ(1, Exclude_search(run, run.exclude_all, "b.txt"));
    EXPECT_EQ(0, Exclude_search(run, run.exclude_principal, "c.txt"));
    EXPECT_EQ("Exclude_search: a.txt - Not Found\n"
              "Exclude_search: b.txt - Found\n"
              "Exclude_search: c.txt - Not Found\n",
              console.out);
}

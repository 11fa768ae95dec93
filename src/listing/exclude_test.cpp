#include "listing/exclude.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/settings.h"
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

}  // namespace

TEST_F(ExcludeTest, NameIsStoredAsWrittenNewestFirst)
{
    Exclude_arg(&exclude_all, "Thumbs.db");
    Exclude_arg(&exclude_all, " two words ");
    Exclude_arg(&exclude_all, "*.tmp");
    Exclude_arg(&exclude_all, "Thumbs.db");
    Exclude_arg(&exclude_principal, "only-here");
    EXPECT_EQ((std::vector<std::string>{"Thumbs.db", "*.tmp", " two words ", "Thumbs.db"}),
              exclusion_names(exclude_all));
    EXPECT_EQ(std::vector<std::string>{"only-here"}, exclusion_names(exclude_principal));
    EXPECT_EQ("", console.both);   // verbosity 1 shows nothing
}

TEST_F(ExcludeTest, ListFileGivesEveryWordInFileOrder)
{
    tree.file("names.txt", "My Documents\n\n\tone\ttwo  three\r\n\n  last");
    Exclude_arg(&exclude_all, (std::string("@") + tree.path("names.txt")).c_str());
    // Newest first: the last word of the file heads the list.
    EXPECT_EQ((std::vector<std::string>{"last", "three", "two", "one", "Documents", "My"}),
              exclusion_names(exclude_all));
    EXPECT_EQ(nullptr, exclude_principal);
    EXPECT_EQ("", console.both);

    // A word beginning with "@" is a plain name: list files do not nest.
    tree.file("nested.txt", "@names.txt\n");
    Exclude_arg(&exclude_principal, (std::string("@") + tree.path("nested.txt")).c_str());
    EXPECT_EQ(std::vector<std::string>{"@names.txt"}, exclusion_names(exclude_principal));

    // An empty list file adds nothing and says nothing.
    tree.file("empty.txt", " \n\t\n");
    Exclude_arg(&exclude_principal, (std::string("@") + tree.path("empty.txt")).c_str());
    EXPECT_EQ(std::vector<std::string>{"@names.txt"}, exclusion_names(exclude_principal));
    EXPECT_EQ("", console.both);
}

using ExcludeDeathTest = ExcludeTest;

TEST_F(ExcludeDeathTest, ListFileThatCannotBeReadWholeEndsTheRun)
{
    // Excluding nothing would let the walk remove what the names protect: a
    // missing or misspelt list, an empty name, a directory all stop the run.
    tree.dir("lists");
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        // The real console, so that the message reaches the real standard error.
        EXPECT_EXIT(
            {
                plat_install(&native_platform);
                Exclude_arg(&exclude_all, c.argument.c_str());
            },
            testing::ExitedWithCode(1), c.message);
    }
}

TEST_F(ExcludeTest, SearchMatchesWholeNamesExactly)
{
    Exclude_arg(&exclude_all, "readme.txt");
    Exclude_arg(&exclude_all, "sub/file.txt");
    Exclude_arg(&exclude_all, "");
    EXPECT_EQ(1, Exclude_search(exclude_all, "readme.txt"));
    EXPECT_EQ(0, Exclude_search(exclude_all, "README.TXT"));
    EXPECT_EQ(0, Exclude_search(exclude_all, "readme.tx"));
    EXPECT_EQ(0, Exclude_search(exclude_all, "readme.txt2"));
    EXPECT_EQ(0, Exclude_search(exclude_all, "file.txt"));
    EXPECT_EQ(0, Exclude_search(exclude_all, "a"));
    EXPECT_EQ(0, Exclude_search(exclude_principal, "readme.txt"));   // an empty list finds nothing
    EXPECT_EQ(0, Exclude_search(nullptr, ""));
    EXPECT_EQ("", console.both);
}

TEST_F(ExcludeTest, AddIsAnnouncedFromVerbosityFour)
{
    RunSettings.verbosity = 3;
    Exclude_arg(&exclude_all, "quiet");
    EXPECT_EQ("", console.out);

    RunSettings.verbosity = 4;
    Exclude_arg(&exclude_all, "foo");
    EXPECT_EQ("Exclude 'foo'\n", console.out);

    tree.file("names.txt", "a b\n");
    RunSettings.verbosity = 9;
    Exclude_arg(&exclude_principal, (std::string("@") + tree.path("names.txt")).c_str());
    EXPECT_EQ("Exclude 'foo'\nExclude 'a'\nExclude 'b'\n", console.out);
    EXPECT_EQ("", console.err);
}

TEST_F(ExcludeTest, SearchTraceAtVerbosityFive)
{
    Exclude_arg(&exclude_all, "b.txt");
    RunSettings.verbosity = 4;
    Exclude_search(exclude_all, "a.txt");
    EXPECT_EQ("", console.out);

    RunSettings.verbosity = 5;
    EXPECT_EQ(0, Exclude_search(exclude_all, "a.txt"));
    EXPECT_EQ(1, Exclude_search(exclude_all, "b.txt"));
    EXPECT_EQ(0, Exclude_search(exclude_principal, "c.txt"));
    EXPECT_EQ("Exclude_search: a.txt - Not Found\n"
              "Exclude_search: b.txt - Found\n"
              "Exclude_search: c.txt - Not Found\n",
              console.out);
}

#include "run/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <filesystem>
#include <vector>

#include "listing/exclude.h"
#include "support/exclusion_reset.h"
#include "support/run_state.h"
#include "support/system.h"

namespace {

// The flags and values that option letters set, side by side for comparison.
struct settings_view_t {
    int verbosity, force_copy, keep_extra, skip_new, needed_dirs_only, ignore_circular, copy_mode;
    std::uint32_t buffer_size;
    int dry_run;
    std::optional<std::uint64_t> removal_limit;
    unsigned workers;
    bool workers_asked;
    std::optional<std::string> versions;
    std::optional<std::uint64_t> versions_days;
    bool operator==(const settings_view_t&) const = default;
};

settings_view_t view_of(const run_settings_t& s)
{
    return {s.verbosity,       s.force_copy,      s.keep_extra, s.skip_new,
            s.needed_dirs_only, s.ignore_circular, s.copy_mode,  s.buffer_size,
            s.dry_run,         s.removal_limit, s.workers,    s.workers_asked,
            s.versions,        s.versions_days};
}

std::ostream& operator<<(std::ostream& out, const settings_view_t& s)
{
    return out << "{v" << s.verbosity << " f" << s.force_copy << " p" << s.keep_extra << " n" << s.skip_new
               << " d" << s.needed_dirs_only << " i" << s.ignore_circular << " m" << s.copy_mode << " b"
               << s.buffer_size << " s" << s.dry_run << " c"
               << (s.removal_limit ? std::to_string(*s.removal_limit) : "none") << " j" << s.workers << (s.workers_asked ? "!" : "") << " k"
               << s.versions.value_or("none") << " e"
               << (s.versions_days ? std::to_string(*s.versions_days) : "none") << "}";
}

}  // namespace

// Every test runs in its own scratch directory, so that relative log names
// land there.
class OptionsTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(fs_path(tree.path()));
    }

    void TearDown() override
    {
        std::filesystem::current_path(old_cwd_);
        RunStateTest::TearDown();
    }

    // Runs parse_options on "calvento" followed by `args` and returns the
    // index of the first operand.
    int parse(std::vector<std::string> args)
    {
        args.insert(args.begin(), "calvento");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        return parse_options(static_cast<int>(args.size()), argv.data(), settings, run);
    }

  private:
    std::filesystem::path old_cwd_;
};

TEST_F(OptionsTest, LettersSetTheirFieldsAndValues)
{
    const settings_view_t defaults = view_of(run_settings_t{});
    auto with = [&](auto change) {
        settings_view_t s = defaults;
        change(s);
        return s;
    };
    struct Case {
        std::vector<std::string> args;
        settings_view_t want;
        int first;
    };
    // Where "/" begins an option group too (Windows), an absolute path
    // begins with a drive or a backslash instead.
    const bool slash_options = is_option_prefix('/');
    const std::string docs = slash_options ? "C:\\data\\docs" : "/data/docs";
    const std::string backup = slash_options ? "\\\\server\\backup" : "/mnt/backup";
    std::vector<Case> cases = {
        {{"-fp", "a", "b"}, with([](auto& s) { s.force_copy = s.keep_extra = 1; }), 2},
        {{"-f", "-p", "a", "b"}, with([](auto& s) { s.force_copy = s.keep_extra = 1; }), 3},
        {{"-indf", "a", "b"},
         with([](auto& s) { s.ignore_circular = s.skip_new = s.needed_dirs_only = s.force_copy = 1; }), 2},
        {{"-vf"}, with([](auto& s) { s.force_copy = 1; }), 2},
        {{"-v"}, defaults, 2},
        {{"-v5", "-v"}, defaults, 3},
        {{"-v0"}, with([](auto& s) { s.verbosity = 0; }), 2},
        {{"-v9"}, with([](auto& s) { s.verbosity = 9; }), 2},
        {{"-v12"}, with([](auto& s) { s.verbosity = 1; }), 2},
        {{"-v3", "-v7"}, with([](auto& s) { s.verbosity = 7; }), 3},
        {{"-m3"}, with([](auto& s) { s.copy_mode = 3; }), 2},
        {{"-m"}, defaults, 2},
        {{"-m7"}, with([](auto& s) { s.copy_mode = 7; }), 2},
        {{"-mf"}, with([](auto& s) { s.force_copy = 1; }), 2},
        {{"-m2", "-m1"}, with([](auto& s) { s.copy_mode = 1; }), 3},
        {{"-b65536"}, with([](auto& s) { s.buffer_size = 65536; }), 2},
        {{"-b64k"}, with([](auto& s) { s.buffer_size = 64; s.versions = ""; }), 2},
        {{"-b32768f"}, with([](auto& s) { s.buffer_size = 32768; s.force_copy = 1; }), 2},
        {{"-b"}, with([](auto& s) { s.buffer_size = 0; }), 2},
        {{"-b-1"}, with([](auto& s) { s.buffer_size = 4294967295u; }), 2},
        {{"-b-2p"}, with([](auto& s) { s.buffer_size = 4294967294u; s.keep_extra = 1; }), 2},
        {{"-b100", "-b200"}, with([](auto& s) { s.buffer_size = 200; }), 3},
        {{"-fZ9-+!p"}, with([](auto& s) { s.force_copy = s.keep_extra = 1; }), 2},
        {{"-", "a", "b"}, defaults, 2},
        {{"-s"}, with([](auto& s) { s.dry_run = 1; }), 2},
        {{"-c500f"}, with([](auto& s) { s.removal_limit = 500; s.force_copy = 1; }), 2},
        {{"-c"}, with([](auto& s) { s.removal_limit = 0; }), 2},
        {{"-c99999999999999999999999"}, with([](auto& s) { s.removal_limit = UINT64_MAX; }), 2},
        {{"-k"}, with([](auto& s) { s.versions = ""; }), 2},
        {{"-fkold f", "-e30p"}, with([](auto& s) { s.force_copy = 1; s.versions = "old f"; s.versions_days = 30; s.keep_extra = 1; }), 3},
        {{"-e"}, with([](auto& s) { s.versions_days = 0; }), 2},
        {{"-j"}, with([](auto& s) { s.workers = 8; }), 2},
        {{"-j1"}, with([](auto& s) { s.workers = 0; s.workers_asked = true; }), 2},
        {{"-j0"}, with([](auto& s) { s.workers = 0; s.workers_asked = true; }), 2},
        {{"-j4p"}, with([](auto& s) { s.workers = 4; s.workers_asked = true; s.keep_extra = 1; }), 2},
        {{"-j999"}, with([](auto& s) { s.workers = 64; s.workers_asked = true; }), 2},
        {{"a", "b", "-f"}, defaults, 1},
        {{"-v2", docs, backup}, with([](auto& s) { s.verbosity = 2; }), 2},
        {{}, defaults, 1},
    };
    if (slash_options) {
        cases.push_back({{"/f/p", "b"}, with([](auto& s) { s.force_copy = s.keep_extra = 1; }), 2});
        cases.push_back({{"/v2", "/m1", "C:\\dati", "D:\\copia"},
                         with([](auto& s) { s.verbosity = 2; s.copy_mode = 1; }), 3});
        cases.push_back({{"-f", "/p", "/", "a"}, with([](auto& s) { s.force_copy = s.keep_extra = 1; }), 4});
    } else {
        cases.push_back({{"/f/p", "b"}, defaults, 1});
    }
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        settings = run_settings_t{};
        const int first = parse(c.args);
        EXPECT_EQ(c.want, view_of(settings));
        // Without operands the index is argc: one past the last argument.
        EXPECT_EQ(c.first, first);
        EXPECT_FALSE(run.log.active);
        EXPECT_EQ(nullptr, run.exclude_all);
    }
    EXPECT_EQ("", console.both);
}

TEST_F(OptionsTest, LogOptionCreatesTheFileAtOnce)
{
    EXPECT_EQ(2, parse({"-lrun.log", "a", "b"}));
    EXPECT_EQ("run.log", run.log.name);
    EXPECT_TRUE(run.log.active);
    EXPECT_TRUE(tree.exists("run.log"));
    EXPECT_EQ("", tree.read("run.log"));

    // An existing log is appended to, never truncated.
    tree.file("old.log", "earlier run\n");
    parse({"-lold.log"});
    EXPECT_EQ("old.log", run.log.name);
    EXPECT_EQ("earlier run\n", tree.read("old.log"));
    EXPECT_EQ("", console.both);
}

TEST_F(OptionsTest, LogLetterAloneUsesTheDefaultNameAndConsumesTheGroup)
{
    parse({"-l", "a", "b"});
    EXPECT_EQ("calvento.log", run.log.name);
    EXPECT_TRUE(tree.exists("calvento.log"));

    settings = run_settings_t{};
    parse({"-lfrun.log"});
    EXPECT_EQ("frun.log", run.log.name);
    EXPECT_EQ(0, settings.force_copy);
    EXPECT_TRUE(tree.exists("frun.log"));

    // Letters before the l still act.
    settings = run_settings_t{};
    parse({"-fl"});
    EXPECT_EQ(1, settings.force_copy);
    EXPECT_EQ("calvento.log", run.log.name);
}

TEST_F(OptionsTest, LaterLogOptionReplacesTheNameAndCreatesBothFiles)
{
    EXPECT_EQ(3, parse({"-lone.log", "-ltwo.log", "a"}));
    EXPECT_EQ("two.log", run.log.name);
    EXPECT_TRUE(tree.exists("one.log"));
    EXPECT_TRUE(tree.exists("two.log"));
}

TEST_F(OptionsTest, ExcludeLettersHandTheRestOfTheGroupToTheirList)
{
    EXPECT_EQ(3, parse({"-xfoop", "-Xname", "a", "b"}));
    EXPECT_EQ(std::vector<std::string>{"foop"}, exclusion_names(run.exclude_all));
    EXPECT_EQ(std::vector<std::string>{"name"}, exclusion_names(run.exclude_principal));
    EXPECT_EQ(0, settings.keep_extra);
    EXPECT_EQ(0, settings.force_copy);

    // An x with nothing after it adds an empty name; letters before it act.
    parse({"-fx", "-X"});
    EXPECT_EQ((std::vector<std::string>{"", "foop"}), exclusion_names(run.exclude_all));
    EXPECT_EQ((std::vector<std::string>{"", "name"}), exclusion_names(run.exclude_principal));
    EXPECT_EQ(1, settings.force_copy);
}

TEST_F(OptionsTest, ExcludeListFileIsReadWhenTheOptionIsMet)
{
    tree.file("names.txt", "one two\n");
    parse({"-x@names.txt", "-X@names.txt"});
    EXPECT_EQ((std::vector<std::string>{"two", "one"}), exclusion_names(run.exclude_all));
    EXPECT_EQ((std::vector<std::string>{"two", "one"}), exclusion_names(run.exclude_principal));

    // Only names given after a -v4 are shown.
    parse({"-xfirst", "-v4", "-xsecond"});
    EXPECT_EQ("Exclude 'second'\n", console.out);
}

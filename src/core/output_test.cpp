#include "core/output.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "core/settings.h"
#include "support/console_text.h"
#include "support/run_state.h"
#include "support/system.h"

TEST(FitPath, ShortensFromTheStartKeepingTheLastComponent)
{
    EXPECT_STREQ("C:/DATI/UFFICIO/CONTABILITA/bilancio.xls", fit_path("C:/DATI/UFFICIO/CONTABILITA/bilancio.xls", 60));
    EXPECT_STREQ("D:/ARCHIVIO/PROGETTI/2024/CLIENTI/DO.../relazione_finale.doc",
                 fit_path("D:/ARCHIVIO/PROGETTI/2024/CLIENTI/DOCUMENTAZIONE/RELAZIONI/relazione_finale.doc", 60));
    EXPECT_STREQ("n_un_nome_molto_lungo_che_supera_sessanta_caratteri_in_tutto",
                 fit_path("E:/COPIE/una_cartella_con_un_nome_molto_lungo_che_supera_sessanta_caratteri_in_tutto", 60));
}

TEST(FitPath, SmallWidthsGiveWayStartFirstThenDots)
{
    const char* path = "C:/DATI/UFFICIO/bilancio.xls";
    EXPECT_STREQ("C:/D.../bilancio.xls", fit_path(path, 20));
    EXPECT_STREQ(".../bilancio.xls", fit_path(path, 16));
    EXPECT_STREQ("../bilancio.xls", fit_path(path, 15));
    EXPECT_STREQ("./bilancio.xls", fit_path(path, 14));
    EXPECT_STREQ("/bilancio.xls", fit_path(path, 13));
    EXPECT_STREQ("bilancio.xls", fit_path(path, 12));
}

TEST(FitPath, BoundaryLengthsAndTrailingSeparator)
{
    const std::string sixty(60, 'a');
    EXPECT_EQ(sixty, fit_path(sixty.c_str(), 60));
    const std::string sixty_one = "/" + sixty;
    EXPECT_EQ(60u, std::string(fit_path(sixty_one.c_str(), 60)).size());
    const std::string dir = std::string(70, 'b') + "/";
    EXPECT_EQ(std::string(56, 'b') + ".../", fit_path(dir.c_str(), 60));
}

TEST(Shown, ControlCharactersBecomeOctalEscapes)
{
    const struct {
        const char* name;
        const char* want;
    } cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"new\nline", "new\\012line"},
        {"\033[2Jwiped\177", "\\033[2Jwiped\\177"},
        {"tab\t\001", "tab\\011\\001"},
        {"back\\slash \xc3\xa8", "back\\slash \xc3\xa8"},   // a backslash and UTF-8 stay
        // C1 controls, as characters and as bytes of no character: 0x9b
        // begins a control sequence on some terminals.
        {"a\xc2\x9b[2Jb\xc2\x80", "a\\302\\233[2Jb\\302\\200"},
        {"raw\x9b[2J\x85", "raw\\233[2J\\205"},
        {"\xc3\xa8\x9f\xa0\xff", "\xc3\xa8\\237\xa0\xff"},   // other bytes of no character stay
        // Bidirectional overrides and isolates would make a name read as another.
        {"invoice\xe2\x80\xae" "fdp.exe", "invoice\\342\\200\\256fdp.exe"},
        {"\xe2\x80\xaa" "a\xe2\x80\xac" "b\xe2\x81\xa6" "c\xe2\x81\xa9",
         "\\342\\200\\252a\\342\\200\\254b\\342\\201\\246c\\342\\201\\251"},
        // Their neighbours stay, and so do characters whose bytes lie in
        // 0x80 to 0x9F.
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xc2\xa0", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xc2\xa0"},
        {"\xe2\x82\xac \xf0\x9f\x98\x80 \xe4\xb8\x80", "\xe2\x82\xac \xf0\x9f\x98\x80 \xe4\xb8\x80"},
        // Overlong forms, surrogates and characters cut short are no UTF-8.
        {"\xc0\x80|\xed\xa0\x80|\xe2\x80", "\xc0\\200|\xed\xa0\\200|\xe2\\200"},
        {"\xe0\x82\x9b|\xf4\x90\x80\x80", "\xe0\\202\\233|\xf4\\220\\200\\200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(escaped(c.name));
        EXPECT_EQ(c.want, shown(c.name));
        EXPECT_EQ(c.want, escaped(c.name));   // the tests' own rendering agrees
    }
    // The console column counts the escapes, and a record stays one line.
    EXPECT_STREQ("a/x\\012y", fit_path("a/x\ny", 60));
    // Where a backslash also separates names (Windows), the shortened form
    // keeps the tail from the escape's backslash on.
    EXPECT_STREQ(is_separator('\\') ? "aaaa...\\012y" : "aa.../x\\012y", fit_path("aaaaaaaa/x\ny", 12));
    // A cut inside a character leaves no byte of the C1 range on its own:
    // the tail that begins inside the euro sign, the start that ends in it.
    const std::string tail = "a/\xe2\x82\xac" + std::string(58, 'z');
    EXPECT_EQ("." + std::string("\xac") + std::string(58, 'z'), fit_path(tail.c_str(), 60));
    EXPECT_EQ("\xe2\x82\xac\xe2....", std::string(fit_path("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac/bilancio.xls", 21), 8));
    for (const std::string& path : {tail, std::string("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac/") + std::string(52, 'b')})
        EXPECT_EQ(fitted(path), fit_path(path.c_str(), 60));
}

namespace {

// The ctime text of the moment the tests pin the clock to.
const char* const PINNED_CTIME = "Tue Mar  5 10:20:30 2024\n";

// The dated log record of the error `code` on `name`, spelled as the log shows it.
std::string record_for(const std::string& name, int code)
{
    return LOG_RECORD + PINNED_CTIME + log_detail(code, name);
}

void* refuse_alloc(std::size_t)
{
    return nullptr;
}

}  // namespace

class OutputTest : public RunStateTest {
  protected:
    void SetUp() override
    {
        RunStateTest::SetUp();
        fault_plan.now = local_moment(2024, 3, 5, 10, 20, 30);
        log_path = tree.path("run.log");
    }

    std::string log_path;
};

TEST_F(OutputTest, LogErrorAppendsTheDatedTwoLineRecordForErrno)
{
    use_log(log_path);
    log_error(run, "/data/a.txt", fs_error(sys_errors.not_found));
    EXPECT_EQ(record_for("/data/a.txt", sys_errors.not_found), read_text_file(log_path));
    EXPECT_EQ("Errore\t\t\t: Tue Mar  5 10:20:30 2024\nErrore\t\t\t: Codice   2 File /data/a.txt - " +
                  error_words(2) + "\n",
              read_text_file(log_path));

    // A name holding a line end cannot forge a record of its own.
    log_error(run, "/data/b\nFile copiati\t\t:        999", fs_error(sys_errors.no_space));
    EXPECT_EQ(record_for("/data/a.txt", sys_errors.not_found) +
                  record_for("/data/b\\012File copiati\\011\\011:        999", sys_errors.no_space),
              read_text_file(log_path));
    EXPECT_EQ(2, log_records_in(read_text_file(log_path)));
    EXPECT_TRUE(run.log.active);
    EXPECT_EQ("", console.both);
}

TEST_F(OutputTest, LogErrorNeverTruncatesWhatTheLogHolds)
{
    tree.file("run.log", "header of this run\n");
    use_log(log_path);
    log_error(run, "x", fs_error(sys_errors.io));
    log_error(run, "y", fs_error(sys_errors.io));
    const std::string text = read_text_file(log_path);
    EXPECT_EQ(0u, text.find("header of this run\nErrore\t\t\t: "));
    EXPECT_EQ(2, log_records_in(text));
    EXPECT_NE(std::string::npos, text.find(" File x - " + error_words(sys_errors.io) + "\n"));
    EXPECT_LT(text.find(" File x - "), text.find(" File y - "));
}

TEST_F(OutputTest, LogErrorWithoutLogWritesNothing)
{
    run.log.name = log_path;   // named, but not in use
    log_error(run, "/data/a.txt", fs_error(sys_errors.access_denied));
    EXPECT_FALSE(tree.exists("run.log"));
    EXPECT_EQ("", console.both);
}

TEST_F(OutputTest, UnwritableLogIsReportedOnceByLogErrorAndTurnedOff)
{
    tree.file("run.log", "kept\n");
    use_log(log_path);
    fault_plan.fail(fault_op_t::append, log_path, sys_errors.no_space);
    log_error(run, "/data/a.txt", fs_error(sys_errors.not_found));
    EXPECT_FALSE(run.log.active);
    const std::string reported = log_path + ": " + error_words(sys_errors.no_space) + "\n";
    EXPECT_EQ(reported, console.err);
    EXPECT_EQ("", console.out);
    EXPECT_EQ(1u, run.stats.errors_reported);

    // The log stays off for the rest of the run, even once it could be
    // written, and is not reported again.
    fault_plan.rules.clear();
    log_error(run, "/data/b.txt", fs_error(sys_errors.not_found));
    log_text(run, "/data/c.txt", 0, "own finding");
    log_block(run, "footer\n");
    EXPECT_EQ("kept\n", read_text_file(log_path));
    EXPECT_EQ(reported, console.both);
    EXPECT_EQ(1u, run.stats.errors_reported);
}

TEST_F(OutputTest, LogBlockAppendsOrReportsAndTurnsTheLogOff)
{
    use_log(log_path);
    log_block(run, "header\n");
    log_block(run, "footer\n\n");
    EXPECT_EQ("header\nfooter\n\n", read_text_file(log_path));
    EXPECT_EQ("", console.both);

    fault_plan.fail(fault_op_t::append, log_path, sys_errors.no_space);
    log_block(run, "lost\n");
    EXPECT_EQ(log_path + ": " + error_words(sys_errors.no_space) + "\n", console.err);
    EXPECT_EQ("", console.out);
    EXPECT_FALSE(run.log.active);

    fault_plan.rules.clear();
    log_error(run, "/data/a.txt", fs_error(sys_errors.io));
    log_block(run, "footer\n");
    EXPECT_EQ("header\nfooter\n\n", read_text_file(log_path));
    EXPECT_EQ(log_path + ": " + error_words(sys_errors.no_space) + "\n", console.err);
}

TEST_F(OutputTest, LogBlockWithoutLogDoesNothing)
{
    run.log.name = log_path;
    log_block(run, "header\n");
    EXPECT_FALSE(tree.exists("run.log"));
    EXPECT_EQ("", console.both);
}

TEST_F(OutputTest, PrintErrorLineUsesThePerrorForm)
{
    const fs_error_t denied_error = fs_error(sys_errors.access_denied);
    print_error_line(run, "/data/a.txt", denied_error);
    print_error_line(run, "", denied_error);
    print_error_line(run, nullptr, denied_error);
    print_error_line(run, "/data/odd\nname", denied_error);
    const std::string denied = error_words(sys_errors.access_denied);
    EXPECT_EQ("/data/a.txt: " + denied + "\n" + denied + "\n" + denied + "\n/data/odd\\012name: " + denied + "\n",
              console.err);
    EXPECT_EQ("", console.out);
}

TEST_F(OutputTest, ShowLevelsGateTheConsole)
{
    settings.verbosity = 3;
    show(run, 3, "a%d", 1);
    show(run, 4, "b");
    show_only(run, 3, "c");
    show_only(run, 2, "d");
    show_error(run, "e%s\n", "!");
    EXPECT_EQ("a1c", console.out);
    EXPECT_EQ("e!\n", console.err);
    EXPECT_EQ("a1ce!\n", console.both);

    // Text longer than any fixed buffer comes through whole.
    const std::string long_text(5000, 'z');
    show(run, 0, "%s|", long_text.c_str());
    EXPECT_EQ("a1c" + long_text + "|", console.out);
}

TEST_F(OutputTest, AllocOrExitGivesAUsableBlock)
{
    char* block = static_cast<char*>(alloc_or_exit(100));
    ASSERT_NE(nullptr, block);
    block[0] = 'a';
    block[99] = 'z';
    mem_free(block);
}

using OutputDeathTest = OutputTest;

TEST_F(OutputDeathTest, AllocOrExitEndsTheRunWhenMemoryRunsOut)
{
    // The real console, so that the message reaches the real standard error.
    platform_t no_memory = native_platform;
    no_memory.mem_try_alloc = refuse_alloc;
    EXPECT_EXIT(
        {
            plat_install(&no_memory);
            alloc_or_exit(16);
        },
        testing::ExitedWithCode(1), "^\nFine memoria\n$");
}

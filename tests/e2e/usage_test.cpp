#include <gtest/gtest.h>

#include "e2e/run_binary.h"
#include "support/console_text.h"

namespace {

std::string usage_text(const char* buffer)
{
    return std::string("\ncalvento [opzionie(i)] sorg dest\n"
                       "\tsorg dest Directory sorgente/destinazione\n"
                       "\t-i\tIgnora controllo copia circolare\n"
                       "\t-f\tForza copia dei files\n"
                       "\t-p\tNon cancella file non presenti\n"
                       "\t-n\tNon copia i file nuovi\n"
                       "\t-mx\tSetta modo (default 0)\n"
                       "\t\t0 - Copia solo i file con data o ampiezza diversa\n"
                       "\t\t1 - Copia solo i file con data superiore\n"
                       "\t\t2 - Copia solo i file con data superiore o uguale\n"
                       "\t\t3 - Copia in una directory che si chiama dest\\AAAAMMGG\n"
                       "\t\t    tutti i file presenti in 'sorg' che hanno la data del\n"
                       "\t\t    giorno.\n"
                       "\t-d\tCrea solo le directory necessarie\n"
                       "\t  \tserve solo congiuntamente alla opzione -m3\n"
                       "\t-vx\tSetta il livello di display a x (0=min,9=max,def=1)\n"
                       "\t-lname\tSetta file di log a name (default no log)\n"
                       "\t-xname\tEsclude il file name\n"
                       "\t-Xname\tEsclude il file name dalla directory principale\n"
                       "\t-bn\tImposta ampiezza buffer (default ") +
           buffer +
           ")\n"
           "\tname\tSe preceduto da @ e' il nome di un file testo contenente\n"
           "\t\ti nomi dei file che si desidera specificare.\n"
           "\tPremere un tasto per continuare";
}

}  // namespace

TEST(Usage, NoArgumentsShowsBannerAndUsageWithoutWaiting)
{
    const run_result_t run = run_calvento({}, "", 20);
    EXPECT_EQ(std::string(BANNER) + usage_text("1048576"), run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(1, run.code);
}

TEST(Usage, HelpLettersShowTheBufferSizeGivenBefore)
{
    EXPECT_EQ(std::string(BANNER) + usage_text("4096"), run_calvento({"-b4096", "-h"}).out);
    const run_result_t question = run_calvento({"-?", "a", "b"});
    EXPECT_EQ(std::string(BANNER) + usage_text("1048576"), question.out);
    EXPECT_EQ(1, question.code);
}

TEST(Usage, SizeDiagnosticEndsWithSuccess)
{
    const run_result_t run = run_calvento({"-*"});
    EXPECT_EQ(std::string(BANNER) +
                  "\nBuffer di copia 1048576 bytes\nSize dirent name   = 256\nSize filelist name = 256\n"
                  "Size filelist_t    = 276\n",
              run.out);
    EXPECT_EQ(0, run.code);
    EXPECT_TRUE(contains(run_calvento({"-b4096", "-*"}).out, "Buffer di copia 4096 bytes\n"));
}

#include "run/output.h"

#include <gtest/gtest.h>

#include <string>

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

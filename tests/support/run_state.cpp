#include "support/run_state.h"

#include <cstring>

#include "core/settings.h"
#include "core/stats.h"

void RunStateTest::SetUp()
{
    RunSettings = run_settings_t{};
    RunStatistics = run_statistics_t{};
    empty_exclusion_lists();
    copy_buffer_obtain();
}

void RunStateTest::TearDown()
{
    copy_buffer_release();
    empty_exclusion_lists();
}

void RunStateTest::use_log(const std::string& path)
{
    RunSettings.log_name = path;
    RunSettings.log_file = true;
}

int log_records_in(const std::string& log_text)
{
    int count = 0;
    for (std::size_t at = log_text.find("Errore\t\t\t: Codice"); at != std::string::npos;
         at = log_text.find("Errore\t\t\t: Codice", at + 1))
        ++count;
    return count;
}

#include "support/run_state.h"

#include <cstring>

#include "core/settings.h"
#include "core/stats.h"
#include "fileops/durable.h"

void RunStateTest::SetUp()
{
    RunSettings = run_settings_t{};
    RunSettings.workers = 0;   // the walk lists everything itself unless a test asks for threads
    RunStatistics = run_statistics_t{};
    empty_exclusion_lists();
    copy_buffer_obtain();
}

void RunStateTest::TearDown()
{
    // Copies still waiting to be made durable would outlive the test.
    settle_copies();
    close_dirs();
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

dest_dir_t* RunStateTest::dest(const std::string& path)
{
    std::unique_ptr<dest_dir_t>& held = dirs_[path];
    if (held == nullptr) {
        held = std::make_unique<dest_dir_t>();
        held->name = path;
        held->dir = fs_dir_open(nullptr, path.c_str(), true, nullptr);
    }
    return held.get();
}

fs_dir_t* RunStateTest::dir(const std::string& path)
{
    return dest(path)->dir;
}

void RunStateTest::close_dirs()
{
    for (auto& [path, held] : dirs_) {
        if (held->dir != nullptr)
            fs_dir_close(held->dir);
    }
    dirs_.clear();
}

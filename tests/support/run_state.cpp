#include "support/run_state.h"

#include <cstring>

void RunStateTest::SetUp()
{
    settings.workers = 0;   // the walk lists everything itself unless a test asks for threads
    copy_buffer_obtain(run, settings.buffer_size);
}

void RunStateTest::TearDown()
{
    // Copies still waiting to be made durable would outlive the test.
    if (real_changes_ != nullptr)
        real_changes_->settle(run);
    close_dirs();
}

dest_changes_t& RunStateTest::changes()
{
    std::unique_ptr<dest_changes_t>& held = settings.dry_run ? dry_changes_ : real_changes_;
    if (held == nullptr) {
        run_settings_t choice;
        choice.dry_run = settings.dry_run;
        held = make_dest_changes(choice);
    }
    return *held;
}

void RunStateTest::use_log(const std::string& path)
{
    run.log.name = path;
    run.log.active = true;
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
        held->dir.reset(fs_dir_open(nullptr, path.c_str(), true, nullptr));
    }
    return held.get();
}

fs_dir_t* RunStateTest::dir(const std::string& path)
{
    return dest(path)->dir.get();
}

void RunStateTest::close_dirs()
{
    dirs_.clear();
}

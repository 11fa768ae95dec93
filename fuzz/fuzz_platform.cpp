#include "fuzz_platform.h"

#include "platform/platform.h"
#include <memory>

std::string fuzz_list_file;
run_settings_t fuzz_settings;

namespace {

platform_t record;
std::unique_ptr<run_t> fuzz_run;

void quiet_write(int, const char*, std::size_t) {}
void quiet_flush() {}
void no_key() {}

int no_append(const char* path, const char*, std::size_t)
{
    // An empty name cannot be opened, as on a real file system.
    if (*path == '\0') {
        native_platform.set_last_error(native_platform.error_code(ERR_NOT_FOUND));
        return -1;
    }
    return 0;
}

int memory_read(const char* path, std::string* contents)
{
    if (*path == '\0') {
        native_platform.set_last_error(native_platform.error_code(ERR_NOT_FOUND));
        return -1;
    }
    *contents = fuzz_list_file;
    return 0;
}

void throwing_exit(int code)
{
    throw fuzz_exit{code};
}

}  // namespace

run_t& fuzz_reset()
{
    static bool installed = false;
    if (!installed) {
        record = native_platform;
        record.con_write = quiet_write;
        record.con_flush = quiet_flush;
        record.con_read_key = no_key;
        record.append_text = no_append;
        record.read_text = memory_read;
        record.proc_exit = throwing_exit;
        plat_install(&record);
        installed = true;
    }
    fuzz_run.reset();
    fuzz_settings = run_settings_t{};
    fuzz_run = std::make_unique<run_t>(fuzz_settings);
    return *fuzz_run;
}

// The command-line reader on arbitrary argument vectors: NUL bytes split the
// input into arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_platform.h"
#include "listing/exclude.h"
#include "run/options.h"

namespace {

int count(const exclude_t* list)
{
    int n = 0;
    for (; list != nullptr; list = list->next)
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    run_t& run = fuzz_reset();
    fuzz_list_file = "alpha beta\tgamma\n";
    std::vector<std::string> args{"calvento"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    int first = -1;
    try {
        first = parse_options(argc, argv.data(), fuzz_settings, run);
    } catch (const fuzz_exit& ended) {
        if (ended.code != 0 && ended.code != 1)
            std::abort();
        return 0;
    }
    // Options end at the first argument that does not start with "-".
    if (first < 1 || first > argc)
        std::abort();
    for (int i = 1; i < first; ++i) {
        if (args[static_cast<std::size_t>(i)][0] != '-')
            std::abort();
    }
    if (first < argc && args[static_cast<std::size_t>(first)][0] == '-')
        std::abort();
    const run_settings_t& s = fuzz_settings;
    if (s.verbosity < 0 || s.verbosity > 9 || s.copy_mode < 0 || s.copy_mode > 9)
        std::abort();
    for (int flag : {s.force_copy, s.keep_extra, s.skip_new, s.needed_dirs_only, s.ignore_circular}) {
        if (flag != 0 && flag != 1)
            std::abort();
    }
    if (run.log.active == run.log.name.empty())
        std::abort();
    if (count(run.exclude_all) < 0 || count(run.exclude_principal) < 0)
        std::abort();
    return 0;
}

// The list-file reader against an independent word split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_platform.h"
#include "listing/exclude.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_reset();
    fuzz_list_file.assign(reinterpret_cast<const char*>(data), size);
    Exclude_arg(&exclude_all, "@names.txt");

    // Words as the C library's "%s" conversion sees them. A NUL byte inside a
    // word ends the stored name, as it ends any C string.
    std::vector<std::string> expected;
    std::istringstream words(fuzz_list_file);
    std::string word;
    while (words >> word)
        expected.push_back(word.substr(0, word.find('\0')));

    std::vector<std::string> stored;  // the list is newest first
    for (const exclude_t* entry = exclude_all; entry != nullptr; entry = entry->next)
        stored.insert(stored.begin(), entry->name);
    if (stored != expected)
        std::abort();
    for (const std::string& name : expected) {
        if (!Exclude_search(exclude_all, name.c_str()))
            std::abort();
    }
    return 0;
}

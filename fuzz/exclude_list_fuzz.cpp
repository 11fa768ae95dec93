// The list-file reader against an independent word split, and against the
// C library's conversion of UTF-16.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iconv.h>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_platform.h"
#include "listing/exclude.h"

namespace {

// The text a list file holds, as UTF-8: without a UTF-8 byte-order mark,
// converted from UTF-16 after its mark, otherwise the bytes themselves.
// False when it holds no text: UTF-16 that the C library refuses, or a NUL.
bool text_of(const std::string& bytes, std::string* text)
{
    const char* encoding = nullptr;
    if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0)
        *text = bytes.substr(3);
    else if (bytes.compare(0, 2, "\xff\xfe") == 0)
        encoding = "UTF-16LE";
    else if (bytes.compare(0, 2, "\xfe\xff") == 0)
        encoding = "UTF-16BE";
    else
        *text = bytes;
    if (encoding != nullptr) {
        const iconv_t converter = iconv_open("UTF-8", encoding);
        if (converter == reinterpret_cast<iconv_t>(-1))
            std::abort();
        std::string in = bytes.substr(2);
        std::string out(in.size() * 2 + 4, '\0');
        char* from = in.data();
        char* to = out.data();
        std::size_t from_left = in.size();
        std::size_t to_left = out.size();
        const bool converted = iconv(converter, &from, &from_left, &to, &to_left) != static_cast<std::size_t>(-1);
        iconv_close(converter);
        if (!converted || from_left != 0)
            return false;
        *text = out.substr(0, out.size() - to_left);
    }
    return text->find('\0') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    run_t& run = fuzz_reset();
    fuzz_list_file.assign(reinterpret_cast<const char*>(data), size);
    bool refused = false;
    try {
        Exclude_arg(run, &run.exclude_all, "@names.txt");
    } catch (const fuzz_exit& stop) {
        if (stop.code != 1)
            std::abort();
        refused = true;
    }

    std::string text;
    if (!text_of(fuzz_list_file, &text)) {
        if (!refused || run.exclude_all != nullptr)
            std::abort();
        return 0;
    }
    if (refused)
        std::abort();

    // Words as the C library's "%s" conversion sees them.
    std::vector<std::string> expected;
    std::istringstream words(text);
    std::string word;
    while (words >> word)
        expected.push_back(word);

    std::vector<std::string> stored;  // the list is newest first
    for (const exclude_t* entry = run.exclude_all; entry != nullptr; entry = entry->next)
        stored.insert(stored.begin(), entry->name);
    if (stored != expected)
        std::abort();
    for (const std::string& name : expected) {
        if (!Exclude_search(run, run.exclude_all, name.c_str()))
            std::abort();
    }
    return 0;
}

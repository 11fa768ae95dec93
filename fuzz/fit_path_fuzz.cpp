// Path shortening against the shapes its result may take.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/output.h"

namespace {

// Control characters as the console shows them: a backslash and three
// octal digits.
std::string escaped(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            result += c;
            continue;
        }
        result += '\\';
        result += static_cast<char>('0' + (byte >> 6));
        result += static_cast<char>('0' + ((byte >> 3) & 7));
        result += static_cast<char>('0' + (byte & 7));
    }
    return result;
}

// The result written out case by case from the length T of the tail (the
// last component with its separator), on the escaped path.
std::string expected_fit(const std::string& raw, std::size_t width)
{
    const std::string path = escaped(raw);
    const std::size_t length = path.size();
    if (length <= width)
        return path;
    const std::string last = path.substr(length - width);
    const std::size_t slash = last.rfind('/');
    if (slash == std::string::npos)
        return last;
    const std::string tail = last.substr(slash);
    const std::size_t room = width - tail.size();  // the tail lies within the last `width`
    if (room <= 3)
        return std::string(room, '.') + tail;
    return path.substr(0, room - 3) + "..." + tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t width = data[0];
    std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    path = path.substr(0, path.find('\0'));
    const std::string result = fit_path(path.c_str(), static_cast<unsigned>(width));
    if (width > 255) {
        if (result.size() > 255)
            std::abort();
        return 0;
    }
    if (result != expected_fit(path, width))
        std::abort();
    return 0;
}

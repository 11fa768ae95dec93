// Path shortening against the shapes its result may take.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/output.h"

namespace {

// The bytes of the well-formed UTF-8 character at `at`, with its code
// point; 0 where none begins (a lone byte, a character cut short, an
// overlong form, a surrogate, a code past U+10FFFF).
std::size_t character_at(const std::string& text, std::size_t at, std::uint32_t* code)
{
    const unsigned byte = static_cast<unsigned char>(text[at]);
    *code = byte;
    if (byte < 0x80)
        return 1;
    const std::size_t bytes = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 0;
    if (bytes == 0 || byte > 0xf7 || at + bytes > text.size())
        return 0;
    *code = byte & (0x3fu >> (bytes - 1));
    for (std::size_t k = 1; k < bytes; ++k) {
        const unsigned next = static_cast<unsigned char>(text[at + k]);
        if (next < 0x80 || next > 0xbf)
            return 0;
        *code = (*code << 6) + (next - 0x80);
    }
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (*code < least[bytes] || *code > 0x10ffff || (*code >= 0xd800 && *code <= 0xdfff))
        return 0;
    return bytes;
}

bool c1_range(char c)
{
    return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) <= 0x9f;
}

// Names as the console shows them: controls of ASCII and C1, the
// bidirectional overrides and isolates, and the bytes of the C1 range that
// belong to no character, each byte as a backslash and three octal digits.
std::string escaped(const std::string& text)
{
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::uint32_t code;
        std::size_t bytes = character_at(text, at, &code);
        bool hide = c1_range(text[at]);
        if (bytes == 0)
            bytes = 1;
        else
            hide = code < 0x20 || code == 0x7f || (code >= 0x80 && code <= 0x9f) ||
                   (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
        for (std::size_t k = at; k < at + bytes; ++k) {
            const unsigned char byte = static_cast<unsigned char>(text[k]);
            if (!hide) {
                result += text[k];
                continue;
            }
            result += '\\';
            result += static_cast<char>('0' + (byte >> 6));
            result += static_cast<char>('0' + ((byte >> 3) & 7));
            result += static_cast<char>('0' + (byte & 7));
        }
        at += bytes;
    }
    return result;
}

// A cut that splits a character leaves its bytes of the C1 range as dots.
std::string dotted(std::string text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::uint32_t code;
        const std::size_t bytes = character_at(text, at, &code);
        if (bytes == 0 && c1_range(text[at]))
            text[at] = '.';
        at += bytes == 0 ? 1 : bytes;
    }
    return text;
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
        return dotted(last);
    const std::string tail = last.substr(slash);
    const std::size_t room = width - tail.size();  // the tail lies within the last `width`
    if (room <= 3)
        return dotted(std::string(room, '.') + tail);
    return dotted(path.substr(0, room - 3) + "..." + tail);
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

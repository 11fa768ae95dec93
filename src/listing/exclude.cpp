#include "listing/exclude.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "core/output.h"
#include "platform/platform.h"

namespace {

void add_words(run_t& run, exclude_t** list, const std::string& text)
{
    std::size_t at = 0;
    const std::size_t end = text.size();
    while (at < end) {
        while (at < end && is_blank(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < end && !is_blank(text[at]))
            ++at;
        if (at > start)
            Exclude_add(run, list, text.substr(start, at - start).c_str());
    }
}

void append_utf8(std::string* text, std::uint32_t code)
{
    if (code < 0x80) {
        *text += static_cast<char>(code);
    } else if (code < 0x800) {
        *text += static_cast<char>(0xc0 | code >> 6);
        *text += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        *text += static_cast<char>(0xe0 | code >> 12);
        *text += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        *text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        *text += static_cast<char>(0xf0 | code >> 18);
        *text += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        *text += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        *text += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// The UTF-16 text after the two bytes of its mark, as UTF-8. False when it
// ends inside a unit or holds half of a surrogate pair.
bool utf8_of_utf16(const std::string& bytes, bool big_endian, std::string* text)
{
    if (bytes.size() % 2 != 0)
        return false;
    const auto unit_at = [&](std::size_t at) {
        const std::uint32_t first = static_cast<unsigned char>(bytes[at]);
        const std::uint32_t second = static_cast<unsigned char>(bytes[at + 1]);
        return big_endian ? first << 8 | second : second << 8 | first;
    };
    text->clear();
    text->reserve(bytes.size());
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        std::uint32_t code = unit_at(at);
        if (code >= 0xdc00 && code <= 0xdfff)
            return false;
        if (code >= 0xd800 && code <= 0xdbff) {
            at += 2;
            const std::uint32_t low = at < bytes.size() ? unit_at(at) : 0;
            if (low < 0xdc00 || low > 0xdfff)
                return false;
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        append_utf8(text, code);
    }
    return true;
}

// Makes the bytes of a list file the program's own text, UTF-8: a UTF-8
// byte-order mark is dropped, and UTF-16 with its mark (what Windows
// editors and PowerShell save) is converted. Anything else stands as
// bytes, as names on disk do. False when the bytes are no text: broken
// UTF-16, or a NUL byte, which no name holds and which UTF-16 without its
// mark is full of; read as bytes, such a list would protect nothing.
bool list_text(std::string* contents)
{
    const auto begins = [&](const char* mark, std::size_t length) {
        return contents->compare(0, length, mark, length) == 0;
    };
    if (begins("\xef\xbb\xbf", 3)) {
        contents->erase(0, 3);
    } else if (begins("\xff\xfe", 2) || begins("\xfe\xff", 2)) {
        std::string text;
        if (!utf8_of_utf16(*contents, (*contents)[0] == '\xfe', &text))
            return false;
        contents->swap(text);
    }
    return contents->find('\0') == std::string::npos;
}

}  // namespace

void Exclude_arg(run_t& run, exclude_t** list, const char* text)
{
    if (text[0] != '@') {
        Exclude_add(run, list, text);
        return;
    }
    const char* file_name = text + 1;
    std::string contents;
    // The names protect what they name: a list that cannot be read whole
    // (missing, misspelt, a directory) or as text stops the run before
    // anything is done, as a log that cannot be created does.
    fs_error_t error = text_read(file_name, &contents);
    if (!error && !list_text(&contents))
        error = fs_error_of(ERR_BAD_TEXT);
    if (error) {
        print_error_line(run, file_name, error);
        proc_exit(1);
    }
    add_words(run, list, contents);
}

void Exclude_add(const run_t& run, exclude_t** list, const char* name)
{
    const std::size_t length = std::strlen(name);
    exclude_t* entry = static_cast<exclude_t*>(alloc_or_exit(sizeof(exclude_t)));
    entry->name = static_cast<char*>(alloc_or_exit(length + 1));
    std::memcpy(entry->name, name, length + 1);
    entry->next = *list;
    *list = entry;
    show(run, SHOW_SCANS, "Exclude '%s'\n", shown(entry->name).c_str());
}

bool Exclude_find(const exclude_t* first, const char* name)
{
    for (const exclude_t* entry = first; entry != nullptr; entry = entry->next) {
        if (std::strcmp(entry->name, name) == 0)
            return true;
    }
    return false;
}

int Exclude_search(const run_t& run, const exclude_t* first, const char* name)
{
    if (run.settings.verbosity < SHOW_TRACE)
        return Exclude_find(first, name) ? 1 : 0;
    show(run, SHOW_TRACE, "Exclude_search: %s - ", shown(name).c_str());
    const bool found = Exclude_find(first, name);
    show(run, SHOW_TRACE, found ? "Found\n" : "Not Found\n");
    return found ? 1 : 0;
}

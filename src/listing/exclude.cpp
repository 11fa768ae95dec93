#include "listing/exclude.h"

#include <cstring>
#include <string>

#include "core/output.h"
#include "core/settings.h"
#include "platform/platform.h"

exclude_t* exclude_all = nullptr;
exclude_t* exclude_principal = nullptr;

namespace {

void add_words(exclude_t** list, const std::string& text)
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
            Exclude_add(list, text.substr(start, at - start).c_str());
    }
}

}  // namespace

void Exclude_arg(exclude_t** list, const char* text)
{
    if (text[0] != '@') {
        Exclude_add(list, text);
        return;
    }
    const char* file_name = text + 1;
    std::string contents;
    // The names protect what they name: a list that cannot be read whole
    // (missing, misspelt, a directory) stops the run before anything is
    // done, as a log that cannot be created does.
    if (text_read(file_name, &contents) != 0) {
        print_error_line(file_name);
        proc_exit(1);
    }
    add_words(list, contents);
}

void Exclude_add(exclude_t** list, const char* name)
{
    const std::size_t length = std::strlen(name);
    exclude_t* entry = static_cast<exclude_t*>(alloc_or_exit(sizeof(exclude_t)));
    entry->name = static_cast<char*>(alloc_or_exit(length + 1));
    std::memcpy(entry->name, name, length + 1);
    entry->next = *list;
    *list = entry;
    show(SHOW_SCANS, "Exclude '%s'\n", shown(entry->name).c_str());
}

bool Exclude_find(const exclude_t* first, const char* name)
{
    for (const exclude_t* entry = first; entry != nullptr; entry = entry->next) {
        if (std::strcmp(entry->name, name) == 0)
            return true;
    }
    return false;
}

int Exclude_search(const exclude_t* first, const char* name)
{
    if (RunSettings.verbosity < SHOW_TRACE)
        return Exclude_find(first, name) ? 1 : 0;
    show(SHOW_TRACE, "Exclude_search: %s - ", shown(name).c_str());
    const bool found = Exclude_find(first, name);
    show(SHOW_TRACE, found ? "Found\n" : "Not Found\n");
    return found ? 1 : 0;
}

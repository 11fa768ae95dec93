#include "support/exclusion_reset.h"

#include <cstdlib>

namespace {

void empty_list(exclude_t** list)
{
    while (*list != nullptr) {
        exclude_t* entry = *list;
        *list = entry->next;
        std::free(entry->name);
        std::free(entry);
    }
}

}  // namespace

void empty_exclusion_lists()
{
    empty_list(&exclude_all);
    empty_list(&exclude_principal);
}

std::vector<std::string> exclusion_names(const exclude_t* list)
{
    std::vector<std::string> names;
    for (; list != nullptr; list = list->next)
        names.emplace_back(list->name);
    return names;
}

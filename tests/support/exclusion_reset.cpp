#include "support/exclusion_reset.h"

namespace {

void empty_list(exclude_t** list)
{
    while (*list != nullptr) {
        exclude_t* entry = *list;
        *list = entry->next;
        mem_free(entry->name);
        mem_free(entry);
    }
}

}  // namespace

void empty_exclusion_lists(run_t& run)
{
    empty_list(&run.exclude_all);
    empty_list(&run.exclude_principal);
}

std::vector<std::string> exclusion_names(const exclude_t* list)
{
    std::vector<std::string> names;
    for (; list != nullptr; list = list->next)
        names.emplace_back(list->name);
    return names;
}

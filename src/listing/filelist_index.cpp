#include "listing/filelist_index.h"

namespace {

// Below this many records a linear search beats building a table.
constexpr std::size_t SMALL_LIST = 24;

}  // namespace

filelist_index_t::filelist_index_t(filelist_t* head) : head_(head)
{
    std::size_t count = 0;
    for (const filelist_t* record = head->next; record != head; record = record->next)
        ++count;
    if (count <= SMALL_LIST)
        return;
    indexed_ = true;
    by_name_.reserve(count);
    for (filelist_t* record = head->next; record != head; record = record->next)
        by_name_.emplace(std::string_view(record->name), record);
}

filelist_t* filelist_index_t::find(const char* name) const
{
    if (!indexed_)
        return Filelist_find(head_, name);
    const auto found = by_name_.find(std::string_view(name));
    return found == by_name_.end() ? nullptr : found->second;
}

void filelist_index_t::forget(const filelist_t* record)
{
    if (!indexed_)
        return;
    const auto found = by_name_.find(std::string_view(record->name));
    if (found != by_name_.end() && found->second == record)
        by_name_.erase(found);
}

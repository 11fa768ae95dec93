#include "listing/filelist_index.h"

#include <cstdint>
#include <cstring>

namespace {

// Below this many records a linear search beats building a table.
constexpr std::size_t SMALL_LIST = 24;

// A slot whose record was forgotten: lookups walk past it.
filelist_t* const FORGOTTEN = reinterpret_cast<filelist_t*>(alignof(filelist_t));

std::uint64_t hash_name(const char* name)
{
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (; *name != '\0'; ++name) {
        hash ^= static_cast<unsigned char>(*name);
        hash *= 1099511628211u;
    }
    return hash;
}

}  // namespace

filelist_index_t::filelist_index_t(filelist_head_t* head, bool drop_repeats) : head_(head)
{
    const std::size_t count = static_cast<std::size_t>(head->records);
    if (count <= SMALL_LIST) {
        if (!drop_repeats)
            return;
        for (filelist_t* record = head->next; record != head;) {
            filelist_t* next = record->next;
            for (const filelist_t* earlier = head->next; earlier != record; earlier = earlier->next) {
                if (std::strcmp(earlier->name(), record->name()) == 0) {
                    Filelist_remove(head, record);
                    break;
                }
            }
            record = next;
        }
        return;
    }
    // At most three slots in four taken: short probes, and a table of a
    // huge directory no larger than it needs to be.
    std::size_t size = 1;
    while (size * 3 < count * 4)
        size <<= 1;
    slots_.assign(size, nullptr);
    mask_ = size - 1;
    for (filelist_t* record = head->next; record != head;) {
        filelist_t* next = record->next;
        std::size_t at = slot_of(record->name());
        if (slots_[at] == nullptr)
            slots_[at] = record;  // an existing slot holds the first of the name
        else if (drop_repeats)
            Filelist_remove(head, record);
        record = next;
    }
}

// The slot that holds `name`, or the empty slot where it would go.
std::size_t filelist_index_t::slot_of(const char* name) const
{
    std::size_t at = static_cast<std::size_t>(hash_name(name)) & mask_;
    for (;;) {
        const filelist_t* record = slots_[at];
        if (record == nullptr || (record != FORGOTTEN && std::strcmp(record->name(), name) == 0))
            return at;
        at = (at + 1) & mask_;
    }
}

filelist_t* filelist_index_t::find(const char* name) const
{
    if (slots_.empty())
        return Filelist_find(head_, name);
    return slots_[slot_of(name)];
}

void filelist_index_t::forget(const filelist_t* record)
{
    if (slots_.empty())
        return;
    const std::size_t at = slot_of(record->name());
    if (slots_[at] == record)
        slots_[at] = FORGOTTEN;
}

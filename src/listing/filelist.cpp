#include "listing/filelist.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/output.h"
#include "listing/exclude.h"

// A block of records, taken from the system as a whole: one allocation for
// many records instead of one each, and no allocator's bookkeeping per
// record. Blocks grow with the list, so that a small directory costs little.
struct filelist_block_t {
    filelist_block_t* next;
    std::size_t used;
    std::size_t capacity;

    char* data() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

constexpr std::size_t FIRST_BLOCK = 1024;
constexpr std::size_t LARGEST_BLOCK = 1 << 20;

constexpr std::size_t aligned(std::size_t size)
{
    return (size + alignof(filelist_t) - 1) & ~(alignof(filelist_t) - 1);
}

void release_blocks(filelist_head_t* head)
{
    while (head->blocks != nullptr) {
        filelist_block_t* block = head->blocks;
        head->blocks = block->next;
        mem_free(block);
    }
    head->records = 0;
}

// Room for `size` bytes in the list's newest block, or in a new one.
void* take_room(filelist_head_t* head, std::size_t size, bool may_fail)
{
    filelist_block_t* block = head->blocks;
    if (block == nullptr || block->capacity - block->used < size) {
        std::size_t capacity = block == nullptr ? FIRST_BLOCK : std::min(block->capacity * 2, LARGEST_BLOCK);
        capacity = std::max(capacity, aligned(size));
        void* memory = mem_try_alloc(sizeof(filelist_block_t) + capacity);
        if (memory == nullptr) {
            if (may_fail)
                return nullptr;
            alloc_failed();
        }
        block = static_cast<filelist_block_t*>(memory);
        block->next = head->blocks;
        block->used = 0;
        block->capacity = capacity;
        head->blocks = block;
    }
    void* room = block->data() + block->used;
    block->used += size;
    return room;
}

}  // namespace

filelist_head_t::filelist_head_t() : filelist_t{}
{
    next = this;
    prev = this;
}

filelist_head_t::~filelist_head_t()
{
    release_blocks(this);
}

void Filelist_init(filelist_head_t* head)
{
    release_blocks(head);
    head->next = head;
    head->prev = head;
}

bool Filelist_add(filelist_head_t* head, const dos_dirent_t* entry, bool may_fail)
{
    const std::size_t length = std::strlen(entry->name);
    void* room = take_room(head, aligned(sizeof(filelist_t) + length + 1), may_fail);
    if (room == nullptr)
        return false;
    filelist_t* record = new (room) filelist_t;
    record->attr = entry->attr;
    if (entry->attr & ATTR_DIRECTORY) {
        record->size = entry->id.device;
        record->sec = static_cast<std::int64_t>(entry->id.inode);
        record->nsec = 0;
    } else {
        record->size = entry->size;
        record->sec = entry->mtime.sec;
        record->nsec = entry->mtime.nsec;
    }
    record->changed = entry->changed;
    record->protection = entry->protection;
    std::memcpy(static_cast<char*>(room) + sizeof(filelist_t), entry->name, length + 1);
    record->prev = head->prev;
    record->next = head;
    head->prev->next = record;
    head->prev = record;
    ++head->records;
    return true;
}

void Filelist_remove(filelist_head_t* head, filelist_t* record)
{
    record->prev->next = record->next;
    record->next->prev = record->prev;
    if (--head->records == 0)
        Filelist_init(head);
}

void Filelist_move(filelist_head_t* to, filelist_head_t* from)
{
    Filelist_init(to);
    if (Filelist_empty(from))
        return;
    to->next = from->next;
    to->prev = from->prev;
    to->next->prev = to;
    to->prev->next = to;
    to->blocks = from->blocks;
    to->records = from->records;
    from->blocks = nullptr;
    from->records = 0;
    from->next = from;
    from->prev = from;
}

filelist_t* Filelist_respell(filelist_head_t* head, filelist_t* record, const char* name)
{
    const std::size_t length = std::strlen(name);
    void* room = take_room(head, aligned(sizeof(filelist_t) + length + 1), false);
    filelist_t* respelt = new (room) filelist_t(*record);
    std::memcpy(static_cast<char*>(room) + sizeof(filelist_t), name, length + 1);
    respelt->prev->next = respelt;
    respelt->next->prev = respelt;
    return respelt;
}

filelist_t* Filelist_find(filelist_head_t* head, const char* name)
{
    for (filelist_t* record = head->next; record != head; record = record->next) {
        if (std::strcmp(record->name(), name) == 0)
            return record;
    }
    return nullptr;
}

namespace {

bool excluded(const run_t& run, const exclude_t* list, const char* name, bool quiet)
{
    return quiet ? Exclude_find(list, name) : Exclude_search(run, list, name) != 0;
}

}  // namespace

std::uint32_t Filelist_scan(const run_t& run, fs_dir_t* dir, const char* path, filelist_head_t* dirs,
                            filelist_head_t* files, scan_t how, fs_error_t* failure)
{
    const bool quiet = how.quiet || how.ahead;
    const bool traced = !quiet && run.settings.verbosity >= SHOW_SCANS;
    if (traced)
        show(run, SHOW_SCANS, "Scan\t%-60.60s      ", fit_path(path, FIT_WIDTH));
    Filelist_init(dirs);
    Filelist_init(files);
    std::uint32_t count = 0;
    fs_error_t error;
    bool left_out = false;
    if (dir != nullptr) {
        dos_dirent_t entry;
        for (;;) {
            const int got = fs_dir_next(dir, &entry, &error);
            if (got <= 0)
                break;
            if (entry.name[0] == '.') {
                left_out |= std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0;
                continue;
            }
            if (excluded(run, run.exclude_all, entry.name, quiet) ||
                (how.principal && excluded(run, run.exclude_principal, entry.name, quiet))) {
                left_out = true;
                continue;
            }
            const int details = fs_dir_details(dir, &entry, &error);
            if (details == 0) {
                left_out = true;   // vanished, or became something never listed
                continue;
            }
            if (details < 0)
                break;
            bool added = true;
            if (entry.attr & ATTR_DIRECTORY) {
                added = Filelist_add(dirs, &entry, how.ahead);
            } else if (how.hidden == nullptr || !(entry.id == *how.hidden)) {
                added = Filelist_add(files, &entry, how.ahead);
                ++count;
            } else {
                left_out = true;
            }
            if (!added) {
                error = fs_error_of(ERR_OTHER);   // out of memory ahead of the walk, which lists it again
                break;
            }
        }
        if (traced)
            show(run, SHOW_SCANS, "%5u\b\b\b\b\b", count);
        left_out |= fs_dir_passed_over(dir) != 0;
    }
    if (how.left_out != nullptr)
        *how.left_out = left_out;
    if (traced)
        show(run, SHOW_SCANS, "%5u\n", count);
    if (failure != nullptr)
        *failure = error;
    return count;
}

fs_dir_t* open_listed_dir(fs_dir_t* parent, const filelist_t* record, fs_error_t* error)
{
    fs_id_t opened;
    fs_dir_t* dir = fs_dir_open(parent, record->name(), false, &opened, error);
    if (dir == nullptr)
        return nullptr;
    if (!(opened == record->id())) {
        fs_dir_close(dir);
        *error = fs_error_of(ERR_NOT_FOUND);
        return nullptr;
    }
    return dir;
}

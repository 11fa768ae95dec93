#include "listing/filelist.h"

#include <cstring>

#include "core/output.h"
#include "core/settings.h"
#include "listing/exclude.h"

void Filelist_init(filelist_t* head)
{
    head->next = head;
    head->prev = head;
}

void Filelist_add(filelist_t* head, const dos_dirent_t* entry)
{
    // One block for the record and its name: a directory of 50,000 entries
    // should not cost 50,000 full-length name fields.
    const std::size_t length = std::strlen(entry->name);
    filelist_t* record = static_cast<filelist_t*>(alloc_or_exit(sizeof(filelist_t) + length + 1));
    record->attr = entry->attr;
    record->mtime = entry->mtime;
    record->name = reinterpret_cast<char*>(record + 1);
    std::memcpy(record->name, entry->name, length + 1);
    record->size = entry->size;
    record->id = entry->id;
    record->protection = entry->protection;
    record->prev = head->prev;
    record->next = head;
    head->prev->next = record;
    head->prev = record;
}

void Filelist_remove(filelist_t* record)
{
    record->prev->next = record->next;
    record->next->prev = record->prev;
    mem_free(record);
}

filelist_t* Filelist_find(filelist_t* head, const char* name)
{
    for (filelist_t* record = head->next; record != head; record = record->next) {
        if (std::strcmp(record->name, name) == 0)
            return record;
    }
    return nullptr;
}

namespace {

bool excluded(const exclude_t* list, const char* name, bool quiet)
{
    return quiet ? Exclude_find(list, name) : Exclude_search(list, name) != 0;
}

}  // namespace

std::uint32_t Filelist_scan(fs_dir_t* dir, const char* path, filelist_t* dirs, filelist_t* files, scan_t how,
                            int* failure)
{
    const bool traced = !how.quiet && RunSettings.verbosity >= SHOW_SCANS;
    if (traced)
        show(SHOW_SCANS, "Scan\t%-60.60s      ", fit_path(path, FIT_WIDTH));
    Filelist_init(dirs);
    Filelist_init(files);
    std::uint32_t count = 0;
    int error = 0;
    if (dir != nullptr) {
        dos_dirent_t entry;
        for (;;) {
            const int got = fs_dir_next(dir, &entry);
            if (got <= 0) {
                if (got < 0)
                    error = last_error();
                break;
            }
            if (entry.name[0] == '.')
                continue;
            if (excluded(exclude_all, entry.name, how.quiet))
                continue;
            if (how.principal && excluded(exclude_principal, entry.name, how.quiet))
                continue;
            const int details = fs_dir_details(dir, &entry);
            if (details == 0)
                continue;  // vanished, or became something never listed
            if (details < 0) {
                error = last_error();
                break;
            }
            if (entry.attr & ATTR_DIRECTORY) {
                Filelist_add(dirs, &entry);
            } else if (how.hidden == nullptr || !(entry.id == *how.hidden)) {
                Filelist_add(files, &entry);
                ++count;
            }
        }
        if (traced)
            show(SHOW_SCANS, "%5u\b\b\b\b\b", count);
    }
    if (traced)
        show(SHOW_SCANS, "%5u\n", count);
    if (failure != nullptr)
        *failure = error;
    set_last_error(error);
    return count;
}

fs_dir_t* open_listed_dir(fs_dir_t* parent, const filelist_t* record)
{
    fs_id_t opened;
    fs_dir_t* dir = fs_dir_open(parent, record->name, false, &opened);
    if (dir != nullptr && !(opened == record->id)) {
        fs_dir_close(dir);
        set_last_error_kind(ERR_NOT_FOUND);
        return nullptr;
    }
    return dir;
}

// Finding listed records by name in time independent of the list's length.
#pragma once

#include <cstddef>
#include <vector>

#include "listing/filelist.h"

// A name index beside one list. Small lists are searched in place, as
// Filelist_find does; a larger one gets an open-addressing hash table of
// record pointers, so that pairing two directories of n entries costs n
// lookups rather than n*n comparisons. The first record of a name wins, as
// with Filelist_find; with `drop_repeats` every later record of a name is
// taken out of the list (a listing that named an entry twice). A record
// must be forgotten before Filelist_remove releases it.
struct filelist_index_t {
    explicit filelist_index_t(filelist_head_t* head, bool drop_repeats = false);

    filelist_t* find(const char* name) const;
    void forget(const filelist_t* record);

  private:
    std::size_t slot_of(const char* name) const;

    filelist_head_t* head_;
    std::vector<filelist_t*> slots_;  // empty: search the list itself
    std::size_t mask_ = 0;
};

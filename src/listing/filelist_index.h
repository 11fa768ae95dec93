// Finding listed records by name in time independent of the list's length.
#pragma once

#include <string_view>
#include <unordered_map>

#include "listing/filelist.h"

// A name index beside one list. Small lists are searched in place, as
// Filelist_find does; a larger one gets a hash index, so that pairing two
// directories of n entries costs n lookups rather than n*n comparisons.
// The first record of a name wins, as with Filelist_find. A record must
// be forgotten before Filelist_remove releases it.
struct filelist_index_t {
    explicit filelist_index_t(filelist_t* head);

    filelist_t* find(const char* name) const;
    void forget(const filelist_t* record);

  private:
    filelist_t* head_;
    bool indexed_ = false;
    std::unordered_map<std::string_view, filelist_t*> by_name_;
};

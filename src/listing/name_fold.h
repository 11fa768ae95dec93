// Names as a destination that ignores letter case sees them.
#pragma once

#include <cstdint>

// Two names that differ only in letter case are one name on FAT, exFAT,
// NTFS, most SMB shares and ext4 directories with casefolding. These
// compare code point by code point after the simple upper-case mapping of
// Unicode (the one a single code point maps to a single code point by, as
// NTFS's own table does); bytes that are no valid UTF-8 compare as they are.
bool fold_equal(const char* a, const char* b);

// A hash under which names that fold_equal joins agree.
std::uint64_t fold_hash(const char* name);

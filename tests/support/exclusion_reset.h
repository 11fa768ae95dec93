// The names of an exclusion list, for tests and fuzz inputs. Free of the
// test framework, so that the fuzz targets can use it too.
#pragma once

#include <string>
#include <vector>

#include "core/run.h"

// Empties both exclusion lists of `run`, freeing every entry.
void empty_exclusion_lists(run_t& run);

// The names of a list, newest first.
std::vector<std::string> exclusion_names(const exclude_t* list);

// The exclusion lists between tests and fuzz inputs. Free of the test
// framework, so that the fuzz targets can use it too.
#pragma once

#include <string>
#include <vector>

#include "listing/exclude.h"

// Empties both exclusion lists, freeing every entry.
void empty_exclusion_lists();

// The names of a list, newest first.
std::vector<std::string> exclusion_names(const exclude_t* list);

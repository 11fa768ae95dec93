#include "fileops/make_dir.h"

#include <string>

#include "platform/platform.h"
#include "run/options.h"
#include "run/output.h"
#include "run/stats.h"

int make_directory(const char* path)
{
    show(2, "Dir\t%-60.60s     Creata\n", fit_path(path, FIT_WIDTH));
    const int result = fs_make_dir(path);
    if (result == 0)
        ++RunStatistics.dirs_created;
    return result;
}

void make_path(const char* path)
{
    std::string prefix;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == PATH_SEP && prefix.size() >= 2 && prefix.back() != ':')
            make_directory(prefix.c_str());
        prefix += *c;
    }
}

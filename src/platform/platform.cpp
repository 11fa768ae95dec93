#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

const platform_t* current = &posix_platform;

}  // namespace

const platform_t& plat()
{
    return *current;
}

const platform_t* plat_install(const platform_t* record)
{
    const platform_t* previous = current;
    current = record != nullptr ? record : &posix_platform;
    return previous;
}

const char* error_text(int code)
{
    return std::strerror(code);
}

void proc_exit(int code)
{
    plat().proc_exit(code);
    std::abort();  // a replaced record must not return either
}

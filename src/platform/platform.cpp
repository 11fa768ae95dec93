#include "platform/platform.h"

#include <cstdlib>

namespace {

const platform_t* current = &native_platform;

}  // namespace

const platform_t& plat()
{
    return *current;
}

const platform_t* plat_install(const platform_t* record)
{
    const platform_t* previous = current;
    current = record != nullptr ? record : &native_platform;
    return previous;
}

void proc_exit(int code)
{
    plat().proc_exit(code);
    std::abort();  // a replaced record must not return either
}

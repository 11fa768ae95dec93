#include "core/stats.h"

#include "core/output.h"
#include "core/settings.h"
#include "platform/platform.h"

run_statistics_t RunStatistics;
char* copy_buffer = nullptr;

void copy_buffer_obtain()
{
    // No allocation of zero bytes can serve a copy; halving would never end.
    if (RunSettings.buffer_size == 0)
        RunSettings.buffer_size = DEFAULT_BUFFER_SIZE;
    for (;;) {
        copy_buffer = static_cast<char*>(mem_try_alloc(RunSettings.buffer_size));
        if (copy_buffer != nullptr)
            return;
        if (RunSettings.buffer_size == 1)
            alloc_failed();
        RunSettings.buffer_size /= 2;
    }
}

void copy_buffer_release()
{
    mem_free(copy_buffer);
    copy_buffer = nullptr;
}

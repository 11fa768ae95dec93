#include "core/run.h"

#include "core/output.h"

namespace {

void free_list(exclude_t* list)
{
    while (list != nullptr) {
        exclude_t* entry = list;
        list = entry->next;
        mem_free(entry->name);
        mem_free(entry);
    }
}

}  // namespace

run_t::~run_t()
{
    copy_buffer_release(*this);
    free_list(exclude_all);
    free_list(exclude_principal);
}

void copy_buffer_obtain(run_t& run, std::uint32_t size)
{
    copy_buffer_release(run);
    // No allocation of zero bytes can serve a copy; halving would never end.
    if (size == 0)
        size = DEFAULT_BUFFER_SIZE;
    for (;;) {
        run.buffer.data = static_cast<char*>(mem_try_alloc(size));
        if (run.buffer.data != nullptr) {
            run.buffer.size = size;
            return;
        }
        if (size == 1)
            alloc_failed();
        size /= 2;
    }
}

void copy_buffer_release(run_t& run)
{
    mem_free(run.buffer.data);
    run.buffer.data = nullptr;
    run.buffer.size = 0;
}

#include "fileops/dest_dir.h"

fs_dir_t* dest_dir_open(dest_dir_t* dest)
{
    if (dest->dir)
        return dest->dir.get();
    if (dest->parent == nullptr) {
        dest->dir.reset(fs_dir_open(nullptr, dest->name.c_str(), true, nullptr));
    } else {
        fs_dir_t* parent = dest_dir_open(dest->parent);
        if (parent != nullptr)
            dest->dir.reset(fs_dir_open(parent, dest->name.c_str(), false, nullptr));
    }
    return dest->dir.get();
}

#include "fileops/dest_dir.h"

#include <cstring>

namespace {

// The length of the directory that holds what the first `length`
// characters of `path` name: without its last name and the separators
// around it.
std::size_t up_one(const char* path, std::size_t length)
{
    while (length > 0 && is_separator(path[length - 1]))
        --length;
    while (length > 0 && !is_separator(path[length - 1]))
        --length;
    while (length > 0 && is_separator(path[length - 1]))
        --length;
    return length;
}

}  // namespace

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

bool dest_dir_unmade(const dest_dir_t* dest)
{
    for (; dest != nullptr; dest = dest->parent) {
        if (dest->unmade)
            return true;
    }
    return false;
}

void dest_dir_mark_unmade(dest_dir_t* dest, const char* dst_path, std::size_t failed)
{
    // The directories above `dest` are ever shorter prefixes of dst_path,
    // one name at a time.
    std::size_t length = up_one(dst_path, std::strlen(dst_path));
    while (dest->parent != nullptr) {
        length = up_one(dst_path, length);
        if (length < failed)
            break;
        dest = dest->parent;
    }
    dest->unmade = true;
}

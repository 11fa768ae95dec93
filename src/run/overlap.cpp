#include "run/overlap.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Opens the directory that `path` names or, when it does not exist yet, the
// nearest existing one it would be made in; `complete` tells whether all of
// it exists. The system resolves the part that exists (links followed, ".."
// to the real parent); in the part that does not, "." and ".." are resolved
// on the text, so that "missing/../src/new" lies in src.
void open_nearest(const char* path, dir_handle_t* current, bool* complete, std::vector<std::string>* rest = nullptr)
{
    const std::size_t root = root_length(path);
    current->reset(fs_dir_open(nullptr, root > 0 ? std::string(path, root).c_str() : ".", true, nullptr));
    if (current->get() == nullptr)
        return;
    std::vector<std::string> missing;
    const char* at = path + root;
    while (*at != '\0') {
        const char* end = at;
        while (*end != '\0' && !is_separator(*end))
            ++end;
        const std::string part(at, static_cast<std::size_t>(end - at));
        at = *end != '\0' ? end + 1 : end;
        if (part.empty() || part == ".")
            continue;
        if (!missing.empty()) {
            if (part == "..")
                missing.pop_back();
            else
                missing.push_back(part);
            continue;
        }
        fs_dir_t* next = fs_dir_open(current->get(), part.c_str(), true, nullptr);
        if (next != nullptr)
            current->reset(next);
        else
            missing.push_back(part);
    }
    *complete = missing.empty();
    if (rest != nullptr)
        *rest = std::move(missing);
}

// The identities of `dir` and of every real parent above it, up to the root.
std::vector<fs_id_t> identity_chain(fs_dir_t* dir)
{
    std::vector<fs_id_t> chain;
    fs_id_t id;
    dir_handle_t current(fs_dir_open(dir, ".", true, &id));
    // The root is its own parent; the bound only guards against a file
    // system that never says so.
    while (current.get() != nullptr && chain.size() < 65536) {
        if (!chain.empty() && chain.back() == id)
            break;
        chain.push_back(id);
        current.reset(fs_dir_open(current.get(), "..", true, &id));
    }
    return chain;
}

bool holds(const std::vector<fs_id_t>& chain, const fs_id_t& id)
{
    return std::find(chain.begin(), chain.end(), id) != chain.end();
}

// The components of a path, separators of every kind dropped.
std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t end = at;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        if (end > at)
            parts.emplace_back(path, at, end - at);
        at = end + 1;
    }
    return parts;
}

// Whether the place `inner` is `outer` or lies inside it: on the same file
// system, and with all of `outer`'s components at the start of its path
// ("/a/b" holds "/a/b/c", not "/a/bc").
bool lies_within(const fs_place_t& inner, const fs_place_t& outer)
{
    if (inner.volume != outer.volume)
        return false;
    const std::vector<std::string> in = components(inner.path);
    const std::vector<std::string> out = components(outer.path);
    return out.size() <= in.size() && std::equal(out.begin(), out.end(), in.begin());
}

// Whether the directory `inner` (or where it would be made) is the
// directory `outer` or lies inside it: by identity up the real parents,
// and by place inside the file system, as operands_overlap judges. Where
// `outer` does not exist yet, `inner` lies inside it when both would be
// made in the same existing directory and the names still to be made of
// `outer` begin those of `inner`.
bool path_inside(const char* inner, const char* outer)
{
    dir_handle_t in;
    dir_handle_t out;
    bool in_complete = false;
    bool out_complete = false;
    std::vector<std::string> in_rest;
    std::vector<std::string> out_rest;
    open_nearest(inner, &in, &in_complete, &in_rest);
    open_nearest(outer, &out, &out_complete, &out_rest);
    if (in.get() == nullptr || out.get() == nullptr)
        return false;
    const std::vector<fs_id_t> up_from_inner = identity_chain(in.get());
    const std::vector<fs_id_t> up_from_outer = identity_chain(out.get());
    if (up_from_inner.empty() || up_from_outer.empty())
        return false;
    if (!out_complete)
        return up_from_inner.front() == up_from_outer.front() && out_rest.size() <= in_rest.size() &&
               std::equal(out_rest.begin(), out_rest.end(), in_rest.begin());
    if (holds(up_from_inner, up_from_outer.front()))
        return true;
    fs_place_t in_place;
    fs_place_t out_place;
    if (fs_dir_place(in.get(), &in_place) != 0 || fs_dir_place(out.get(), &out_place) != 0)
        return false;
    // The outer tree holds what is mounted inside it too.
    if (lies_within(in_place, out_place))
        return true;
    for (const fs_place_t& mounted : out_place.mounted) {
        if (lies_within(in_place, mounted))
            return true;
    }
    return false;
}

}  // namespace

bool versions_overlap(const char* src, const char* dst, const char* versions)
{
    return path_inside(versions, src) || path_inside(src, versions) || path_inside(dst, versions);
}

bool operands_overlap(const char* src, const char* dst)
{
    const std::size_t n = std::min(std::strlen(src), std::strlen(dst));
    if (std::memcmp(src, dst, n) == 0)
        return true;

    dir_handle_t source;
    dir_handle_t destination;
    bool source_complete = false;
    bool destination_complete = false;
    open_nearest(src, &source, &source_complete);
    open_nearest(dst, &destination, &destination_complete);
    if (!source_complete || source.get() == nullptr || destination.get() == nullptr)
        return false;   // a missing source is the walk's to report
    // The destination, or where it will be made, is the source or lies in it;
    // or the source lies in the destination.
    const std::vector<fs_id_t> up_from_source = identity_chain(source.get());
    const std::vector<fs_id_t> up_from_destination = identity_chain(destination.get());
    if (!up_from_source.empty() && !up_from_destination.empty() &&
        (holds(up_from_destination, up_from_source.front()) ||
         (destination_complete && holds(up_from_source, up_from_destination.front()))))
        return true;
    // The same, by place inside the file system: the real parents above the
    // root of a mount are those of its mount point, so a bind mount of a
    // sub-directory (or a drive letter given to one) hides it from the walk
    // up. Where the system cannot tell the places, the walk's answer stands.
    fs_place_t source_place;
    fs_place_t destination_place;
    if (fs_dir_place(source.get(), &source_place) != 0 || fs_dir_place(destination.get(), &destination_place) != 0)
        return false;
    // A tree holds what is mounted inside it too (a destination that does
    // not exist yet holds nothing): every part of one is compared with every
    // part of the other.
    std::vector<const fs_place_t*> source_parts = {&source_place};
    for (const fs_place_t& mounted : source_place.mounted)
        source_parts.push_back(&mounted);
    std::vector<const fs_place_t*> destination_parts = {&destination_place};
    if (destination_complete) {
        for (const fs_place_t& mounted : destination_place.mounted)
            destination_parts.push_back(&mounted);
    }
    for (const fs_place_t* source_part : source_parts) {
        for (const fs_place_t* destination_part : destination_parts) {
            if (lies_within(*destination_part, *source_part) ||
                (destination_complete && lies_within(*source_part, *destination_part)))
                return true;
        }
    }
    return false;
}

// The parts of TempTree that every system shares; the rest is in the
// system's own part (posix/, windows/).
#include "support/temp_tree.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/system.h"

namespace fs = std::filesystem;

std::string TempTree::path(const std::string& relative) const
{
    if (relative.empty())
        return root_;
    std::string native = relative;
    const std::string separator = sep();
    std::replace(native.begin(), native.end(), '/', separator[0]);
    return root_ + separator + native;
}

void TempTree::file(const std::string& relative, const std::string& bytes)
{
    const fs::path target = fs_path(path(relative));
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path(relative));
}

void TempTree::dir(const std::string& relative)
{
    fs::create_directories(fs_path(path(relative)));
}

void TempTree::hard_link(const std::string& existing, const std::string& relative)
{
    const fs::path where = fs_path(path(relative));
    fs::create_directories(where.parent_path());
    fs::create_hard_link(fs_path(path(existing)), where);
}

std::string TempTree::read(const std::string& relative) const
{
    return read_file(path(relative));
}

std::vector<std::string> TempTree::names(const std::string& relative) const
{
    std::vector<std::string> result;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs_path(path(relative)), ignored))
        result.push_back(utf8_of(entry.path().filename()));
    std::sort(result.begin(), result.end());
    return result;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(fs_path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> delivery_order(const std::string& path)
{
    std::vector<std::string> names;
    for (const std::string& name : delivered_names(path)) {
        if (name[0] != '.')
            names.push_back(name);
    }
    return names;
}

#include "support/temp_tree.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace fs = std::filesystem;

TempTree::TempTree()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/calvento-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
}

TempTree::~TempTree()
{
    // Give write permission back everywhere so that removal cannot fail.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(root_, ignored);
}

std::string TempTree::path(const std::string& relative) const
{
    return relative.empty() ? root_ : root_ + "/" + relative;
}

void TempTree::file(const std::string& relative, const std::string& bytes)
{
    const fs::path target = path(relative);
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + target.string());
}

void TempTree::dir(const std::string& relative)
{
    fs::create_directories(path(relative));
}

void TempTree::link(const std::string& relative, const std::string& target)
{
    const fs::path where = path(relative);
    fs::create_directories(where.parent_path());
    fs::create_symlink(target, where);
}

void TempTree::hard_link(const std::string& existing, const std::string& relative)
{
    const fs::path where = path(relative);
    fs::create_directories(where.parent_path());
    fs::create_hard_link(path(existing), where);
}

void TempTree::fifo(const std::string& relative)
{
    if (mkfifo(path(relative).c_str(), 0644) != 0)
        throw std::runtime_error("mkfifo failed");
}

std::string TempTree::read(const std::string& relative) const
{
    return read_file(path(relative));
}

bool TempTree::exists(const std::string& relative) const
{
    struct stat info;
    return lstat(path(relative).c_str(), &info) == 0;
}

bool TempTree::is_dir(const std::string& relative) const
{
    struct stat info;
    return lstat(path(relative).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> TempTree::names(const std::string& relative) const
{
    std::vector<std::string> result;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path(relative), ignored))
        result.push_back(entry.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

void TempTree::set_mtime(const std::string& relative, std::time_t when)
{
    struct timeval times[2] = {{when, 0}, {when, 0}};
    if (lutimes(path(relative).c_str(), times) != 0)
        throw std::runtime_error("lutimes failed");
}

std::time_t TempTree::mtime(const std::string& relative) const
{
    struct stat info;
    if (lstat(path(relative).c_str(), &info) != 0)
        return -1;
    return info.st_mtime;
}

void TempTree::set_mode(const std::string& relative, unsigned mode)
{
    if (chmod(path(relative).c_str(), mode) != 0)
        throw std::runtime_error("chmod failed");
}

unsigned TempTree::mode(const std::string& relative) const
{
    struct stat info;
    if (lstat(path(relative).c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

std::time_t local_moment(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> delivered_names(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
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

#include "e2e/tree_compare.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <functional>
#include <regex>
#include <sys/stat.h>

#include "support/temp_tree.h"

namespace {

std::string printable(const std::string& name)
{
    std::string shown;
    for (const unsigned char c : name) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

void describe_into(const std::string& root, const std::string& relative, bool mirrored_only,
                   std::vector<std::string>* lines)
{
    const std::string here = relative.empty() ? root : root + "/" + relative;
    DIR* dir = opendir(here.c_str());
    if (dir == nullptr) {
        lines->push_back("? " + printable(relative) + " (cannot be listed)");
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (mirrored_only && name[0] == '.')
            continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        const std::string full = root + "/" + child;
        struct stat info;
        if (lstat(full.c_str(), &info) != 0) {
            lines->push_back("? " + printable(child));
        } else if (S_ISDIR(info.st_mode)) {
            lines->push_back("d " + printable(child));
            describe_into(root, child, mirrored_only, lines);
        } else if (S_ISREG(info.st_mode)) {
            const std::string bytes = read_file(full);
            char detail[160];
            std::snprintf(detail, sizeof detail, " size=%lld bytes=%zx mtime/2=%lld mode=%03o",
                          static_cast<long long>(info.st_size), std::hash<std::string>{}(bytes),
                          static_cast<long long>(info.st_mtime / 2), static_cast<unsigned>(info.st_mode & 07777));
            lines->push_back("f " + printable(child) + detail);
        } else if (!mirrored_only) {
            lines->push_back((S_ISLNK(info.st_mode) ? "l " : "o ") + printable(child));
        }
    }
}

}  // namespace

std::vector<std::string> describe_tree(const std::string& root, bool mirrored_only)
{
    std::vector<std::string> lines;
    describe_into(root, "", mirrored_only, &lines);
    return lines;
}

std::string column(const std::string& path)
{
    std::string field = path.substr(0, 60);
    field.resize(60, ' ');
    return field;
}

std::string last_line(const std::string& out)
{
    if (out.size() < 2)
        return out;
    // A progress line ends in a carriage return and is overwritten by the next.
    const std::size_t start = out.find_last_of("\r\n", out.size() - 2);
    return start == std::string::npos ? out : out.substr(start + 1);
}

bool is_summary(const std::string& line, unsigned long files, unsigned long long bytes)
{
    const std::string prefix = std::to_string(files) + " file copiato(i), " + std::to_string(bytes) + " byte , ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    // The rate fills a field of ten columns.
    static const std::regex rate("( {0,9}[0-9]{1,10}) byte/sec\n");
    const std::string rest = line.substr(prefix.size());
    std::smatch match;
    return std::regex_match(rest, match, rate) && match[1].length() >= 10;
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

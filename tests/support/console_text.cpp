#include "support/console_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <regex>

namespace {

constexpr std::size_t WIDTH = 60;

}  // namespace

std::string formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    std::string text(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, args)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    va_end(args);
    return text;
}

std::string fitted(const std::string& path)
{
    if (path.size() <= WIDTH)
        return path;
    const std::size_t slash = path.rfind('/');
    const std::size_t tail = slash == std::string::npos ? path.size() : path.size() - slash;
    if (tail >= WIDTH)
        return path.substr(path.size() - WIDTH);
    const std::size_t room = WIDTH - tail;
    const std::size_t dots = std::min<std::size_t>(room, 3);
    return path.substr(0, room - dots) + std::string(dots, '.') + path.substr(slash);
}

std::string column(const std::string& path)
{
    std::string field = fitted(path);
    field.resize(WIDTH, ' ');
    return field;
}

std::string copy_announced(const std::string& from, std::uint64_t size, const std::string& to)
{
    const std::string size_text = size >= 100000 ? formatted(" %7lu KB\n", static_cast<unsigned long>(size / 1024))
                                                 : formatted(" %5lu BYTE\n", static_cast<unsigned long>(size));
    return "Da\t" + column(from) + size_text + "A\t" + column(to) + "       ";
}

std::string copied(const std::string& from, std::uint64_t size, const std::string& to)
{
    return copy_announced(from, size, to) + (size == 0 ? "" : "100%\b\b\b\b") + "\n";
}

std::string refused(const std::string& from, std::uint64_t size, const std::string& to)
{
    return copy_announced(from, size, to) + "\n";
}

std::string file_removed(const std::string& path)
{
    return "File\t" + column(path) + " Cancellato\n";
}

std::string dir_removed(const std::string& path)
{
    return "Dir\t" + column(path) + " Cancellata\n";
}

std::string dir_created(const std::string& path)
{
    return "Dir\t" + column(path) + "     Creata\n";
}

std::string error_line(int code, const std::string& path)
{
    return path + ": " + std::strerror(code) + "\n";
}

std::string log_detail(int code, const std::string& path)
{
    return LOG_RECORD + formatted("Codice %3d File %s - %s\n", code, path.c_str(), std::strerror(code));
}

std::string footer_line(const char* label, unsigned long value)
{
    return formatted("%s: %10lu\n", label, value);
}

std::string last_line(const std::string& out)
{
    if (out.size() < 2)
        return out;
    // A progress line ends in a carriage return and is overwritten by the next.
    const std::size_t start = out.find_last_of("\r\n", out.size() - 2);
    return start == std::string::npos ? out : out.substr(start + 1);
}

std::string before_summary(const std::string& out)
{
    return out.substr(0, out.size() - last_line(out).size());
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

std::string day_name(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    return formatted("%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

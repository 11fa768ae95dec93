#include "support/console_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <regex>

#include "support/temp_tree.h"

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

namespace {

// A character of well-formed UTF-8 at some place of a text: its code point
// and its bytes; `bytes` is 0 where no character begins.
struct utf8_char_t {
    std::size_t bytes;
    std::uint32_t code;
};

utf8_char_t utf8_char_at(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    if (byte(0) < 0x80)
        return {1, byte(0)};
    // The lead byte tells the length: 110xxxxx two, 1110xxxx three,
    // 11110xxx four; the rest are 10xxxxxx.
    std::size_t bytes = 0;
    if ((byte(0) & 0xe0) == 0xc0)
        bytes = 2;
    else if ((byte(0) & 0xf0) == 0xe0)
        bytes = 3;
    else if ((byte(0) & 0xf8) == 0xf0)
        bytes = 4;
    if (bytes == 0 || at + bytes > text.size())
        return {0, 0};
    std::uint32_t code = byte(0) & (0xffu >> (bytes + 1));
    for (std::size_t k = 1; k < bytes; ++k) {
        if ((byte(k) & 0xc0) != 0x80)
            return {0, 0};
        code = code * 64 + (byte(k) & 0x3f);
    }
    // The shortest form only, no surrogates, nothing past U+10FFFF.
    const std::uint32_t least = bytes == 2 ? 0x80 : bytes == 3 ? 0x800 : 0x10000;
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code < 0xe000))
        return {0, 0};
    return {bytes, code};
}

bool c1_byte(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 0x80 && byte < 0xa0;
}

}  // namespace

std::string escaped(const std::string& text)
{
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
        const utf8_char_t c = utf8_char_at(text, at);
        const std::size_t bytes = c.bytes == 0 ? 1 : c.bytes;
        bool hidden;
        if (c.bytes == 0)
            hidden = c1_byte(text[at]);
        else
            hidden = c.code < 0x20 || (c.code >= 0x7f && c.code < 0xa0) || (c.code >= 0x202a && c.code <= 0x202e) ||
                     (c.code >= 0x2066 && c.code <= 0x2069);
        for (std::size_t k = 0; k < bytes; ++k) {
            if (hidden)
                result += formatted("\\%03o", static_cast<unsigned char>(text[at + k]));
            else
                result += text[at + k];
        }
        at += bytes;
    }
    return result;
}

std::string fitted(const std::string& raw)
{
    const std::string path = escaped(raw);
    if (path.size() <= WIDTH)
        return path;
    // "/" and the system's own separator.
    const std::size_t slash = path.find_last_of("/" + sep());
    const std::size_t tail = slash == std::string::npos ? path.size() : path.size() - slash;
    std::string shortened;
    if (tail >= WIDTH) {
        shortened = path.substr(path.size() - WIDTH);
    } else {
        const std::size_t room = WIDTH - tail;
        const std::size_t dots = std::min<std::size_t>(room, 3);
        shortened = path.substr(0, room - dots) + std::string(dots, '.') + path.substr(slash);
    }
    // A character cut in two leaves no byte of the C1 range on its own.
    for (std::size_t at = 0; at < shortened.size();) {
        const utf8_char_t c = utf8_char_at(shortened, at);
        if (c.bytes == 0 && c1_byte(shortened[at]))
            shortened[at] = '.';
        at += c.bytes == 0 ? 1 : c.bytes;
    }
    return shortened;
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

std::string log_detail(int code, const std::string& path)
{
    return LOG_RECORD + formatted("Codice %3d File %s - %s\n", code, escaped(path).c_str(),
                                    error_words(code).c_str());
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

testing::AssertionResult has_summary(const std::string& out, unsigned long files, unsigned long long bytes)
{
    const std::string line = last_line(out);
    const std::string prefix = std::to_string(files) + " file copiato(i), " + std::to_string(bytes) + " byte , ";
    // The rate fills a field of ten columns.
    static const std::regex rate("( {0,9}[0-9]{1,10}) byte/sec\n");
    std::smatch match;
    const std::string rest = line.starts_with(prefix) ? line.substr(prefix.size()) : "";
    if (std::regex_match(rest, match, rate) && match[1].length() >= 10)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the last line is '" << line << "'";
}

std::string day_name(std::time_t when)
{
    const std::tm local = local_calendar(when);
    return formatted("%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string usage_text(const char* buffer)
{
    return std::string("\ncalvento [opzionie(i)] sorg dest\n"
                       "\tsorg dest Directory sorgente/destinazione\n"
                       "\t-i\tIgnora controllo copia circolare\n"
                       "\t-f\tForza copia dei files\n"
                       "\t-p\tNon cancella file non presenti\n"
                       "\t-n\tNon copia i file nuovi\n"
                       "\t-mx\tSetta modo (default 0)\n"
                       "\t\t0 - Copia solo i file con data o ampiezza diversa\n"
                       "\t\t1 - Copia solo i file con data superiore\n"
                       "\t\t2 - Copia solo i file con data superiore o uguale\n"
                       "\t\t3 - Copia in una directory che si chiama dest\\AAAAMMGG\n"
                       "\t\t    tutti i file presenti in 'sorg' che hanno la data del\n"
                       "\t\t    giorno.\n"
                       "\t-d\tCrea solo le directory necessarie\n"
                       "\t  \tserve solo congiuntamente alla opzione -m3\n"
                       "\t-vx\tSetta il livello di display a x (0=min,9=max,def=1)\n"
                       "\t-lname\tSetta file di log a name (default no log)\n"
                       "\t-xname\tEsclude il file name\n"
                       "\t-Xname\tEsclude il file name dalla directory principale\n"
                       "\t-bn\tImposta ampiezza buffer (default ") +
           buffer +
           ")\n"
           "\tname\tSe preceduto da @ e' il nome di un file testo contenente\n"
           "\t\ti nomi dei file che si desidera specificare.\n"
           "\t-s\tSimula: mostra cosa farebbe senza modificare nulla\n"
           "\t-cn\tCancella al massimo n tra file e directory\n"
           "\t-kname\tConserva in name i file cancellati o sostituiti\n"
           "\t-en\tElimina le versioni conservate da piu' di n giorni\n"
           "\tPremere un tasto per continuare";
}

std::string with_failures(const std::string& reports)
{
    return reports + "Completato con errori: " + std::to_string(count_of(reports, "\n")) + "\n";
}

#include "listing/name_fold.h"

#include <algorithm>
#include <iterator>

namespace {

// Runs of code points that map alike: every `stride`-th code point from
// `first` to `last` maps to itself plus `delta`.
struct fold_run_t {
    char32_t first;
    char32_t last;
    int stride;
    int delta;
};

constexpr fold_run_t FOLD_RUNS[] = {
#include "listing/name_fold_table.inc"
};

// Bytes that are no valid UTF-8 stand for themselves, above every code
// point, so that they never fold onto a character.
constexpr char32_t RAW_BYTE = 0x110000;

char32_t upper(char32_t c)
{
    if (c < 0x80)
        return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
    const fold_run_t* run = std::upper_bound(std::begin(FOLD_RUNS), std::end(FOLD_RUNS), c,
                                             [](char32_t value, const fold_run_t& r) { return value < r.first; });
    if (run == std::begin(FOLD_RUNS))
        return c;
    --run;
    if (c > run->last || (c - run->first) % static_cast<char32_t>(run->stride) != 0)
        return c;
    return static_cast<char32_t>(static_cast<std::int64_t>(c) + run->delta);
}

// The next character of `text`, folded, and the text after it; 0 at the end.
char32_t next_folded(const unsigned char** text)
{
    const unsigned char* at = *text;
    const unsigned char lead = at[0];
    if (lead < 0x80) {
        if (lead != 0)
            ++*text;
        return upper(lead);
    }
    int length = 0;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
    }
    for (int i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) {
            length = 0;
            break;
        }
        c = (c << 6) | (at[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past the last are raw bytes.
    const bool valid = length != 0 && !(length == 3 && c < 0x800) && !(length == 4 && (c < 0x10000 || c > 0x10FFFF)) &&
                       !(c >= 0xD800 && c <= 0xDFFF);
    if (!valid) {
        ++*text;
        return RAW_BYTE + lead;
    }
    *text += length;
    return upper(c);
}

}  // namespace

bool fold_equal(const char* a, const char* b)
{
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (;;) {
        const char32_t left = next_folded(&x);
        if (left != next_folded(&y))
            return false;
        if (left == 0)
            return true;
    }
}

std::uint64_t fold_hash(const char* name)
{
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a over the folded characters
    const auto* at = reinterpret_cast<const unsigned char*>(name);
    for (char32_t c; (c = next_folded(&at)) != 0;) {
        hash ^= c;
        hash *= 1099511628211u;
    }
    return hash;
}

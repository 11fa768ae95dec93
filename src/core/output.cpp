#include "core/output.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/dos_time.h"
#include "platform/platform.h"

namespace {

// Where the calling thread's output is held back, if anywhere.
thread_local held_output_t* holding = nullptr;

void hold_text(held_output_t& held, int stream, const char* bytes, std::size_t count)
{
    const std::lock_guard<std::mutex> lock(held.guard);
    if (!held.pieces.empty() && held.pieces.back().stream == stream)
        held.pieces.back().text.append(bytes, count);
    else
        held.pieces.push_back({stream, std::string(bytes, count), {}, 0, {}});
}

void write_text(int stream, const char* bytes, std::size_t count)
{
    if (holding != nullptr)
        hold_text(*holding, stream, bytes, count);
    else
        con_write(stream, bytes, count);
}

// Formats and writes.
[[gnu::format(printf, 2, 0)]] void vwrite(int stream, const char* format, va_list args)
{
    char local[1024];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof local) {
        write_text(stream, local, static_cast<std::size_t>(length));
    } else if (length >= 0) {
        // Full paths can be long: format again into a block of the right size.
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        write_text(stream, text.data(), static_cast<std::size_t>(length));
    }
}

thread_local char fit_buffer[256];

// The length of the well-formed UTF-8 sequence that begins at `text`, with
// its code point in `code`; 0 when none begins there (a byte of no
// sequence, a sequence cut short, an overlong form, a surrogate).
std::size_t utf8_sequence(const char* text, std::uint32_t* code)
{
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    std::size_t length;
    std::uint32_t least;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        least = 0x80;
        *code = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        least = 0x800;
        *code = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        least = 0x10000;
        *code = lead & 0x07u;
    } else {
        return 0;
    }
    for (std::size_t at = 1; at < length; ++at) {
        const unsigned char next = static_cast<unsigned char>(text[at]);
        if ((next & 0xc0) != 0x80)
            return 0;   // the terminator ends a sequence cut short here too
        *code = *code << 6 | (next & 0x3fu);
    }
    if (*code < least || *code > 0x10ffff || (*code >= 0xd800 && *code <= 0xdfff))
        return 0;
    return length;
}

// A byte of the C1 range: where it is no part of a UTF-8 character, some
// terminals take it for a control of their own (0x9b begins a sequence).
bool is_c1_byte(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 0x80 && byte <= 0x9f;
}

// Characters that a name must not put on a console or in the log as they
// are: the controls of ASCII and of C1, which drive terminals and break
// lines, and the bidirectional overrides and isolates, which make a name
// read as another.
bool is_hidden_code(std::uint32_t code)
{
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || (code >= 0x202a && code <= 0x202e) ||
           (code >= 0x2066 && code <= 0x2069);
}

// How many bytes at `text` are shown as they are (`*escape` false) or as
// escapes (`*escape` true): a whole character, or one byte of none.
std::size_t next_piece(const char* text, bool* escape)
{
    std::uint32_t code;
    const std::size_t length = utf8_sequence(text, &code);
    if (length == 0) {
        *escape = is_c1_byte(*text);
        return 1;
    }
    *escape = is_hidden_code(code);
    return length;
}

// Whether shown() changes `text`.
bool needs_escapes(const char* text)
{
    for (const char* c = text; *c != '\0';) {
        bool escape;
        c += next_piece(c, &escape);
        if (escape)
            return true;
    }
    return false;
}

}  // namespace

std::string shown(const char* text)
{
    if (!needs_escapes(text))
        return text;
    std::string result;
    for (const char* c = text; *c != '\0';) {
        bool escape;
        const std::size_t length = next_piece(c, &escape);
        if (!escape) {
            result.append(c, length);
        } else {
            for (std::size_t at = 0; at < length; ++at) {
                const unsigned char byte = static_cast<unsigned char>(c[at]);
                const char octal[4] = {'\\', static_cast<char>('0' + (byte >> 6)),
                                       static_cast<char>('0' + ((byte >> 3) & 7)), static_cast<char>('0' + (byte & 7))};
                result.append(octal, sizeof octal);
            }
        }
        c += length;
    }
    return result;
}

void show(const run_t& run, int level, const char* format, ...)
{
    if (run.settings.verbosity < level)
        return;
    va_list args;
    va_start(args, format);
    vwrite(CON_OUT, format, args);
    va_end(args);
}

void show_only(const run_t& run, int level, const char* format, ...)
{
    if (run.settings.verbosity != level)
        return;
    va_list args;
    va_start(args, format);
    vwrite(CON_OUT, format, args);
    va_end(args);
}

void show_error(run_t& run, const char* format, ...)
{
    if (holding != nullptr) {
        const std::lock_guard<std::mutex> lock(holding->guard);
        ++holding->errors;
    } else {
        ++run.stats.errors_reported;
    }
    va_list args;
    va_start(args, format);
    vwrite(CON_ERR, format, args);
    va_end(args);
}

void print_error_line(run_t& run, const char* path, fs_error_t error)
{
    if (path == nullptr || *path == '\0')
        show_error(run, "%s\n", error_text(error.code));
    else
        show_error(run, "%s: %s\n", shown(path).c_str(), error_text(error.code));
}

const char* fit_path(const char* text, unsigned width)
{
    if (width > sizeof fit_buffer - 1)
        width = sizeof fit_buffer - 1;
    std::string escaped;
    const char* path = text;
    if (needs_escapes(text)) {
        escaped = shown(text);
        path = escaped.c_str();
    }
    const std::size_t length = std::strlen(path);
    if (length <= width) {
        std::memcpy(fit_buffer, path, length + 1);
        return fit_buffer;
    }
    fit_buffer[width] = '\0';
    if (width == 0)
        return fit_buffer;
    // The tail, from the right, up to and including the last separator.
    std::size_t at = width - 1;
    std::size_t from = length - 1;
    for (;;) {
        fit_buffer[at] = path[from];
        if (is_separator(path[from]) || at == 0)
            break;
        --at;
        --from;
    }
    // Up to three dots before it, then as much of the start as still fits.
    std::size_t dots = 0;
    while (at > 0 && dots < 3) {
        fit_buffer[--at] = '.';
        ++dots;
    }
    std::memcpy(fit_buffer, path, at);
    // The cuts may fall inside a character: a byte of the C1 range left
    // without the rest of it shows as a dot, like the text left out.
    for (std::size_t i = 0; i < width;) {
        bool escape;
        const std::size_t piece = next_piece(fit_buffer + i, &escape);
        if (escape)
            fit_buffer[i] = '.';
        i += piece;
    }
    return fit_buffer;
}

void log_text(run_t& run, const char* name, int code, const char* text)
{
    if (holding != nullptr) {
        const std::lock_guard<std::mutex> lock(holding->guard);
        holding->pieces.push_back({HELD_LOG, text, name, code, {}});
        return;
    }
    if (!run.log.active)
        return;
    char when[32];
    ctime_text(clock_now(), when);
    const std::string record = format_text("Errore\t\t\t: %s", when) +
                               format_text("Errore\t\t\t: Codice %3d File %s - %s\n", code, shown(name).c_str(), text);
    // A log that stops in the middle of a run (its disk full) lacks the
    // later records and the footer: whoever reads it must learn that from
    // the run, once, and in its exit code.
    if (const fs_error_t error = text_append(run.log.name.c_str(), record.data(), record.size())) {
        print_error_line(run, run.log.name.c_str(), error);
        run.log.active = false;
    }
}

void log_error(run_t& run, const char* name, fs_error_t error)
{
    log_text(run, name, error.code, error_text(error.code));
}

void report_failure(run_t& run, const char* path, fs_error_t error)
{
    print_error_line(run, path, error);
    log_error(run, path, error);
}

void log_block(run_t& run, const std::string& text)
{
    if (!run.log.active)
        return;
    if (const fs_error_t error = text_append(run.log.name.c_str(), text.data(), text.size())) {
        print_error_line(run, run.log.name.c_str(), error);
        run.log.active = false;
    }
}

void show_flush()
{
    if (holding != nullptr) {
        const std::lock_guard<std::mutex> lock(holding->guard);
        holding->flush = true;
    } else {
        con_flush();
    }
}

void show_in_turn(std::function<void()> call)
{
    if (holding == nullptr) {
        call();
        return;
    }
    const std::lock_guard<std::mutex> lock(holding->guard);
    holding->pieces.push_back({HELD_CALL, {}, {}, 0, std::move(call)});
}

held_output_t* hold_output(held_output_t* held)
{
    return std::exchange(holding, held);
}

void release_output(run_t& run, held_output_t& held)
{
    std::vector<held_output_t::piece_t> pieces;
    std::uint64_t errors = 0;
    bool flush = false;
    {
        const std::lock_guard<std::mutex> lock(held.guard);
        pieces.swap(held.pieces);
        errors = std::exchange(held.errors, 0);
        flush = std::exchange(held.flush, false);
        if (held.track) {
            for (const held_output_t::piece_t& piece : pieces) {
                if (piece.stream == CON_OUT)
                    held.shown += piece.text;
            }
        }
    }
    held_output_t* const was = std::exchange(holding, nullptr);
    for (const held_output_t::piece_t& piece : pieces) {
        if (piece.stream == HELD_LOG)
            log_text(run, piece.name.c_str(), piece.code, piece.text.c_str());
        else if (piece.stream == HELD_CALL)
            piece.call();
        else
            con_write(piece.stream, piece.text.data(), piece.text.size());
    }
    holding = was;
    run.stats.errors_reported += errors;
    if (flush)
        con_flush();
}

void* alloc_or_exit(std::size_t size)
{
    void* block = mem_try_alloc(size);
    if (block == nullptr)
        alloc_failed();
    return block;
}

void alloc_failed()
{
    static const char message[] = "\nFine memoria\n";
    con_write(CON_ERR, message, sizeof message - 1);
    proc_exit(1);
}

std::string format_text(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    return text;
}

// The console of the Windows layer. On a console the UTF-8 text of the
// program is written as UTF-16 with WriteConsoleW, so that every name shows
// whatever its characters and whatever the console's code page; redirected
// to a file or a pipe, the streams carry the UTF-8 bytes themselves.
#include "platform/windows/windows_internal.h"

#include <cstring>

namespace {

struct stream_t {
    HANDLE handle = nullptr;
    bool console = false;
    std::string carry;   // the start of a character whose last bytes are still to come
};

stream_t& stream(int which)
{
    static stream_t streams[2];
    static bool known[2] = {false, false};
    const int index = which == CON_ERR ? 1 : 0;
    if (!known[index]) {
        stream_t& s = streams[index];
        s.handle = GetStdHandle(which == CON_ERR ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
        DWORD mode;
        s.console = s.handle != nullptr && s.handle != INVALID_HANDLE_VALUE && GetConsoleMode(s.handle, &mode);
        known[index] = true;
    }
    return streams[index];
}

// The length of the longest start of `text` that ends with a whole UTF-8
// sequence.
std::size_t whole_characters(const std::string& text)
{
    std::size_t at = text.size();
    for (std::size_t back = 0; back < 4 && at > 0; ++back) {
        const unsigned char byte = static_cast<unsigned char>(text[at - 1]);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return need > back + 1 ? at - 1 : text.size();
        }
        --at;
    }
    return text.size();
}

void put(int which, const char* bytes, std::size_t count, bool final)
{
    stream_t& s = stream(which);
    if (s.handle == nullptr || s.handle == INVALID_HANDLE_VALUE)
        return;
    if (!s.console) {
        win_write_all(s.handle, bytes, count);
        return;
    }
    std::string text = std::move(s.carry);
    s.carry.clear();
    text.append(bytes, count);
    const std::size_t whole = final ? text.size() : whole_characters(text);
    s.carry = text.substr(whole);
    const std::wstring wide = win_wide(text.data(), whole);
    for (std::size_t done = 0; done < wide.size();) {
        DWORD put_now = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
        if (!WriteConsoleW(s.handle, wide.data() + done, asked, &put_now, nullptr) || put_now == 0)
            break;
        done += put_now;
    }
}

// Standard output is gathered here and written in large pieces; a closed
// stream loses the text, not the run.
char out_buffer[65536];
std::size_t out_used = 0;

void win_con_write(int which, const char* bytes, std::size_t count)
{
    const int saved = win_error();
    if (which == CON_ERR) {
        win_flush_output();
        put(CON_ERR, bytes, count, false);
    } else if (count > sizeof out_buffer - out_used) {
        win_flush_output();
        if (count >= sizeof out_buffer)
            put(CON_OUT, bytes, count, false);
        else {
            std::memcpy(out_buffer, bytes, count);
            out_used = count;
        }
    } else {
        std::memcpy(out_buffer + out_used, bytes, count);
        out_used += count;
    }
    // Someone watching a console sees each line as it is finished; a file or
    // a pipe gets large writes.
    if (which != CON_ERR && stream(CON_OUT).console && count > 0 &&
        (bytes[count - 1] == '\n' || bytes[count - 1] == '\r'))
        win_flush_output();
    win_set_error(saved);
}

void win_con_flush()
{
    win_flush_output();
}

void win_con_read_key()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        return;   // nobody there to press a key
    for (;;) {
        INPUT_RECORD record;
        DWORD got = 0;
        if (!ReadConsoleInputW(input, &record, 1, &got) || got == 0)
            return;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

}  // namespace

void win_flush_output()
{
    const int saved = win_error();
    put(CON_OUT, out_buffer, out_used, false);
    out_used = 0;
    win_set_error(saved);
}

void win_fill_console(platform_t* record)
{
    record->con_write = win_con_write;
    record->con_flush = win_con_flush;
    record->con_read_key = win_con_read_key;
}

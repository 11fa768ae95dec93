// The entry of the Windows program. The C library would hand main its
// arguments in the ANSI code page, which cannot hold every name; the
// program takes them as the system has them, in UTF-16, and gives main
// their UTF-8 text (a name that is not valid UTF-16 keeps every unit, as in
// the rest of the layer).
#include "platform/windows/windows_internal.h"

#include <vector>

int main(int argc, char** argv);

extern "C" int wmain(int argc, wchar_t** wide_argv)
{
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    texts.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        texts.push_back(win_narrow(wide_argv[i], wcslen(wide_argv[i])));
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
    return main(argc, pointers.data());
#pragma GCC diagnostic pop
}

// Messages on Windows. A console shows bytes in its own code page (437,
// 850, 932...), not in UTF-8, the program's code page under its manifest:
// a name in another script would come out as garbage. So on a console each
// message goes in as UTF-16, which every console draws as it is. A file or
// a pipe still gets the bytes through the C runtime, whose text mode turns
// "\n" into CR LF.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform.hpp"
#include "windows/lookup.hpp"

namespace quib {
namespace {

// CR LF line ends, as the C runtime would write them, then UTF-16. Bytes
// that are not UTF-8 become U+FFFD rather than vanish.
std::wstring forConsole(std::string_view text) {
    std::string lines;
    for (const char c : text) {
        if (c == '\n') {
            lines += '\r';
        }
        lines += c;
    }
    return windows::wide(lines, CP_UTF8);
}

}  // namespace

void platform::printMessage(std::string_view text) noexcept {
    HANDLE const handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
        static_cast<void>(std::fwrite(text.data(), 1, text.size(), stderr));
        return;
    }
    try {
        const std::wstring wide = forConsole(text);
        const wchar_t* next = wide.data();
        DWORD left = static_cast<DWORD>(wide.size());
        DWORD written = 0;
        while (left > 0 && WriteConsoleW(handle, next, left, &written, nullptr) != 0 &&
               written > 0) {
            next += written;
            left -= written;
        }
    } catch (...) {  // no memory for the copy: the message is lost, the run is not
    }
}

}  // namespace quib

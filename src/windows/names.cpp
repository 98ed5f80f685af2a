// The Windows path rules of names.hpp: plain string work, no Windows call.
#include "windows/names.hpp"

#include <algorithm>

#include "platform.hpp"

namespace quib::windows {
namespace {

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool hasDriveLetter(std::string_view path) {
    return path.size() >= 2 && isLetter(path[0]) && path[1] == ':';
}

bool startsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

}  // namespace

std::size_t nameStart(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        return slash + 1;
    }
    return hasDriveLetter(path) ? 2 : 0;
}

bool namesStream(std::string_view path) {
    return path.find(':', nameStart(path)) != std::string_view::npos;
}

bool isDevice(std::string_view typed, std::string_view full) {
    return startsWith(full, "\\\\.\\") && !startsWith(typed, "\\\\.\\") &&
           !startsWith(typed, "\\\\?\\") && !startsWith(typed, "//./") &&
           !startsWith(typed, "//?/");
}

std::size_t utf16Units(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0U) != 0x80U) {       // not a continuation byte: a new character
            units += byte >= 0xF0U ? 2 : 1;  // four bytes: a surrogate pair
        }
    }
    return units;
}

std::string hiddenStemPath(std::string_view target, std::size_t folderUnits) {
    const std::size_t start = nameStart(target);
    // hiddenStem counts bytes; a name has at least as many bytes as UTF-16
    // units, so a cut to this many bytes always fits.
    const std::size_t room =
        std::min(longestName, folderUnits < longestPath ? longestPath - folderUnits : 0);
    return std::string(target.substr(0, start)) + detail::hiddenStem(target.substr(start), room);
}

}  // namespace quib::windows

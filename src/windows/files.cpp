// The file operations that differ on Windows: the C runtime's ftell is
// 32-bit, so positions go through _fseeki64 and _ftelli64; its st_ino is
// always zero, so file identity is the volume serial number and the file
// index.
#define WIN32_LEAN_AND_MEAN
#include "files.hpp"

#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.hpp"
#include "windows/lookup.hpp"
#include "windows/names.hpp"

// msvcrt's parser of the command line in UTF-16, by the very rules that
// gave main its arguments in UTF-8 (SHELL32's CommandLineToArgvW would be
// a DLL more to load). Its startup information holds the new-handler mode.
extern "C" {
struct WideStartup {
    int newMode;
};
__declspec(dllimport) int __cdecl __wgetmainargs(int* count, wchar_t*** arguments,
                                                 wchar_t*** environment, int expandWildcards,
                                                 WideStartup* startup);
}

namespace quib {

namespace {

// An argument that does not come back from UTF-8 as the UTF-16 it was
// given in did not survive the trip: "o\uD800.vms" arrives as
// "o\uFFFD.vms", another file's name, and "o\uDC00.vms" as the same one.
// (Under a code page other than UTF-8, before Windows 10 1903, so does any
// character outside it.) Wildcards were not expanded for main either.
// Arguments are told by their place, never by their text alone:
// "x\uFFFD.jpg x\uD800.jpg" arrives as one text twice, and only the second
// failed to arrive. The first argument with the text is asked for, or the
// last; one that is no argument at all arrived as it is.
bool argumentArrivedWhole(const char* name, bool last) {
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    WideStartup startup{0};
    if (__wgetmainargs(&count, &arguments, &environment, 0, &startup) < 0 || arguments == nullptr) {
        return true;  // no memory to tell: as the arguments came
    }
    int found = 0;
    for (int i = 1; i < count && i < __argc; ++i) {
        if (std::strcmp(__argv[i], name) == 0 && (found == 0 || last)) {
            found = i;
        }
    }
    return found == 0 || windows::wide(__argv[found]) == arguments[found];
}

}  // namespace

// <image>, the first of the two.
bool platform::arrivedWhole(const char* name) {
    return argumentArrivedWhole(name, false);
}

bool windows::destinationArrivedWhole(const char* name) {
    return argumentArrivedWhole(name, true);
}

// ftell would wrap without an error: a file of 4 GiB + 200 bytes would
// measure 200.
std::optional<std::int64_t> platform::endPosition(std::FILE* file) {
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const std::int64_t end = _ftelli64(file);
    if (_fseeki64(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return end;
}

// Ctrl+C is handled on a thread of its own, which Wine starts only once the
// write under way returns: a long write goes in pieces, so that the handler
// gets in within one of them and removes the hidden file before the move.
const std::size_t platform::largestWrite = std::size_t{16} << 20U;

SameFile platform::namesSameFile(std::FILE* open, const char* path) {
    if (!windows::destinationArrivedWhole(path)) {
        return SameFile::unknown;
    }
    // A device (NUL, CON, LPT1 in any spelling) is never the input file.
    const std::string full = windows::fullPath(path);
    if (full.empty()) {
        return SameFile::unknown;
    }
    if (windows::isDevice(path, full)) {
        return SameFile::no;
    }
    HANDLE handle = windows::openForLookup(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return windows::foundNothing(GetLastError()) ? SameFile::no : SameFile::unknown;
    }
    const windows::Handle other(handle);
    BY_HANDLE_FILE_INFORMATION mine{};
    BY_HANDLE_FILE_INFORMATION theirs{};
    const auto openHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    // What has no file index (a pipe, a console) is not the input either.
    const bool same = GetFileInformationByHandle(openHandle, &mine) != 0 &&
                      GetFileInformationByHandle(other.get(), &theirs) != 0 &&
                      windows::sameFile(mine, theirs);
    return same ? SameFile::yes : SameFile::no;
}

// Plain malloc serves every size: the runtime's large blocks come from
// VirtualAlloc already.
std::uint8_t* platform::mapLarge(std::size_t /*size*/, std::size_t& /*mapped*/) {
    return nullptr;
}

void platform::unmap(std::uint8_t* /*bytes*/, std::size_t /*mapped*/) noexcept {}

}  // namespace quib

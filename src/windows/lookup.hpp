// Looking a path up on Windows without opening it for anything: what both
// the same-file check and the replacement of <vms> ask of a name.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

namespace quib::windows {

// The full path GetFullPathNameA makes of path; empty when it cannot.
std::string fullPath(const char* path);

// A handle closed with its owner; null when there is none. A failed open's
// INVALID_HANDLE_VALUE is no null: it is checked for before it is owned.
struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// A handle that asks for no access at all, so it needs no permission and
// locks nothing; it opens folders too. INVALID_HANDLE_VALUE on failure.
HANDLE openForLookup(const char* path);

// Whether a look-up failed because nothing is there. Any other failure (a
// name too long, say) says nothing about what is there.
bool foundNothing(DWORD error);

// Text in the program's code page (UTF-8, by its manifest), or in the code
// page given, as UTF-16, and back; empty when it does not convert.
std::wstring wide(std::string_view text, UINT codePage = CP_ACP);
std::string narrow(std::wstring_view text);

// Whether <vms>, the last argument, reached the program as it was given
// (platform::arrivedWhole asks it of <image>, the first); beside the rest
// of the arguments' handling, in files.cpp.
bool destinationArrivedWhole(const char* name);

// File identity: the volume's serial number and the file's index.
bool sameFile(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other);

}  // namespace quib::windows

// The replacement of <vms> on Windows: the hidden file is created with
// CreateFileA(CREATE_NEW) and a name from rand_s, MoveFileExA puts it in
// place, and the cleanup after Ctrl+C or Ctrl+Break runs on a thread of the
// console's own. A drive letter's colon and the backslash end a folder's
// part of a path, and a device such as NUL or CON is written in place.
#define _CRT_RAND_S  // rand_s, from the system's msvcrt.dll; before any header
#define WIN32_LEAN_AND_MEAN
#include "output.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform.hpp"

namespace quib {
namespace {

using detail::unbuffered;

// The target as typed and the hidden file's name while it exists; the
// handler of Ctrl+C reads the latter.
std::string targetPath;
std::string hiddenName;
const char* volatile pendingHidden = nullptr;

// "dir\\out.vms" becomes "dir\\.out.vms.": the folder's part as typed, then
// the hidden name's stem.
std::string hiddenPathStem(std::string_view target) {
    const std::size_t slash = target.find_last_of("/\\:");
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    return std::string(target.substr(0, base)) +
           detail::hiddenStem(target.substr(base), std::string_view::npos);
}

// Created exclusively: an existing file of that name, or a link planted in
// its place, is never opened; another name is tried instead.
File createTemporary(const char* target, bool& refused) {
    const std::string stem = hiddenPathStem(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (std::size_t i = 0; i < detail::hiddenSuffixLength; ++i) {
            unsigned int random = 0;
            static_cast<void>(rand_s(&random));
            name += detail::hiddenSuffixLetters[random % detail::hiddenSuffixLetters.size()];
        }
        HANDLE handle =
            CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            hiddenName = name;
            pendingHidden = hiddenName.c_str();
            const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
            if (fd < 0) {
                CloseHandle(handle);
                return nullptr;
            }
            std::FILE* const stream = _fdopen(fd, "wb");
            if (stream == nullptr) {
                _close(fd);
                return nullptr;
            }
            return unbuffered(stream);
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            refused = error == ERROR_ACCESS_DENIED;
            break;
        }
    }
    return nullptr;
}

enum class Found { nothing, regularFile, other };

// What the path names now: a regular file may be replaced; a device such
// as NUL or CON, a pipe or a directory is left to the plain open.
Found inspect(const char* target) {
    HANDLE handle = CreateFileA(target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Found::nothing
                                                                              : Found::other;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                         GetFileInformationByHandle(handle, &information) != 0 &&
                         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(handle);
    return regular ? Found::regularFile : Found::other;
}

Placement hiddenOrNone(File& file, File created) {
    file = std::move(created);
    return file ? Placement::hidden : Placement::none;
}

Placement inPlace(const char* target, File& file) {
    file = unbuffered(std::fopen(target, "wb"));
    return file ? Placement::inPlace : Placement::none;
}

}  // namespace

namespace platform {

// Nothing to hold yet: the console runs the handler on a thread of its own.
void holdCleanup() noexcept {}
void releaseCleanup() noexcept {}

Placement openOutput(const char* target, File& file) {
    targetPath = target;
    const Found found = inspect(target);
    bool refused = false;
    if (found == Found::other) {
        return inPlace(target, file);
    }
    if (found == Found::nothing) {
        return hiddenOrNone(file, createTemporary(target, refused));
    }
    if (_access(target, 2) != 0) {
        return Placement::none;
    }
    File created = createTemporary(target, refused);
    if (!created && refused) {
        return inPlace(target, file);
    }
    return hiddenOrNone(file, std::move(created));
}

bool startInPlace(File& /*file*/) {
    return true;
}

bool moveHiddenOver() {
    if (MoveFileExA(hiddenName.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
        return false;
    }
    pendingHidden = nullptr;
    return true;
}

// The hidden file is open with FILE_SHARE_DELETE: deleting it marks it,
// and it goes when the process ends and its handle is closed.
void removeHidden() noexcept {
    const char* const hidden = pendingHidden;
    if (hidden != nullptr) {
        DeleteFileA(hidden);
    }
    pendingHidden = nullptr;
}

void finishOutput() noexcept {
    removeHidden();
}

}  // namespace platform

bool prepareProcess() {
    for (const int signal : {SIGINT, SIGBREAK}) {
        static_cast<void>(std::signal(signal, detail::removeHiddenAndDie));
    }
    return true;
}

}  // namespace quib

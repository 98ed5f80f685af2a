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

#include "platform.hpp"

namespace quib {
namespace {

using detail::pendingTemporary;
using detail::unbuffered;

// Created exclusively: an existing file of that name, or a link planted in
// its place, is never opened; another name is tried instead.
File createTemporary(const char* target, std::string& name, bool& refused) {
    constexpr std::string_view letters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::string stem = detail::temporaryStem(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = stem;
        for (int i = 0; i < 6; ++i) {
            unsigned int random = 0;
            static_cast<void>(rand_s(&random));
            name += letters[random % letters.size()];
        }
        HANDLE handle =
            CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            pendingTemporary = name.c_str();
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
    name.clear();
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

}  // namespace

namespace platform {

const std::string_view pathSeparators = "/\\:";

// Nothing to hold yet: the console runs the handler on a thread of its own.
void holdCleanup() noexcept {}
void releaseCleanup() noexcept {}

bool moveOver(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// The hidden file is open with FILE_SHARE_DELETE: deleting it marks it,
// and it goes when the process ends and its handle is closed.
void removeFile(const char* path) noexcept {
    DeleteFileA(path);
}

File openOutput(const char* target, std::string& temporary) {
    const Found found = inspect(target);
    bool refused = false;
    if (found == Found::other) {
        return unbuffered(std::fopen(target, "wb"));
    }
    if (found == Found::nothing) {
        return createTemporary(target, temporary, refused);
    }
    if (_access(target, 2) != 0) {
        return nullptr;
    }
    File file = createTemporary(target, temporary, refused);
    if (!file && refused) {
        file = unbuffered(std::fopen(target, "wb"));
    }
    return file;
}

}  // namespace platform

bool prepareProcess() {
    for (const int signal : {SIGINT, SIGBREAK}) {
        static_cast<void>(std::signal(signal, detail::removePendingAndDie));
    }
    return true;
}

}  // namespace quib

// The replacement of <vms> on Windows. The hidden file is created with
// CreateFileA(CREATE_NEW), hidden, under a name from rand_s kept within
// MAX_PATH; ReplaceFileA puts it over an existing file, which keeps what
// Windows keeps for a file (its security, creation time, streams), and
// MoveFileExA puts a new one in place. A link at <vms> is written through:
// the file it leads to is replaced in its own folder.
// Whether a name leads to the file itself, by any spelling (a short name,
// a linked folder), is told by file identity. A drive letter's colon and
// either slash end a folder's part of a path; a reserved device name (NUL,
// CON, LPT1, com9.txt...) and a stream of a file are written in place. Ctrl+C
// runs its handler on a thread of its own, so the handler and the commit
// share a lock: the handler removes the hidden file unless the move has
// happened, then ends the program as Windows ends one on Ctrl+C.
#define _CRT_RAND_S  // rand_s, from the system's msvcrt.dll; before any header
#define WIN32_LEAN_AND_MEAN
#include "output.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform.hpp"
#include "windows/lookup.hpp"
#include "windows/names.hpp"

namespace quib {
namespace {

using detail::unbuffered;

// What the commit and the handler of Ctrl+C need to know about the
// output. The hidden file's name is read by the handler, under the lock.
struct Destination {
    std::string target;                        // <vms> as typed
    std::string fullTarget;                    // and in full, for ReplaceFileA
    std::string hidden;                        // the hidden file, with the folder as typed
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;  // what the file must end with
    bool replaces = false;                     // an existing file is to be replaced
    const char* volatile pending = nullptr;    // the hidden file, until it is moved
};
Destination destination;

CRITICAL_SECTION cleanupLock;

File streamFor(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* const stream = _fdopen(fd, "wb");  // never truncates
    if (stream == nullptr) {
        _close(fd);
    }
    return unbuffered(stream);
}

// What createHidden reports for a hidden file that could be created but
// not removed again by its name: an error code of the program's own (bit
// 29 set), which no Windows call reports.
constexpr DWORD hiddenKept = 0x20000001;

// Whether the file just created could be removed or renamed by its name
// later, which a folder that lets files be created, not deleted, forbids.
// If not, it goes at once, through the handle that created it: Windows
// gives the creator of a file the access it asks for.
bool removableOrGone(HANDLE created, const std::string& name) {
    HANDLE again =
        CreateFileA(name.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (again != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) {
        if (again != INVALID_HANDLE_VALUE) {
            CloseHandle(again);
        }
        return true;
    }
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    SetFileInformationByHandle(created, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(created);
    return false;
}

// Created exclusively and hidden: an existing file of that name, or a link
// planted in its place, is never opened; another name is tried instead.
// Null, with the reason in error, when the folder will not take it, or
// would keep it (hiddenKept).
File createHidden(DWORD& error) {
    const std::string& full = destination.fullTarget;
    const std::size_t typedFolder = windows::nameStart(destination.target);
    const std::size_t fullFolder = windows::nameStart(full);
    const std::size_t folderUnits =
        std::max(windows::utf16Units(std::string_view(destination.target).substr(0, typedFolder)),
                 windows::utf16Units(std::string_view(full).substr(0, fullFolder)));
    const std::string stem = windows::hiddenStemPath(destination.target, folderUnits);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (std::size_t i = 0; i < detail::hiddenSuffixLength; ++i) {
            unsigned int random = 0;
            static_cast<void>(rand_s(&random));
            name += detail::hiddenSuffixLetters[random % detail::hiddenSuffixLetters.size()];
        }
        platform::holdCleanup();
        HANDLE handle =
            CreateFileA(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE && !removableOrGone(handle, name)) {
            handle = INVALID_HANDLE_VALUE;
            error = hiddenKept;
        }
        if (handle != INVALID_HANDLE_VALUE) {
            destination.hidden = std::move(name);
            destination.pending = destination.hidden.c_str();
        }
        platform::releaseCleanup();
        if (handle != INVALID_HANDLE_VALUE) {
            return streamFor(handle);
        }
        if (error != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return nullptr;
}

// What a path names now, told by a handle opened for no access at all,
// which needs no permission and locks nothing.
enum class Found { nothing, regularFile, linkedFile, other, unknown };

// The volume serial number and file index of what path names; false when
// it cannot be told.
bool identify(const std::wstring& path, DWORD flags, BY_HANDLE_FILE_INFORMATION& information) {
    HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool told = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    return told;
}

// The path of an open file with every link on the way resolved and every
// part in its long form; empty when the file system cannot tell it.
std::wstring finalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), MAX_PATH, 0);
    if (length >= MAX_PATH) {  // too short: length is the size needed
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), length, 0);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

// Whether the last part of <vms> is itself a link (a symbolic link, a
// junction), which is written through to the file it leads to. A short
// (8.3) name, a name in another case, and a link or a short name among the
// folders all name the file itself: it is replaced in its own folder, its
// attributes kept, refused when it is read-only. So this is told by
// identity, never by comparing two spellings of the path.
bool lastPartIsLink(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& file) {
    const std::wstring typed = windows::wide(destination.target);
    // Windows opens a link itself when asked to, as a file of its own.
    BY_HANDLE_FILE_INFORMATION entry{};
    if (identify(typed, FILE_FLAG_OPEN_REPARSE_POINT, entry) && !windows::sameFile(entry, file)) {
        return true;
    }
    // Wine shows a link of the system beneath it as the file it leads to,
    // even then. The file found is then another entry than the one named:
    // in another folder, or under another name than the entry's own (which
    // the folder's listing gives for a short name too).
    const std::wstring final = finalPath(handle);
    WIN32_FIND_DATAW named{};
    HANDLE search = final.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(typed.c_str(), &named);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    const std::size_t finalName = final.find_last_of(L'\\') + 1;
    const std::string& full = destination.fullTarget;
    BY_HANDLE_FILE_INFORMATION finalFolder{};
    BY_HANDLE_FILE_INFORMATION namedFolder{};
    return lstrcmpiW(final.c_str() + finalName, named.cFileName) != 0 ||
           !identify(final.substr(0, finalName), 0, finalFolder) ||
           !identify(windows::wide(std::string_view(full).substr(0, windows::nameStart(full))), 0,
                     namedFolder) ||
           !windows::sameFile(finalFolder, namedFolder);
}

// The file a link leads to, named in full as the program's other paths are
// (without the \\?\ prefix, which the ANSI calls do not take); empty when
// it cannot be told.
std::string linkedFile(const char* target) {
    HANDLE handle = windows::openForLookup(target);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring final = finalPath(handle);
    CloseHandle(handle);
    if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        final.replace(0, 8, L"\\\\");
    } else if (final.rfind(L"\\\\?\\", 0) == 0) {
        final.erase(0, 4);
    }
    return windows::narrow(final);
}

Found inspect(const char* target, BY_HANDLE_FILE_INFORMATION& information) {
    HANDLE handle = windows::openForLookup(target);
    if (handle == INVALID_HANDLE_VALUE) {
        // What cannot be looked up may be anything: nothing is written to it.
        return windows::foundNothing(GetLastError()) ? Found::nothing : Found::unknown;
    }
    const bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                         GetFileInformationByHandle(handle, &information) != 0 &&
                         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const bool linked = regular && lastPartIsLink(handle, information);
    CloseHandle(handle);
    return !regular ? Found::other : linked ? Found::linkedFile : Found::regularFile;
}

// Whether a file made in the folder of <vms> could never be removed or
// renamed, so that a hidden file would stay there. A Windows folder that
// lets files be created, not deleted, shows it on the hidden file itself
// (removableOrGone). An append-only or immutable Linux folder, seen
// through Wine, shows it nowhere; but it refuses a change of its own
// times, and setting its last-write time to the time it has takes nothing
// from anyone. (Another user's folder under Wine refuses that too: there
// the new file is written directly, as in such a folder.)
bool keepsEntries() {
    const std::string& full = destination.fullTarget;
    const std::string folder = full.substr(0, windows::nameStart(full));
    HANDLE handle = CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME written{};
    const bool refused = GetFileTime(handle, nullptr, nullptr, &written) != 0 &&
                         SetFileTime(handle, nullptr, nullptr, &written) == 0 &&
                         GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(handle);
    return refused;
}

// Whether an existing file may be renamed over: that takes the right to
// delete it, which a folder may grant to no one (one that lets files be
// created, not deleted).
bool mayBeReplaced() {
    HANDLE handle = CreateFileA(destination.target.c_str(), DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() != ERROR_ACCESS_DENIED;
    }
    CloseHandle(handle);
    return !keepsEntries();
}

// A device, a pipe: opened as a plain open for writing would open it.
Placement openDevice(File& file) {
    file = unbuffered(std::fopen(destination.target.c_str(), "wb"));
    return file ? Placement::inPlace : Placement::none;
}

// The very regular file that was inspected, opened without emptying it.
Placement openInPlace(const BY_HANDLE_FILE_INFORMATION& inspected, File& file) {
    HANDLE handle = CreateFileA(destination.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION opened{};
    if (handle != INVALID_HANDLE_VALUE && (GetFileInformationByHandle(handle, &opened) == 0 ||
                                           !windows::sameFile(opened, inspected))) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    file = streamFor(handle);
    return file ? Placement::inPlaceFile : Placement::none;
}

Placement hiddenOrNone(File& file, File created) {
    file = std::move(created);
    return file ? Placement::hidden : Placement::none;
}

Placement placeOutput(File& file, bool throughLink = false) {
    destination.fullTarget = windows::fullPath(destination.target.c_str());
    if (destination.fullTarget.empty()) {
        return Placement::none;
    }
    if (windows::isDevice(destination.target, destination.fullTarget)) {
        return openDevice(file);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const Found found = inspect(destination.target.c_str(), information);
    DWORD error = ERROR_SUCCESS;
    switch (found) {
        case Found::unknown:
            return Placement::none;
        case Found::other:
            return openDevice(file);
        case Found::linkedFile:
            // Once: the end of a chain of links is no link.
            destination.target =
                throughLink ? std::string() : linkedFile(destination.target.c_str());
            return destination.target.empty() ? Placement::none : placeOutput(file, true);
        case Found::nothing:
            // A new stream is created in place, and so is a file whose hidden
            // sibling would not fit the path's limit or could not be removed;
            // all only once the input is in memory. A folder that refuses new
            // files refuses it at once.
            if (windows::namesStream(destination.target) || keepsEntries()) {
                return Placement::inPlaceFile;
            }
            file = createHidden(error);
            return file ? Placement::hidden
                   : error == ERROR_FILENAME_EXCED_RANGE || error == hiddenKept
                       ? Placement::inPlaceFile
                       : Placement::none;
        case Found::regularFile:
            break;
    }
    if (_access(destination.target.c_str(), 2) != 0) {
        return Placement::none;
    }
    if (windows::namesStream(destination.target) || !mayBeReplaced()) {
        return openInPlace(information, file);
    }
    destination.replaces = true;
    destination.attributes = information.dwFileAttributes;
    File created = createHidden(error);
    if (!created && (error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE ||
                     error == hiddenKept)) {
        return openInPlace(information, file);
    }
    return hiddenOrNone(file, std::move(created));
}

// Ctrl+C, Ctrl+Break, and the console closing: the cleanup, then the end
// that Windows gives a program on Ctrl+C.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        detail::removeHiddenAndDie(SIGINT);
    }
    return FALSE;
}

}  // namespace

namespace platform {

void holdCleanup() noexcept {
    EnterCriticalSection(&cleanupLock);
}

void releaseCleanup() noexcept {
    LeaveCriticalSection(&cleanupLock);
}

// At once: the main thread may hold the C runtime's locks, which an
// orderly exit would wait for.
void dieOf(int /*signal*/) noexcept {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);  // not reached
}

Placement openOutput(const char* target, File& file) {
    if (!windows::destinationArrivedWhole(target)) {
        return Placement::none;
    }
    destination.target = target;
    return placeOutput(file);
}

bool startInPlace(File& file) {
    if (file) {
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
        return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle) != 0;
    }
    file = streamFor(CreateFileA(destination.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

// The attributes go on first: Wine's ReplaceFileA keeps none of the old
// file's, and the hidden file must not stay hidden.
bool moveHiddenOver() {
    const char* const hidden = destination.hidden.c_str();
    const DWORD attributes =
        destination.attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM);
    if (SetFileAttributesA(hidden, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) == 0) {
        return false;
    }
    bool moved = false;
    if (destination.replaces) {
        const std::string fullHidden = windows::fullPath(hidden);
        moved = ReplaceFileA(destination.fullTarget.c_str(), fullHidden.c_str(), nullptr,
                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        // The old file went away meanwhile: the new one takes its place.
        moved = moved || (GetLastError() == ERROR_FILE_NOT_FOUND &&
                          MoveFileExA(hidden, destination.target.c_str(), 0) != 0);
    } else {
        moved = MoveFileExA(hidden, destination.target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }
    if (moved) {
        destination.pending = nullptr;
    }
    return moved;
}

// While the hidden file is open, deleting it marks it, and it goes when its
// handle is closed, at the latest when the program ends.
void removeHidden() noexcept {
    const char* const hidden = destination.pending;
    if (hidden != nullptr) {
        DeleteFileA(hidden);
    }
    destination.pending = nullptr;
}

void finishOutput() noexcept {
    removeHidden();
}

}  // namespace platform

// Without a handler of its own, Ctrl+C would still end the program, but
// leave the hidden file behind; nothing better can be done if Windows
// refuses one.
bool prepareProcess() {
    // The C runtime buffers a redirected stderr whole until the program
    // exits; a message must be out before Ctrl+C can end the program.
    static_cast<void>(std::setvbuf(stderr, nullptr, _IONBF, 0));
    InitializeCriticalSection(&cleanupLock);
    static_cast<void>(SetConsoleCtrlHandler(onConsoleEvent, TRUE));
    return true;
}

}  // namespace quib

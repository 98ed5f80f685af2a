// The replacement of <vms> on Windows. An existing <vms> is opened for
// writing first, emptying nothing, as a plain open would open it (the
// read-only attribute, the file's ACL and another program's sharing refuse
// it there), and only the file that open reached is replaced. The hidden
// file is created with CreateFileA(CREATE_NEW), hidden, under a name from
// rand_s kept within MAX_PATH, and marked for deletion through its handle
// until the commit, so that a run that ends any other way leaves nothing.
// ReplaceFileW puts it over an existing file, named by the file's own final
// name, with a backup name beside it: it keeps what Windows keeps for a file
// (its security, creation time, streams), and a failure leaves the old file
// under its name or the backup's, from where it is put back. MoveFileExA
// puts a new one in place. A link at <vms> is written through: the file it
// leads to is replaced in its own folder.
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
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform.hpp"
#include "windows/access.hpp"
#include "windows/lookup.hpp"
#include "windows/names.hpp"

namespace quib {
namespace {

using detail::unbuffered;

// What the commit and the handler of Ctrl+C need to know about the
// output. The hidden file's name is read by the handler, under the lock.
struct Destination {
    std::string target;                        // <vms> as typed
    std::string fullTarget;                    // and in full
    std::wstring finalTarget;                  // the replaced file's own name, in full
    BY_HANDLE_FILE_INFORMATION replaced{};     // and its identity
    std::string hidden;                        // the hidden file, with the folder as typed
    std::string backup;                        // where ReplaceFileW moves the old file aside
    HANDLE marked = INVALID_HANDLE_VALUE;      // the hidden file's, while marked for deletion
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
// not removed again: an error code of the program's own (bit 29 set),
// which no Windows call reports.
constexpr DWORD hiddenKept = 0x20000001;

// Marks the file just created for deletion through its own handle, which
// takes the very right that removing it needs: from then on it goes when
// its last handle is closed, whatever ends the run, even a kill; the commit
// clears the mark just before the move. A handle of its own keeps it open
// past the close of the stream. False, with the file left as it is, when
// it could not be removed: a folder that lets files be created, not
// deleted, refuses its deletion by name (which the move needs later, and
// which Windows refuses on a file marked already, so it is tried first),
// or refuses the mark.
bool markForRemoval(HANDLE created, const std::string& name) {
    HANDLE again =
        CreateFileA(name.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const bool byName = again != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED;
    if (again != INVALID_HANDLE_VALUE) {
        CloseHandle(again);
    }
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    const HANDLE self = GetCurrentProcess();
    const bool marked =
        SetFileInformationByHandle(created, FileDispositionInfo, &remove, sizeof remove) != 0;
    // Where the name cannot be removed, the file goes now, through the mark.
    return marked && byName &&
           DuplicateHandle(self, created, self, &destination.marked, 0, FALSE,
                           DUPLICATE_SAME_ACCESS) != 0;
}

// Clears the mark and lets go of the handle that held it: the hidden file
// then stays until it is moved or removed by name. Without the mark
// cleared, it goes with the handle.
bool unmarkHidden() {
    FILE_DISPOSITION_INFO keep{};
    keep.DeleteFile = FALSE;
    const bool kept = destination.marked != INVALID_HANDLE_VALUE &&
                      SetFileInformationByHandle(destination.marked, FileDispositionInfo, &keep,
                                                 sizeof keep) != 0;
    if (destination.marked != INVALID_HANDLE_VALUE) {
        CloseHandle(destination.marked);
        destination.marked = INVALID_HANDLE_VALUE;
    }
    return kept;
}

// A new name beside <vms>: the stem, and random characters.
std::string randomName(const std::string& stem) {
    std::string name = stem;
    for (std::size_t i = 0; i < detail::hiddenSuffixLength; ++i) {
        unsigned int random = 0;
        static_cast<void>(rand_s(&random));
        name += detail::hiddenSuffixLetters[random % detail::hiddenSuffixLetters.size()];
    }
    return name;
}

// Created exclusively and hidden: an existing file of that name, or a link
// planted in its place, is never opened; another name is tried instead.
// Null, with the reason in error, when the folder will not take it, or
// would keep it (hiddenKept). The backup name shares its stem, and so its
// length.
File createHidden(DWORD& error) {
    const std::string& full = destination.fullTarget;
    const std::size_t typedFolder = windows::nameStart(destination.target);
    const std::size_t fullFolder = windows::nameStart(full);
    const std::size_t folderUnits =
        std::max(windows::utf16Units(std::string_view(destination.target).substr(0, typedFolder)),
                 windows::utf16Units(std::string_view(full).substr(0, fullFolder)));
    const std::string stem = windows::hiddenStemPath(destination.target, folderUnits);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = randomName(stem);
        platform::holdCleanup();
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr);
        error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE && !markForRemoval(handle, name)) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
            error = hiddenKept;
        }
        if (handle != INVALID_HANDLE_VALUE) {
            destination.hidden = std::move(name);
            destination.pending = destination.hidden.c_str();
            do {
                destination.backup = randomName(stem);
            } while (destination.backup == destination.hidden);
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

// Closes the hidden file made for a replacement that is not to be: it goes
// with its last handle, as it is still marked.
void dropHidden(File created) {
    created.reset();
    platform::holdCleanup();
    if (destination.marked != INVALID_HANDLE_VALUE) {
        CloseHandle(destination.marked);
        destination.marked = INVALID_HANDLE_VALUE;
    }
    destination.pending = nullptr;
    platform::releaseCleanup();
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
// renamed, so that a hidden file would stay there. Windows shows it on the
// hidden file itself (markForRemoval). An append-only or immutable Linux
// folder, seen through Wine, takes the file and its mark but removes
// nothing, and shows it nowhere; but it refuses a change of its own times,
// and setting its last-write time to the time it has takes nothing from
// anyone. Any folder of another user's refuses that too, where entries
// may well be removed: only a refusal to the folder's owner tells.
bool keepsEntries() {
    const std::string& full = destination.fullTarget;
    const std::string folder = full.substr(0, windows::nameStart(full));
    HANDLE handle =
        CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME written{};
    const bool refused = GetFileTime(handle, nullptr, nullptr, &written) != 0 &&
                         SetFileTime(handle, nullptr, nullptr, &written) == 0 &&
                         GetLastError() == ERROR_ACCESS_DENIED && windows::ownedByUser(handle);
    CloseHandle(handle);
    return refused;
}

// The file to be replaced, by its own name, for access alone, sharing all.
HANDLE openReplaced(DWORD access) {
    return CreateFileW(destination.finalTarget.c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// Whether an existing file may be renamed over: that takes the right to
// delete it, which a folder may grant to no one (one that lets files be
// created, not deleted), and which another program that has it open
// without sharing deletion holds back (a plain open for writing still
// succeeds there, so the file is written in place).
bool mayBeReplaced() {
    HANDLE handle = openReplaced(DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return !keepsEntries();
}

// Whether another entry of the folder answers to the file's name too: a
// twin in another case (a case-sensitive folder, a network share, Wine), a
// file or a folder whose short name it is. Once the file were moved aside,
// its name would lead there: the new file could not be put in its place,
// nor the old one back. A pattern that ends in "?" lists every spelling of
// the name, short names included.
bool hasTwin(const std::wstring& final) {
    const std::wstring name = final.substr(final.find_last_of(L'\\') + 1);
    std::wstring pattern = final;
    pattern.back() = L'?';
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return true;  // the file itself is not even listed
    }
    bool twin = false;
    do {
        twin = name != found.cFileName && (lstrcmpiW(found.cFileName, name.c_str()) == 0 ||
                                           lstrcmpiW(found.cAlternateFileName, name.c_str()) == 0);
    } while (!twin && FindNextFileW(search, &found) != 0);
    FindClose(search);
    return twin;
}

// Whether the new file would give everyone more than the old file does.
// ReplaceFileW keeps the old file's ACL on Windows; Wine's does not keep
// the Unix mode, which Wine shows as an ACL (0640 has no entry for
// Everyone, 0644 one that reads), so a file narrower than a new one is
// written in place. So is one whose ACL cannot be read.
bool widensAccess() {
    HANDLE old = openReplaced(READ_CONTROL);
    if (old == INVALID_HANDLE_VALUE) {
        return true;
    }
    const std::optional<ACCESS_MASK> before = windows::everyoneRights(old);
    CloseHandle(old);
    const std::optional<ACCESS_MASK> after = windows::everyoneRights(destination.marked);
    return !before || !after || (*after & ~*before) != 0;
}

// A device, a pipe: opened as a plain open for writing would open it.
Placement openDevice(File& file) {
    file = unbuffered(std::fopen(destination.target.c_str(), "wb"));
    return file ? Placement::inPlace : Placement::none;
}

// The regular file opened for writing, written in place.
Placement writeInPlace(HANDLE opened, File& file) {
    file = streamFor(opened);
    return file ? Placement::inPlaceFile : Placement::none;
}

// An existing regular file, opened for writing as a plain open would open
// it, sharing reading and writing, emptying nothing: the file that open
// reached is replaced, by its own name, or written in place.
Placement placeExisting(const BY_HANDLE_FILE_INFORMATION& inspected, File& file) {
    // Windows refuses to write a read-only file, to anyone; Wine lets root.
    if ((inspected.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Placement::none;
    }
    HANDLE handle = CreateFileA(destination.target.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Placement::none;
    }
    if (GetFileInformationByHandle(handle, &destination.replaced) == 0 ||
        !windows::sameFile(destination.replaced, inspected)) {
        CloseHandle(handle);
        return Placement::none;
    }
    destination.finalTarget = finalPath(handle);
    if (windows::namesStream(destination.target) || destination.finalTarget.empty() ||
        !mayBeReplaced() || hasTwin(destination.finalTarget)) {
        return writeInPlace(handle, file);
    }
    destination.replaces = true;
    destination.attributes = inspected.dwFileAttributes;
    DWORD error = ERROR_SUCCESS;
    File created = createHidden(error);
    if (created && widensAccess()) {
        dropHidden(std::move(created));
        return writeInPlace(handle, file);
    }
    if (!created && (error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE ||
                     error == hiddenKept)) {
        return writeInPlace(handle, file);
    }
    CloseHandle(handle);  // its identity is checked again at the commit
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
    return placeExisting(information, file);
}

// After ReplaceFileW failed with the old file moved aside, Windows
// documents the old file under its name still, or under the backup name:
// it is put back where its name is free, and the backup removed only once
// the old file is known to be under its name again.
void restoreReplaced(const std::wstring& backup) {
    BY_HANDLE_FILE_INFORMATION now{};
    if (!identify(destination.finalTarget, 0, now) && windows::foundNothing(GetLastError())) {
        MoveFileExW(backup.c_str(), destination.finalTarget.c_str(), 0);
    }
    if (identify(destination.finalTarget, 0, now) && windows::sameFile(now, destination.replaced)) {
        DeleteFileW(backup.c_str());
    }
}

// ReplaceFileW, on the file that was opened, by its own name: a short name
// typed would otherwise become its name, and a twin of another case could
// answer to it. The old file gone meanwhile, the new one takes its place.
bool replaceTarget(const std::string& hidden) {
    const std::wstring& target = destination.finalTarget;
    const std::wstring fullHidden = windows::wide(windows::fullPath(hidden.c_str()));
    BY_HANDLE_FILE_INFORMATION now{};
    if (!identify(target, 0, now)) {
        return windows::foundNothing(GetLastError()) &&
               MoveFileExW(fullHidden.c_str(), target.c_str(), 0) != 0;
    }
    if (!windows::sameFile(now, destination.replaced) || hasTwin(target)) {
        return false;
    }
    const std::wstring backup = windows::wide(windows::fullPath(destination.backup.c_str()));
    if (ReplaceFileW(target.c_str(), fullHidden.c_str(), backup.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0) {
        DeleteFileW(backup.c_str());
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        restoreReplaced(backup);
    }
    return false;
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

// The state is filled in step by step, as the output is opened.
struct Output {};

static Placement openTarget(const char* target, File& file) {
    if (!windows::destinationArrivedWhole(target)) {
        return Placement::none;
    }
    destination.target = target;
    return placeOutput(file);
}

// The state lives as long as the PendingOutput that holds it.
Opened openOutput(const char* target, File& file) {
    Opened opened;
    opened.output.reset(new (std::nothrow) Output);
    if (opened.output) {
        opened.placement = openTarget(target, file);
    }
    return opened;
}

bool startInPlace(Output& /*output*/, File& file) {
    if (file) {
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
        return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle) != 0;
    }
    file = streamFor(CreateFileA(destination.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

// The mark comes off first (Windows opens no file marked for deletion by
// its name), then the attributes: Wine's ReplaceFileW keeps none of the old
// file's, and the hidden file must not stay hidden.
bool moveHiddenOver(Output& /*output*/) {
    const char* const hidden = destination.hidden.c_str();
    const DWORD attributes =
        destination.attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM);
    if (!unmarkHidden() ||
        SetFileAttributesA(hidden, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) == 0) {
        return false;
    }
    const bool moved = destination.replaces ? replaceTarget(destination.hidden)
                                            : MoveFileExA(hidden, destination.target.c_str(),
                                                          MOVEFILE_REPLACE_EXISTING) != 0;
    if (moved) {
        destination.pending = nullptr;
    }
    return moved;
}

// Once the mark is cleared, deleting the hidden file by name removes it;
// before, Windows refuses that, and the file goes with its last handle, at
// the latest when the program ends.
void removeHidden() noexcept {
    const char* const hidden = destination.pending;
    if (hidden != nullptr) {
        DeleteFileA(hidden);
    }
    destination.pending = nullptr;
}

void OutputEnd::operator()(Output* state) const noexcept {
    removeHidden();
    if (destination.marked != INVALID_HANDLE_VALUE) {
        CloseHandle(destination.marked);
        destination.marked = INVALID_HANDLE_VALUE;
    }
    delete state;
}

}  // namespace platform

// Without a handler of its own, Ctrl+C would still end the program, but
// leave the hidden file behind; nothing better can be done if Windows
// refuses one.
bool platform::prepareProcess() {
    // The C runtime buffers a redirected stderr whole until the program
    // exits; a message must be out before Ctrl+C can end the program.
    static_cast<void>(std::setvbuf(stderr, nullptr, _IONBF, 0));
    InitializeCriticalSection(&cleanupLock);
    static_cast<void>(SetConsoleCtrlHandler(onConsoleEvent, TRUE));
    return true;
}

}  // namespace quib

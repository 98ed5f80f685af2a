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
// share a lock: the handler removes a hidden file that a failed move left
// (before the commit, its mark removes it), then ends the program as
// Windows ends one on Ctrl+C.
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
using windows::Handle;

// What the handler of Ctrl+C must see, on the thread it runs on. The
// hidden file's name is there only once the commit has cleared its mark for
// deletion and failed to move it: until then the file goes with its last
// handle, whatever ends the run, and the handler has nothing to remove. The
// lock keeps the handler out while the file is made and while it is moved.
struct Cleanup {
    CRITICAL_SECTION lock{};
    const char* hidden = nullptr;  // to be removed by name
};
Cleanup cleanup;

// The hidden file, once made: its name, the name beside it where
// ReplaceFileW moves the old file aside, and a handle of its own that holds
// the mark for deletion until the commit.
struct Hidden {
    std::string name;  // with the folder as typed
    std::string backup;
    Handle marked;
};

// The existing file that the hidden one replaces, as the open found it.
struct Replaced {
    std::wstring path;                         // its own final name, in full
    BY_HANDLE_FILE_INFORMATION identity{};     // checked again at the commit
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;  // the new file takes them
};

}  // namespace

// What the commit needs, found as the output was opened.
struct platform::Output {
    std::string target;  // where a new file goes: <vms>, or the file its link leads to
    Hidden hidden;
    std::optional<Replaced> replaced;  // empty for a new file
};

namespace {

// <vms> as typed, or the file its link leads to, and in full.
struct Target {
    std::string typed;
    std::string full;
};

// Where the output goes: the placement, the file opened, and what the
// commit needs.
struct Placed {
    Placement placement = Placement::none;
    File file;
    platform::Output output;
};

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

// Marks the file just created for deletion through its own handle, which
// takes the very right that removing it needs: from then on it goes when
// its last handle is closed, whatever ends the run, even a kill; the commit
// clears the mark just before the move. The handle returned, a duplicate,
// keeps it open past the close of the stream. Null, with the file left as it
// is, when it could not be removed: a folder that lets files be created, not
// deleted, refuses its deletion by name (which the move needs later, and
// which Windows refuses on a file marked already, so it is tried first), or
// refuses the mark.
Handle markForRemoval(HANDLE created, const std::string& name) {
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
    HANDLE duplicate = nullptr;
    if (!marked || !byName ||
        DuplicateHandle(self, created, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        return nullptr;
    }
    return Handle(duplicate);
}

// Clears the mark and lets go of the handle that held it: the hidden file
// then stays until it is moved or removed by name. Without the mark
// cleared, it goes with the handle.
bool unmarkHidden(Handle& marked) {
    FILE_DISPOSITION_INFO keep{};
    keep.DeleteFile = FALSE;
    const bool kept = marked && SetFileInformationByHandle(marked.get(), FileDispositionInfo, &keep,
                                                           sizeof keep) != 0;
    marked.reset();
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

// Why no hidden file was made: the folder refused it, the name would not
// fit the path's limit, the file could be created but not removed again,
// or anything else.
enum class Unmade { refused, tooLong, unremovable, other };

Unmade unmadeFor(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return Unmade::refused;
        case ERROR_FILENAME_EXCED_RANGE:
            return Unmade::tooLong;
        default:
            return Unmade::other;
    }
}

// A hidden file made, or why not.
struct Made {
    File file;
    Hidden hidden;
    Unmade why = Unmade::other;  // when file is null
};

// Created exclusively and hidden: an existing file of that name, or a link
// planted in its place, is never opened; another name is tried instead.
// Ctrl+C is kept out from the creation to the mark, so that it never ends
// the run with a file made and not yet marked. The backup name shares the
// stem, and so its length.
Made createHidden(const Target& target) {
    const std::size_t typedFolder = windows::nameStart(target.typed);
    const std::size_t fullFolder = windows::nameStart(target.full);
    const std::size_t folderUnits =
        std::max(windows::utf16Units(std::string_view(target.typed).substr(0, typedFolder)),
                 windows::utf16Units(std::string_view(target.full).substr(0, fullFolder)));
    const std::string stem = windows::hiddenStemPath(target.typed, folderUnits);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = randomName(stem);
        platform::holdCleanup();
        const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_HIDDEN, nullptr);
        const DWORD error = GetLastError();
        Handle marked = handle != INVALID_HANDLE_VALUE ? markForRemoval(handle, name) : nullptr;
        platform::releaseCleanup();
        if (handle == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS) {
            continue;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return {nullptr, {}, unmadeFor(error)};
        }
        if (!marked) {
            CloseHandle(handle);
            return {nullptr, {}, Unmade::unremovable};
        }
        std::string backup = randomName(stem);
        while (backup == name) {
            backup = randomName(stem);
        }
        return {streamFor(handle), {std::move(name), std::move(backup), std::move(marked)}};
    }
    return {};
}

// What a path names now, told by a handle opened for no access at all,
// which needs no permission and locks nothing.
enum class Found { nothing, regularFile, linkedFile, other, unknown };

// The volume serial number and file index of what path names; empty when
// it cannot be told, with the reason in GetLastError when nothing opened.
std::optional<BY_HANDLE_FILE_INFORMATION> identify(const std::wstring& path, DWORD flags) {
    HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool told = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    return told ? std::optional(information) : std::nullopt;
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
bool lastPartIsLink(const Target& target, HANDLE handle, const BY_HANDLE_FILE_INFORMATION& file) {
    const std::wstring typed = windows::wide(target.typed);
    // Windows opens a link itself when asked to, as a file of its own.
    const auto entry = identify(typed, FILE_FLAG_OPEN_REPARSE_POINT);
    if (entry && !windows::sameFile(*entry, file)) {
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
    if (lstrcmpiW(final.c_str() + finalName, named.cFileName) != 0) {
        return true;
    }
    const std::string_view full = target.full;
    const std::wstring namedFolderPath = windows::wide(full.substr(0, windows::nameStart(full)));
    const auto finalFolder = identify(final.substr(0, finalName), 0);
    const auto namedFolder = finalFolder ? identify(namedFolderPath, 0) : std::nullopt;
    return !namedFolder || !windows::sameFile(*finalFolder, *namedFolder);
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

// What the target names, and a regular file's identity and attributes.
struct Inspected {
    Found found = Found::unknown;
    BY_HANDLE_FILE_INFORMATION information{};
};

Inspected inspect(const Target& target) {
    HANDLE handle = windows::openForLookup(target.typed.c_str());
    if (handle == INVALID_HANDLE_VALUE) {
        // What cannot be looked up may be anything: nothing is written to it.
        return {windows::foundNothing(GetLastError()) ? Found::nothing : Found::unknown};
    }
    Inspected inspected;
    const bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                         GetFileInformationByHandle(handle, &inspected.information) != 0 &&
                         (inspected.information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const bool linked = regular && lastPartIsLink(target, handle, inspected.information);
    CloseHandle(handle);
    inspected.found = !regular ? Found::other : linked ? Found::linkedFile : Found::regularFile;
    return inspected;
}

// Whether a file made in the folder of <vms> could never be removed or
// renamed, so that a hidden file would stay there. Windows shows it on the
// hidden file itself (markForRemoval). An append-only or immutable Linux
// folder, seen through Wine, takes the file and its mark but removes
// nothing, and shows it nowhere; but it refuses a change of its own times,
// and setting its last-write time to the time it has takes nothing from
// anyone. Any folder of another user's refuses that too, where entries
// may well be removed: only a refusal to the folder's owner tells.
bool keepsEntries(const std::string& full) {
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
HANDLE openReplaced(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Whether an existing file may be renamed over: that takes the right to
// delete it, which a folder may grant to no one (one that lets files be
// created, not deleted), and which another program that has it open
// without sharing deletion holds back (a plain open for writing still
// succeeds there, so the file is written in place).
bool mayBeReplaced(const std::wstring& path, const std::string& full) {
    HANDLE handle = openReplaced(path, DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return !keepsEntries(full);
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
bool widensAccess(const std::wstring& path, HANDLE hidden) {
    HANDLE old = openReplaced(path, READ_CONTROL);
    if (old == INVALID_HANDLE_VALUE) {
        return true;
    }
    const std::optional<ACCESS_MASK> before = windows::everyoneRights(old);
    CloseHandle(old);
    const std::optional<ACCESS_MASK> after = windows::everyoneRights(hidden);
    return !before || !after || (*after & ~*before) != 0;
}

// A device, a pipe: opened as a plain open for writing would open it.
Placed openDevice(const std::string& target) {
    File file = unbuffered(std::fopen(target.c_str(), "wb"));
    const Placement placement = file ? Placement::inPlace : Placement::none;
    return {placement, std::move(file), {}};
}

// The regular file opened for writing, written in place.
Placed writeInPlace(HANDLE opened) {
    File file = streamFor(opened);
    const Placement placement = file ? Placement::inPlaceFile : Placement::none;
    return {placement, std::move(file), {}};
}

// A new file, made only once the input is in memory (startInPlace).
Placed createInPlace(const std::string& target) {
    return {Placement::inPlaceFile, nullptr, {target, {}, {}}};
}

// An existing regular file, opened for writing as a plain open would open
// it, sharing reading and writing, emptying nothing: the file that open
// reached is replaced, by its own name, or written in place.
Placed placeExisting(const Target& target, const BY_HANDLE_FILE_INFORMATION& inspected) {
    // Windows refuses to write a read-only file, to anyone; Wine lets root.
    if ((inspected.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return {};
    }
    HANDLE handle = CreateFileA(target.typed.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    Replaced replaced;
    if (GetFileInformationByHandle(handle, &replaced.identity) == 0 ||
        !windows::sameFile(replaced.identity, inspected)) {
        CloseHandle(handle);
        return {};
    }
    replaced.path = finalPath(handle);
    if (windows::namesStream(target.typed) || replaced.path.empty() ||
        !mayBeReplaced(replaced.path, target.full) || hasTwin(replaced.path)) {
        return writeInPlace(handle);
    }
    replaced.attributes = inspected.dwFileAttributes;
    Made made = createHidden(target);
    if (made.file && !widensAccess(replaced.path, made.hidden.marked.get())) {
        CloseHandle(handle);  // its identity is checked again at the commit
        return {Placement::hidden,
                std::move(made.file),
                {{}, std::move(made.hidden), std::move(replaced)}};
    }
    // Written in place where the hidden file would give everyone more (it is
    // closed, and goes, as it is still marked), and where the folder refuses
    // one, would keep it, or has no room for its name.
    if (made.file || made.why != Unmade::other) {
        made = {};
        return writeInPlace(handle);
    }
    CloseHandle(handle);
    return {};
}

// Nothing is there yet: a new file, hidden until the commit, or made in
// place once the input is in memory where its hidden sibling would not fit
// the path's limit or could not be removed.
Placed placeNew(const Target& target) {
    Made made = createHidden(target);
    if (made.file) {
        return {
            Placement::hidden, std::move(made.file), {target.typed, std::move(made.hidden), {}}};
    }
    if (made.why == Unmade::tooLong || made.why == Unmade::unremovable) {
        return createInPlace(target.typed);
    }
    return {};
}

Placed placeOutput(const std::string& typed, bool throughLink = false) {
    const Target target{typed, windows::fullPath(typed.c_str())};
    if (target.full.empty()) {
        return {};
    }
    if (windows::isDevice(target.typed, target.full)) {
        return openDevice(target.typed);
    }
    const Inspected inspected = inspect(target);
    switch (inspected.found) {
        case Found::unknown:
            return {};
        case Found::other:
            return openDevice(target.typed);
        case Found::linkedFile: {
            // Looked at again, once: the end of a chain of links is no link.
            const std::string linked = throughLink ? std::string() : linkedFile(typed.c_str());
            return linked.empty() ? Placed{} : placeOutput(linked, true);
        }
        case Found::nothing:
            // A new stream is created in place, only once the input is in
            // memory. A folder that refuses new files refuses it at once.
            if (windows::namesStream(target.typed) || keepsEntries(target.full)) {
                return createInPlace(target.typed);
            }
            return placeNew(target);
        case Found::regularFile:
            break;
    }
    return placeExisting(target, inspected.information);
}

// After ReplaceFileW failed with the old file moved aside, Windows
// documents the old file under its name still, or under the backup name:
// it is put back where its name is free, and the backup removed only once
// the old file is known to be under its name again.
void restoreReplaced(const Replaced& replaced, const std::wstring& backup) {
    if (!identify(replaced.path, 0) && windows::foundNothing(GetLastError())) {
        MoveFileExW(backup.c_str(), replaced.path.c_str(), 0);
    }
    const auto now = identify(replaced.path, 0);
    if (now && windows::sameFile(*now, replaced.identity)) {
        DeleteFileW(backup.c_str());
    }
}

// ReplaceFileW, on the file that was opened, by its own name: a short name
// typed would otherwise become its name, and a twin of another case could
// answer to it. The old file gone meanwhile, the new one takes its place.
bool replaceTarget(const Hidden& hidden, const Replaced& replaced) {
    const std::wstring& target = replaced.path;
    const std::wstring fullHidden = windows::wide(windows::fullPath(hidden.name.c_str()));
    const auto now = identify(target, 0);
    if (!now) {
        return windows::foundNothing(GetLastError()) &&
               MoveFileExW(fullHidden.c_str(), target.c_str(), 0) != 0;
    }
    if (!windows::sameFile(*now, replaced.identity) || hasTwin(target)) {
        return false;
    }
    const std::wstring backup = windows::wide(windows::fullPath(hidden.backup.c_str()));
    if (ReplaceFileW(target.c_str(), fullHidden.c_str(), backup.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0) {
        DeleteFileW(backup.c_str());
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        restoreReplaced(replaced, backup);
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
    EnterCriticalSection(&cleanup.lock);
}

void releaseCleanup() noexcept {
    LeaveCriticalSection(&cleanup.lock);
}

// At once: the main thread may hold the C runtime's locks, which an
// orderly exit would wait for.
void dieOf(int /*signal*/) noexcept {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);  // not reached
}

// The state lives as long as the PendingOutput that holds it.
Opened openOutput(const char* target, File& file) {
    Opened opened;
    opened.output.reset(new (std::nothrow) Output);
    if (opened.output && windows::destinationArrivedWhole(target)) {
        Placed placed = placeOutput(target);
        opened.placement = placed.placement;
        file = std::move(placed.file);
        *opened.output = std::move(placed.output);
    }
    return opened;
}

bool startInPlace(Output& output, File& file) {
    if (file) {
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
        return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle) != 0;
    }
    file = streamFor(CreateFileA(output.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

// The mark comes off first (Windows opens no file marked for deletion by
// its name), then the attributes: Wine's ReplaceFileW keeps none of the old
// file's, and the hidden file must not stay hidden. Called with the cleanup
// held; a move that fails leaves the hidden file to be removed by name.
bool moveHiddenOver(Output& output) {
    const char* const hidden = output.hidden.name.c_str();
    const DWORD kept = output.replaced ? output.replaced->attributes : FILE_ATTRIBUTE_NORMAL;
    const DWORD attributes = kept & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM);
    const bool moved =
        unmarkHidden(output.hidden.marked) &&
        SetFileAttributesA(hidden, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) != 0 &&
        (output.replaced
             ? replaceTarget(output.hidden, *output.replaced)
             : MoveFileExA(hidden, output.target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0);
    if (!moved) {
        cleanup.hidden = hidden;
    }
    return moved;
}

// Deleting the hidden file by name removes it once its mark is cleared;
// before, the file goes with its last handle, at the latest when the
// program ends.
void removeHidden() noexcept {
    if (cleanup.hidden != nullptr) {
        DeleteFileA(cleanup.hidden);
    }
    cleanup.hidden = nullptr;
}

// The name the handler sees is the state's own: it is let go of first.
void OutputEnd::operator()(Output* state) const noexcept {
    removeHidden();
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
    InitializeCriticalSection(&cleanup.lock);
    static_cast<void>(SetConsoleCtrlHandler(onConsoleEvent, TRUE));
    return true;
}

}  // namespace quib

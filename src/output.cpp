#ifdef _WIN32
#define _CRT_RAND_S  // rand_s, from the system's msvcrt.dll; before any header
#endif
#include "output.hpp"

#include <array>
#include <csignal>
#include <cstdio>
#include <string_view>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quib {
namespace {

// The hidden file while it exists, for the signal handler. On POSIX systems
// it is set and cleared only while the cleanup signals are blocked (see
// CleanupDeferred), so the handler never sees a file that is half made or
// already renamed.
const char* volatile pendingTemporary = nullptr;

// Without a stream buffer each write reaches the file before the next
// section is started, so a failure is seen by the write that caused it.
File unbuffered(std::FILE* stream) {
    File file(stream);
    if (file && std::setvbuf(file.get(), nullptr, _IONBF, 0) != 0) {
        file.reset();
    }
    return file;
}

#ifdef _WIN32
constexpr std::string_view separators = "/\\:";
#else
constexpr std::string_view separators = "/";
#endif

// "dir/out.vms" becomes "dir/.out.vms.": the hidden name's stem, to which a
// random suffix is added.
std::string temporaryStem(std::string_view target) {
    const std::size_t slash = target.find_last_of(separators);
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::string stem(target.substr(0, base));
    stem.append(".").append(target.substr(base)).append(".");
    return stem;
}

#ifdef _WIN32

// Nothing to block: the console runs the handler on a thread of its own.
struct CleanupDeferred {
    CleanupDeferred() noexcept {}  // user-provided, so that a scope may hold one
};

bool moveOver(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// Created exclusively: an existing file of that name, or a link planted in
// its place, is never opened; another name is tried instead.
File createTemporary(const char* target, std::string& name, bool& refused) {
    constexpr std::string_view letters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::string stem = temporaryStem(target);
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

#else

// The signals after which the hidden file is removed.
constexpr std::array<int, 3> cleanupSignals = {SIGINT, SIGTERM, SIGHUP};

sigset_t cleanupSignalSet() {
    sigset_t set{};
    sigemptyset(&set);
    for (const int signal : cleanupSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Blocks the cleanup signals for its lifetime, so that the hidden file and
// pendingTemporary change together.
class CleanupDeferred {
public:
    CleanupDeferred() noexcept {
        const sigset_t cleanup = cleanupSignalSet();
        sigprocmask(SIG_BLOCK, &cleanup, &previous_);
    }
    ~CleanupDeferred() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    CleanupDeferred(const CleanupDeferred&) = delete;
    CleanupDeferred& operator=(const CleanupDeferred&) = delete;
    CleanupDeferred(CleanupDeferred&&) = delete;
    CleanupDeferred& operator=(CleanupDeferred&&) = delete;

private:
    sigset_t previous_{};
};

bool moveOver(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The permission bits of the file it replaces, or those of a new file.
// Created exclusively (mkstemp): an existing file of that name, or a link
// planted in its place, is never opened; another name is tried instead.
File createTemporary(const char* target, std::string& name, bool& refused,
                     const struct stat* replaced) {
    name = temporaryStem(target) + "XXXXXX";
    int fd = -1;
    int error = 0;
    {
        const CleanupDeferred deferred;
        fd = mkstemp(name.data());
        error = errno;
        if (fd >= 0) {
            pendingTemporary = name.c_str();
        }
    }
    if (fd < 0) {
        // The folder will not take a new file, or the hidden name is too
        // long for it; a full disk or a missing folder is another matter.
        refused = error == EACCES || error == EPERM || error == ENAMETOOLONG;
        name.clear();
        return nullptr;
    }
    if (replaced != nullptr) {
        // Only root may give a file away; for anyone else this changes
        // nothing, and the file is theirs as it would be after a rewrite.
        static_cast<void>(fchown(fd, replaced->st_uid, replaced->st_gid));
    }
    const mode_t mode = replaced != nullptr ? replaced->st_mode & 07777 : newFileMode();
    std::FILE* const stream = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    return unbuffered(stream);
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// /dev/stdout, /dev/fd/2 and the like name a file the caller already holds
// open: it is written where it is, even when it is a regular file.
bool isStandardStream(const struct stat& found) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream {};
        if (fstat(fd, &stream) == 0 && sameFile(stream, found)) {
            return true;
        }
    }
    return false;
}

// Opens the very file that was inspected, without truncating it first: if
// the path was swapped for another file since (a link to the input, say),
// nothing is opened and nothing is lost.
File openInPlace(const char* target, const struct stat& inspected) {
    const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat opened {};
    const bool same = fstat(fd, &opened) == 0 && sameFile(opened, inspected);
    std::FILE* stream = nullptr;
    if (same && (!S_ISREG(opened.st_mode) || ftruncate(fd, 0) == 0)) {
        stream = fdopen(fd, "wb");
    }
    if (stream == nullptr) {
        close(fd);
    }
    return unbuffered(stream);
}

#endif

// Async-signal-safe on POSIX systems. On Windows the hidden file is open
// with FILE_SHARE_DELETE: deleting it marks it, and it goes when the
// process ends and its handle is closed.
void removeFile(const char* path) noexcept {
#ifdef _WIN32
    DeleteFileA(path);
#else
    unlink(path);
#endif
}

// Removes the hidden file, then dies of the same signal, so that the caller
// sees what ended the run.
extern "C" void removePendingAndDie(int signal) {
    const char* const temporary = pendingTemporary;
    if (temporary != nullptr) {
        removeFile(temporary);
    }
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
}

}  // namespace

#ifdef _WIN32

bool prepareProcess() {
    for (const int signal : {SIGINT, SIGBREAK}) {
        static_cast<void>(std::signal(signal, removePendingAndDie));
    }
    return true;
}

PendingOutput::PendingOutput(const char* target) : target_(target) {
    const Found found = inspect(target);
    bool refused = false;
    if (found == Found::other) {
        file_ = unbuffered(std::fopen(target, "wb"));
    } else if (found == Found::nothing) {
        file_ = createTemporary(target, temporary_, refused);
    } else if (_access(target, 2) == 0) {
        file_ = createTemporary(target, temporary_, refused);
        if (!file_ && refused) {
            file_ = unbuffered(std::fopen(target, "wb"));
        }
    }
}

#else

bool prepareProcess() {
    // The lowest free descriptor is the one that is closed: /dev/null goes
    // exactly there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            return false;
        }
    }
    // The write fails with EFBIG or EPIPE instead, and its section says so.
    for (const int signal : {SIGXFSZ, SIGPIPE}) {
        static_cast<void>(std::signal(signal, SIG_IGN));
    }
    struct sigaction cleanup {};
    cleanup.sa_handler = removePendingAndDie;
    cleanup.sa_mask = cleanupSignalSet();
    for (const int signal : cleanupSignals) {
        // A signal ignored by whoever started us (nohup, a background job)
        // stays ignored.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(signal, &cleanup, nullptr);
        }
    }
    return true;
}

PendingOutput::PendingOutput(const char* target) : target_(target) {
    bool refused = false;
    struct stat found {};
    if (lstat(target, &found) != 0) {
        file_ = createTemporary(target, temporary_, refused, nullptr);
        return;
    }
    if (S_ISLNK(found.st_mode)) {
        // A link is replaced, never followed, unless it leads to something
        // that cannot be replaced: /dev/stdout leads to the caller's stream.
        struct stat linked {};
        if (stat(target, &linked) == 0 && (!S_ISREG(linked.st_mode) || isStandardStream(linked))) {
            file_ = openInPlace(target, linked);
        } else {
            file_ = createTemporary(target, temporary_, refused, nullptr);
        }
        return;
    }
    if (!S_ISREG(found.st_mode) || isStandardStream(found)) {
        file_ = openInPlace(target, found);
        return;
    }
    // The rename needs only the directory's permission; a file the user
    // may not write stays refused.
    if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
        return;
    }
    file_ = createTemporary(target, temporary_, refused, &found);
    if (!file_ && refused) {
        file_ = openInPlace(target, found);
    }
}

#endif

bool PendingOutput::commit() {
    if (!closeChecked(file_)) {
        return false;
    }
    if (temporary_.empty()) {
        return true;
    }
    const CleanupDeferred deferred;
    if (!moveOver(temporary_.c_str(), target_)) {
        return false;
    }
    pendingTemporary = nullptr;
    temporary_.clear();
    return true;
}

PendingOutput::~PendingOutput() {
    file_.reset();  // the close of a file that is thrown away
    if (!temporary_.empty()) {
        const CleanupDeferred deferred;
        removeFile(temporary_.c_str());
        pendingTemporary = nullptr;
    }
}

}  // namespace quib

// The replacement of <vms> on POSIX systems: the hidden file comes from
// mkstemp, rename(2) puts it in place, and the cleanup runs from a signal
// handler, so it is held back by blocking the signals. What a path names is
// asked of lstat and stat; a file the caller already holds open (a FIFO, a
// device, /dev/stdout) is written in place.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

#include "platform.hpp"

namespace quib {
namespace {

using detail::pendingTemporary;
using detail::unbuffered;

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

sigset_t maskBeforeHold{};

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
    name = detail::temporaryStem(target) + "XXXXXX";
    int fd = -1;
    int error = 0;
    platform::holdCleanup();
    fd = mkstemp(name.data());
    error = errno;
    if (fd >= 0) {
        pendingTemporary = name.c_str();
    }
    platform::releaseCleanup();
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

}  // namespace

namespace platform {

const std::string_view pathSeparators = "/";

void holdCleanup() noexcept {
    const sigset_t cleanup = cleanupSignalSet();
    sigprocmask(SIG_BLOCK, &cleanup, &maskBeforeHold);
}

void releaseCleanup() noexcept {
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

bool moveOver(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

void removeFile(const char* path) noexcept {
    unlink(path);
}

File openOutput(const char* target, std::string& temporary) {
    bool refused = false;
    struct stat found {};
    if (lstat(target, &found) != 0) {
        return createTemporary(target, temporary, refused, nullptr);
    }
    if (S_ISLNK(found.st_mode)) {
        // A link is replaced, never followed, unless it leads to something
        // that cannot be replaced: /dev/stdout leads to the caller's stream.
        struct stat linked {};
        if (stat(target, &linked) == 0 && (!S_ISREG(linked.st_mode) || isStandardStream(linked))) {
            return openInPlace(target, linked);
        }
        return createTemporary(target, temporary, refused, nullptr);
    }
    if (!S_ISREG(found.st_mode) || isStandardStream(found)) {
        return openInPlace(target, found);
    }
    // The rename needs only the directory's permission; a file the user
    // may not write stays refused.
    if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
        return nullptr;
    }
    File file = createTemporary(target, temporary, refused, &found);
    if (!file && refused) {
        file = openInPlace(target, found);
    }
    return file;
}

}  // namespace platform

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
    cleanup.sa_handler = detail::removePendingAndDie;
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

}  // namespace quib

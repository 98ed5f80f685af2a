// WASI as a member of the POSIX family: the answers of system.hpp and
// process.hpp, and what platform.hpp asks beyond the files the family
// shares. A WASI program sees only the folders its host hands it (the
// page's folder of one picture, a folder that node:wasi opens for it), with
// files, folders, links and renames, but no owners, modes, ACLs, extended
// attributes, flags, unnamed files, dup, mmap or signals: a replacement
// there keeps the content, which is all a file has, and nothing can end the
// program between two calls. (What POSIX alone tells: plain.cpp; unnamed
// files: named.cpp.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform.hpp"
#include "posix/process.hpp"
#include "posix/system.hpp"

namespace quib {

namespace posix {

// A file has no attributes, flags, owner or mode to lose: every copy keeps
// all it has.
bool copiesAttributes() {
    return true;
}

bool copyExtendedAttributes(int /*from*/, int /*to*/) {
    return true;
}

// Every file has the same owner and no permission bits, so that none ever
// needs giving.
bool giveOwner(int /*to*/, const struct stat& /*old*/) {
    errno = ENOTSUP;
    return false;
}

bool giveMode(int /*fd*/, mode_t /*bits*/) {
    errno = ENOTSUP;
    return false;
}

// The host tells nothing of its disks: a rename refused is not made good by
// a copy that might run out of room half-way, and the target stays as it was.
bool roomFor(int /*fd*/, off_t /*length*/) {
    return false;
}

// Without dup, the file just created is opened again by its name.
int secondWriter(int fd, int folder, const char* name) {
    const int again = openat(folder, name, O_WRONLY | O_NOFOLLOW);
    struct stat made {};
    struct stat opened {};
    if (again >= 0 && (fstat(fd, &made) != 0 || fstat(again, &opened) != 0 ||
                       made.st_dev != opened.st_dev || made.st_ino != opened.st_ino)) {
        close(again);
        return -1;
    }
    return again;
}

// Nothing can interrupt the program: there is nothing to hold back.
void installHandlers() noexcept {}
void blockWhileHeld(bool /*unnamedFile*/) noexcept {}

// The program never starts without its standard descriptors.
bool closedAtStart(int /*fd*/) noexcept {
    return false;
}

}  // namespace posix

void platform::holdCleanup() noexcept {}
void platform::releaseCleanup() noexcept {}

[[noreturn]] void platform::dieOf(int signal) noexcept {
    std::_Exit(128 + signal);
}

// A WebAssembly memory only grows, page by page, and malloc takes from it
// directly: there is nothing to map.
std::uint8_t* platform::mapLarge(std::size_t /*size*/, std::size_t& /*mapped*/) {
    return nullptr;
}

void platform::unmap(std::uint8_t* /*bytes*/, std::size_t /*mapped*/) noexcept {}

// The host gives the program its standard descriptors. Were one missing, a
// file opened by the run could take its number and receive the messages:
// then nothing is opened at all.
bool platform::prepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            return false;
        }
    }
    return true;
}

}  // namespace quib

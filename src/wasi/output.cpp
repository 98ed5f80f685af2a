// The replacement of <vms> under WASI. A WASI program sees only the
// folders its host hands it (the page's folder of one picture, a folder
// that node:wasi opens for it) and has files, folders, links and renames
// there, but no owners, modes, ACLs, extended attributes or signals: so a
// replacement has nothing to keep but the content, and nothing can end
// the program between two calls. <vms> is replaced as on POSIX systems:
// the new file is written under a hidden name in the folder of <vms>,
// opened once, and renamed over it only once it is whole; every other path
// removes it. What is not a regular file (a link, a device the host
// offers) is written through, in place, and a regular file written in
// place is emptied only once the input is in memory.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>

#include "platform.hpp"
#include "posix/common.hpp"

namespace quib {
namespace {

using posix::folderOf;
using posix::nameOf;
using posix::streamFor;

struct Destination {
    int folder = -1;     // the folder of <vms>
    std::string name;    // <vms>'s own name in it
    int existing = -1;   // <vms> itself, open for writing, not emptied
    std::string hidden;  // the hidden file's name; empty when there is none
    dev_t device = 0;    // and the file written, which the name must still name
    ino_t inode = 0;
};
Destination destination;

void closeIfOpen(int& fd) noexcept {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Whether the hidden name still names the file this run created: a host
// folder may be shared with another program.
bool hiddenIsOurs() noexcept {
    if (destination.hidden.empty()) {
        return false;
    }
    struct stat now {};
    const char* const name = destination.hidden.c_str();
    return fstatat(destination.folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == destination.device && now.st_ino == destination.inode;
}

// <vms> as it is, written where it is; a regular file is emptied only by
// startInPlace, once the input is in memory.
Placement inPlace(File& file) {
    struct stat opened {};
    const bool regular = fstat(destination.existing, &opened) == 0 && S_ISREG(opened.st_mode);
    file = streamFor(destination.existing);
    destination.existing = -1;
    if (!file) {
        return Placement::none;
    }
    return regular ? Placement::inPlaceFile : Placement::inPlace;
}

// The hidden file, created exclusively: an existing file of that name is
// never opened; another name is tried. Its identity is taken at once, for
// every later check of its name. The error of the last try is left in
// errno.
Placement hidden(File& file) {
    const std::string stem = detail::hiddenStem(destination.name, NAME_MAX);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (std::size_t i = 0; i < detail::hiddenSuffixLength; ++i) {
            const auto letters = static_cast<std::uint32_t>(detail::hiddenSuffixLetters.size());
            name += detail::hiddenSuffixLetters[arc4random_uniform(letters)];
        }
        const int fd = openat(destination.folder, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            return Placement::none;
        }
        struct stat created {};
        if (fstat(fd, &created) != 0) {  // a file that could not be told apart later
            unlinkat(destination.folder, name.c_str(), 0);
            close(fd);
            return Placement::none;
        }
        destination.hidden = name;
        destination.device = created.st_dev;
        destination.inode = created.st_ino;
        file = streamFor(fd);
        return file ? Placement::hidden : Placement::none;
    }
    return Placement::none;
}

Placement placeOutput(File& file) {
    struct stat entry {};
    if (fstatat(destination.folder, destination.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? hidden(file) : Placement::none;
    }
    // Opened as a plain open for writing would open it, through its links,
    // emptying nothing: what the host refuses here is refused.
    destination.existing = openat(destination.folder, destination.name.c_str(), O_WRONLY);
    if (destination.existing < 0) {
        return Placement::none;
    }
    if (!S_ISREG(entry.st_mode)) {
        return inPlace(file);
    }
    const Placement placement = hidden(file);
    if (placement == Placement::none && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        return inPlace(file);  // a folder that takes no new file
    }
    return placement;
}

}  // namespace

namespace platform {

// Nothing can interrupt the program: there is nothing to hold back.
void holdCleanup() noexcept {}
void releaseCleanup() noexcept {}

[[noreturn]] void dieOf(int signal) noexcept {
    std::_Exit(128 + signal);
}

// The state is filled in step by step, as the output is opened.
struct Output {};

static Placement openTarget(const char* target, File& file) {
    // "folder/" names no file that a plain open could create.
    const std::string typed = target;
    destination.name = nameOf(typed);
    if (destination.name.empty()) {
        return Placement::none;
    }
    destination.folder = open(folderOf(typed).c_str(), O_RDONLY | O_DIRECTORY);
    if (destination.folder < 0) {
        return Placement::none;
    }
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
    return file && ftruncate(fileno(file.get()), 0) == 0;
}

bool moveHiddenOver(Output& /*output*/) {
    if (!hiddenIsOurs() || renameat(destination.folder, destination.hidden.c_str(),
                                    destination.folder, destination.name.c_str()) != 0) {
        return false;
    }
    destination.hidden.clear();
    return true;
}

void removeHidden() noexcept {
    if (hiddenIsOurs()) {
        unlinkat(destination.folder, destination.hidden.c_str(), 0);
    }
    destination.hidden.clear();
}

void OutputEnd::operator()(Output* state) const noexcept {
    removeHidden();
    closeIfOpen(destination.existing);
    closeIfOpen(destination.folder);
    delete state;
}

}  // namespace platform

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

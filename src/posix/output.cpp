// The replacement of <vms> on POSIX systems. Every name is taken relative
// to the folder of <vms>, opened once at the start: the hidden file is
// created, checked, renamed and removed there with openat, fstatat,
// renameat and unlinkat, so that a folder moved away or a name taken over
// by another run mid-way can neither be written into nor removed by
// mistake. The cleanup after a signal runs in a signal handler, so it is
// held back by blocking the signals, and it uses only calls that are safe
// there.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform.hpp"
#include "posix/linux.hpp"

namespace quib {
namespace {

// Everything the commit, the cleanup and the signal handler need to know
// about the output, changed only while the cleanup is held.
struct Destination {
    int folder = -1;                 // the folder of <vms>; every name is relative to it
    std::string name;                // <vms>'s own name in that folder
    char hidden[NAME_MAX + 1] = {};  // the hidden file's name; empty when there is none
    dev_t device = 0;                // and the file written, which the name must still name
    ino_t inode = 0;
};
Destination destination;

sigset_t maskBeforeHold{};

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether the hidden name still names the file this run created: another
// run aimed at that very name may have put its own file there.
bool hiddenIsOurs() noexcept {
    struct stat now {};
    return destination.hidden[0] != '\0' &&
           fstatat(destination.folder, destination.hidden, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == destination.device && now.st_ino == destination.inode;
}

// Whether following the link at (folder, name) passes through a link of
// the proc file system: /dev/stdin, /dev/fd/3 and a link of the user's own
// to /proc/self/fd/1 all name a file that the caller holds open.
bool leadsToDescriptor(int folder, const std::string& name) {
    int at = folder;
    std::string link = name;
    int opened = -1;
    bool found = false;
    for (int hop = 0; hop < 40 && !found; ++hop) {  // as many as the kernel follows
        found = posix::isDescriptorFolder(at);
        char next[PATH_MAX];
        const ssize_t length = found ? -1 : readlinkat(at, link.c_str(), next, sizeof next);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof next) {
            break;
        }
        const std::string path(next, static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        const std::string folderPart = slash == std::string::npos ? "."
                                       : slash == 0               ? "/"
                                                                  : path.substr(0, slash);
        const int inner = openat(at, folderPart.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (opened >= 0) {
            close(opened);
        }
        opened = inner;
        at = inner;
        link = path.substr(slash + 1);
        struct stat entry {};
        if (at < 0 || fstatat(at, link.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(entry.st_mode)) {
            break;
        }
    }
    if (opened >= 0) {
        close(opened);
    }
    return found;
}

// Whether a rename over the existing, writable file cannot work although a
// plain write can: the folder keeps its entries (append-only), the file is
// a mount point, or the folder is sticky and neither it nor the file is
// the user's (root may rename there all the same).
bool renameRefused(const struct stat& found) {
    struct stat folder {};
    if (fstat(destination.folder, &folder) != 0 || posix::keepsEntries(destination.folder) ||
        posix::isMountPoint(destination.folder, destination.name.c_str(), found)) {
        return true;
    }
    const uid_t user = geteuid();
    return (folder.st_mode & S_ISVTX) != 0 && user != 0 && found.st_uid != user &&
           folder.st_uid != user;
}

File streamFor(int fd) {
    std::FILE* const stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr && fd >= 0) {
        close(fd);
    }
    return detail::unbuffered(stream);
}

// Opens the very file that was inspected, without emptying it: if the name
// was swapped for another file since (a link to the input, say), nothing is
// opened and nothing is lost. Through a link only where follow says so.
Placement openInPlace(const struct stat& inspected, bool follow, File& file) {
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    const int fd = openat(destination.folder, destination.name.c_str(), flags);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || !sameFile(opened, inspected)) {
        if (fd >= 0) {
            close(fd);
        }
        return Placement::none;
    }
    file = streamFor(fd);
    if (!file) {
        return Placement::none;
    }
    return S_ISREG(opened.st_mode) ? Placement::inPlaceFile : Placement::inPlace;
}

// Creates the hidden file exclusively: an existing file of that name, or a
// link planted in its place, is never opened; another name is tried. The
// file's identity is taken at once, for every later check of its name.
int createHidden(mode_t mode, int& error) {
    const long limit = fpathconf(destination.folder, _PC_NAME_MAX);
    const std::size_t room =
        limit > 0 && limit < NAME_MAX ? static_cast<std::size_t>(limit) : std::size_t{NAME_MAX};
    const std::string stem = detail::hiddenStem(destination.name, room);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (std::size_t i = 0; i < detail::hiddenSuffixLength; ++i) {
            const auto letters = static_cast<std::uint32_t>(detail::hiddenSuffixLetters.size());
            name += detail::hiddenSuffixLetters[arc4random_uniform(letters)];
        }
        platform::holdCleanup();
        int fd = openat(destination.folder, name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        error = errno;
        struct stat created {};
        if (fd >= 0 && fstat(fd, &created) == 0) {
            destination.hidden[name.copy(destination.hidden, sizeof destination.hidden - 1)] = '\0';
            destination.device = created.st_dev;
            destination.inode = created.st_ino;
        } else if (fd >= 0) {  // a file that could not be told apart later
            unlinkat(destination.folder, name.c_str(), 0);
            close(fd);
            fd = -1;
            error = EIO;
        }
        platform::releaseCleanup();
        if (fd >= 0 || error != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// A new file, or a link replaced by one: what a plain create with mode
// 0666 gives, the umask or the folder's default ACL applied.
Placement hiddenForNewFile(File& file) {
    int error = 0;
    file = streamFor(createHidden(0666, error));
    return file ? Placement::hidden : Placement::none;
}

// The permission bits, owner and group, ACL and extended attributes of the
// file it replaces, as far as the user may set them. Made private first,
// so that no one else can open it while it is being written.
Placement hiddenForReplacement(const struct stat& replaced, File& file) {
    int error = 0;
    const int fd = createHidden(0600, error);
    if (fd < 0) {
        // The folder will not take a new file (a read-only or protected
        // folder); a full disk or a missing folder is another matter.
        const bool refused = error == EACCES || error == EPERM || error == EROFS;
        return refused ? openInPlace(replaced, false, file) : Placement::none;
    }
    // Only root may give a file away; a member of the old file's group may
    // still give it that group. Otherwise the file is the user's, as after
    // any rewrite.
    const bool given = fchown(fd, replaced.st_uid, replaced.st_gid) == 0 ||
                       fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) == 0;
    static_cast<void>(given);
    posix::copyExtendedAttributes(destination.folder, destination.name.c_str(), fd);
    if (fchmod(fd, replaced.st_mode & 07777) != 0) {
        close(fd);
        return Placement::none;
    }
    file = streamFor(fd);
    return file ? Placement::hidden : Placement::none;
}

// A folder that keeps its entries could never lose a hidden file after a
// failure: the new file is created directly, and only once the input is in
// memory, so a failed run leaves nothing.
Placement newFile(File& file) {
    if (!posix::keepsEntries(destination.folder)) {
        return hiddenForNewFile(file);
    }
    return faccessat(destination.folder, ".", W_OK | X_OK, AT_EACCESS) == 0 ? Placement::inPlaceFile
                                                                            : Placement::none;
}

Placement placeOutput(File& file) {
    struct stat found {};
    if (fstatat(destination.folder, destination.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? newFile(file) : Placement::none;
    }
    if (S_ISLNK(found.st_mode)) {
        // A link is replaced, never followed, unless it leads to what cannot
        // be replaced: an open descriptor, a device, a FIFO.
        struct stat linked {};
        const bool leads = fstatat(destination.folder, destination.name.c_str(), &linked, 0) == 0;
        if (leadsToDescriptor(destination.folder, destination.name) ||
            (leads && !S_ISREG(linked.st_mode))) {
            return leads ? openInPlace(linked, true, file) : Placement::none;
        }
        return hiddenForNewFile(file);
    }
    if (!S_ISREG(found.st_mode)) {
        return openInPlace(found, false, file);
    }
    // The rename needs only the folder's permission; a file the user may
    // not write stays refused, as a plain open would refuse it.
    if (faccessat(destination.folder, destination.name.c_str(), W_OK, AT_EACCESS) != 0) {
        return Placement::none;
    }
    if (renameRefused(found)) {
        return openInPlace(found, false, file);
    }
    return hiddenForReplacement(found, file);
}

}  // namespace

namespace platform {

void holdCleanup() noexcept {
    sigset_t all{};
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &maskBeforeHold);
}

void releaseCleanup() noexcept {
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

// From the handler, where every signal is blocked: the signal is raised
// again at its default action and let through, which ends the program.
void dieOf(int signal) noexcept {
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);  // not reached
}

Placement openOutput(const char* target, File& file) {
    // "folder/" names no file that a plain open could create.
    const std::string_view whole = target;
    const std::size_t slash = whole.rfind('/');
    destination.name = whole.substr(slash == std::string_view::npos ? 0 : slash + 1);
    if (destination.name.empty()) {
        return Placement::none;
    }
    const std::string folder = slash == std::string_view::npos ? "."
                               : slash == 0                    ? "/"
                                            : std::string(whole.substr(0, slash));
    destination.folder = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return destination.folder < 0 ? Placement::none : placeOutput(file);
}

bool startInPlace(File& file) {
    if (file) {
        return ftruncate(fileno(file.get()), 0) == 0;
    }
    const int fd = openat(destination.folder, destination.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    file = streamFor(fd);
    return static_cast<bool>(file);
}

bool moveHiddenOver() {
    if (!hiddenIsOurs() || renameat(destination.folder, destination.hidden, destination.folder,
                                    destination.name.c_str()) != 0) {
        return false;
    }
    destination.hidden[0] = '\0';
    return true;
}

void removeHidden() noexcept {
    if (hiddenIsOurs()) {
        unlinkat(destination.folder, destination.hidden, 0);
    }
    destination.hidden[0] = '\0';
}

void finishOutput() noexcept {
    removeHidden();
    if (destination.folder >= 0) {
        close(destination.folder);
        destination.folder = -1;
    }
}

}  // namespace platform

namespace {

// The signals whose default action does not end the program, and SIGKILL,
// which cannot be caught. Every other signal removes the hidden file before
// the program dies of it.
bool endsProgram(int signal) {
    for (const int harmless :
         {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH}) {
        if (signal == harmless) {
            return false;
        }
    }
    return true;
}

}  // namespace

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
    cleanup.sa_handler = detail::removeHiddenAndDie;
    sigfillset(&cleanup.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        // A signal ignored by whoever started us (nohup, a background job)
        // stays ignored, as do SIGXFSZ and SIGPIPE. Some numbers belong to
        // the C library; sigaction refuses them, and they stay as they are.
        struct sigaction before {};
        if (endsProgram(signal) && sigaction(signal, nullptr, &before) == 0 &&
            before.sa_handler != SIG_IGN) {
            sigaction(signal, &cleanup, nullptr);
        }
    }
    return true;
}

}  // namespace quib

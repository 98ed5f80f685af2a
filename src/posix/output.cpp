// The replacement of <vms> on POSIX systems. <vms> is first opened for
// writing, without emptying it, as a plain open would open it: through its
// symbolic links, with the system's own refusals (no permission, an
// append-only or immutable file, a link the system will not follow). The
// file that open reached is then replaced in its own folder, opened once:
// the hidden file is created, checked, renamed and removed there with
// openat, fstatat, renameat and unlinkat, so that a folder moved away or a
// name taken over by another run mid-way can neither be written into nor
// removed by mistake. A replacement must keep the old file's owner, group,
// permission bits, ACL and extended attributes; where it cannot, or where
// the rename is refused, the file is written in place instead, as editors
// do. The cleanup after a signal runs in a signal handler, so it is held
// back by blocking the signals, and it uses only calls that are safe there.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if QUIB_HAVE_SYS_RANDOM_H
#include <sys/random.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "platform.hpp"
#include "posix/common.hpp"
#include "posix/system.hpp"

namespace quib {
namespace {

using posix::folderOf;
using posix::nameOf;
using posix::streamFor;

// Everything the commit, the cleanup and the signal handler need to know
// about the output, changed only while the cleanup is held.
struct Destination {
    int folder = -1;                 // the folder of the file <vms> leads to
    std::string name;                // that file's own name in it
    int existing = -1;               // the file itself, open for writing, not emptied
    int written = -1;                // the hidden file, open for reading it back
    char hidden[NAME_MAX + 1] = {};  // the hidden file's name; empty when there is none
    dev_t device = 0;                // and the file written, which the name must still name
    ino_t inode = 0;
};
Destination destination;

sigset_t maskBeforeHold{};

// Folders are opened only to work in them. O_PATH (Linux) and O_SEARCH
// (POSIX 2008) need only search permission, as a plain open of a name in
// the folder does; elsewhere a folder must be readable too.
#if defined(O_PATH)
constexpr int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The standard descriptors that were closed when the program started; each
// now holds /dev/null, which is no place to deliver a picture to.
unsigned closedAtStart = 0;

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

void closeIfOpen(int& fd) noexcept {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Whether the hidden name still names the file this run created: another
// run aimed at that very name may have put its own file there.
bool hiddenIsOurs() noexcept {
    struct stat now {};
    return destination.hidden[0] != '\0' &&
           fstatat(destination.folder, destination.hidden, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == destination.device && now.st_ino == destination.inode;
}

// The descriptor a link's text names, whether or not /proc is mounted
// (/proc/self/fd/1, /dev/fd/1, /dev/stdout); -1 for any other text.
int descriptorNamed(std::string_view text) {
    for (const std::string_view folder : {"/proc/self/fd/", "/proc/thread-self/fd/", "/dev/fd/"}) {
        if (text.substr(0, folder.size()) == folder) {
            const std::string_view digits = text.substr(folder.size());
            int number = digits.empty() || digits.size() > 8 ? -1 : 0;
            for (std::size_t at = 0; number >= 0 && at < digits.size(); ++at) {
                const bool digit = digits[at] >= '0' && digits[at] <= '9';
                number = digit ? number * 10 + (digits[at] - '0') : -1;
            }
            return number;
        }
    }
    constexpr std::string_view standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    for (int fd = 0; fd < 3; ++fd) {
        if (text == standard[fd]) {
            return fd;
        }
    }
    return -1;
}

// Whether destination.folder is this program's own folder of descriptor
// links. Known by identity, this needs nothing of the system: /dev/fd is a
// link to /proc/self/fd on Linux, and a folder of its own on macOS and the
// BSDs.
bool ownDescriptorFolder() {
    struct stat folder {};
    if (fstat(destination.folder, &folder) != 0) {
        return false;
    }
    for (const char* own : {"/dev/fd", "/proc/self/fd", "/proc/thread-self/fd"}) {
        struct stat mine {};
        if (stat(own, &mine) == 0 && sameFile(mine, folder)) {
            return true;
        }
    }
    return false;
}

// The descriptor of this program that (destination.folder,
// destination.name) names, as /proc/self/fd/1 names 1; -1 for another
// process's, or any other entry of /proc.
int ownDescriptor() {
    return ownDescriptorFolder() ? descriptorNamed("/dev/fd/" + destination.name) : -1;
}

// Where a name leads: the folder and name at the end of its chain of
// symbolic links, each followed relative to its own folder.
struct LinkEnd {
    bool found = false;       // false: a loop, or a folder on the way cannot be opened
    bool descriptor = false;  // the chain names an open descriptor: written through
    int number = -1;          // which of the program's own, where that is known
};

// Follows the links from (destination.folder, destination.name), leaving
// the end of the chain there.
LinkEnd followLinks() {
    LinkEnd end;
    for (int hop = 0; hop < 40; ++hop) {  // as many as the kernel follows
        if (posix::isDescriptorFolder(destination.folder) || ownDescriptorFolder()) {
            end.descriptor = true;
            end.found = true;
            end.number = ownDescriptor();
            return end;
        }
        char text[PATH_MAX];
        const ssize_t length =
            readlinkat(destination.folder, destination.name.c_str(), text, sizeof text);
        if (length < 0 || static_cast<std::size_t>(length) == sizeof text) {
            end.found = length < 0;  // not a link, or nothing there: the end
            return end;
        }
        const std::string path(text, static_cast<std::size_t>(length));
        end.number = descriptorNamed(path);
        if (end.number >= 0) {
            end.descriptor = true;
            end.found = true;
            return end;
        }
        const int inner = openat(destination.folder, folderOf(path).c_str(), folderFlags);
        closeIfOpen(destination.folder);
        destination.folder = inner;
        destination.name = nameOf(path);
        if (inner < 0 || destination.name.empty()) {
            return end;
        }
    }
    return end;
}

// The file <vms> leads to, written where it is; a regular one is emptied
// only by start(), once the input is in memory.
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

// Unpredictable bytes for the hidden name, from what the system has: the
// kernel's generator (getrandom, getentropy), else /dev/urandom, else the
// time and the process id, stirred. The name is created exclusively, and
// another is tried when it is taken, so it needs no cryptographic strength.
void randomBytes(unsigned char* bytes, std::size_t count) {
#if QUIB_HAVE_GETRANDOM
    if (getrandom(bytes, count, GRND_NONBLOCK) == static_cast<ssize_t>(count)) {
        return;
    }
#elif QUIB_HAVE_GETENTROPY
    if (getentropy(bytes, count) == 0) {
        return;
    }
#endif
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ::read(fd, bytes, count) == static_cast<ssize_t>(count);
    if (fd >= 0) {
        close(fd);
    }
    if (read) {
        return;
    }
    static std::uint64_t state = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state ^= static_cast<std::uint64_t>(now.tv_sec) * 1000000007U ^
             static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(getpid()) << 32U;
    for (std::size_t i = 0; i < count; ++i) {
        state += 0x9E3779B97F4A7C15U;  // splitmix64
        std::uint64_t mixed = (state ^ (state >> 30U)) * 0xBF58476D1CE4E5B9U;
        mixed = (mixed ^ (mixed >> 27U)) * 0x94D049BB133111EBU;
        bytes[i] = static_cast<unsigned char>(mixed ^ (mixed >> 31U));
    }
}

// Creates the hidden file exclusively: an existing file of that name, or a
// link planted in its place, is never opened; another name is tried. The
// file's identity is taken at once, for every later check of its name, and
// it stays open for reading, should it have to be copied in place.
int createHidden(mode_t mode, int& error) {
    const long limit = fpathconf(destination.folder, _PC_NAME_MAX);
    const std::size_t room =
        limit > 0 && limit < NAME_MAX ? static_cast<std::size_t>(limit) : std::size_t{NAME_MAX};
    const std::string stem = detail::hiddenStem(destination.name, room);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        unsigned char drawn[detail::hiddenSuffixLength] = {};
        randomBytes(drawn, sizeof drawn);
        for (const unsigned char byte : drawn) {  // 256 is not a multiple of 62: a slight bias
            name += detail::hiddenSuffixLetters[byte % detail::hiddenSuffixLetters.size()];
        }
        platform::holdCleanup();
        int fd = openat(destination.folder, name.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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

// The output goes to the hidden file through a descriptor of its own.
Placement hiddenFrom(int fd, File& file) {
    destination.written = fd;
    file = streamFor(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return file ? Placement::hidden : Placement::none;
}

// A new file: what a plain create with mode 0666 gives, the umask or the
// folder's default ACL applied. A folder that keeps its entries could never
// lose a hidden file after a failure: there the new file is created
// directly, and only once the input is in memory, so a failed run leaves
// nothing.
Placement newFile(File& file) {
    if (posix::keepsEntries(destination.folder)) {
        return faccessat(destination.folder, ".", W_OK | X_OK, AT_EACCESS) == 0
                   ? Placement::inPlaceFile
                   : Placement::none;
    }
    int error = 0;
    const int fd = createHidden(0666, error);
    return fd >= 0 ? hiddenFrom(fd, file) : Placement::none;
}

// Whether the new file now has everything the old one had: its owner and
// group (only root may give a file away; a member of the group may give it
// that group), its ACL and extended attributes, and its permission bits.
// A file that cannot even have the group is written in place at once.
bool keepsAll(const struct stat& old, int fd) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
        fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        return false;
    }
    struct stat now {};
    return posix::copyExtendedAttributes(destination.existing, fd) &&
           fchmod(fd, old.st_mode & 07777) == 0 && fstat(fd, &now) == 0 &&
           now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

// The existing file is replaced by a hidden one made private first, so that
// no one else can open it while it is written. Where the folder takes no
// new file or keeps its entries, or the new file cannot have everything the
// old one had (the system has no calls to copy attributes with), the old
// one is written in place.
Placement replacement(const struct stat& old, File& file) {
    if (!posix::copiesAttributes() || posix::keepsEntries(destination.folder)) {
        return inPlace(file);
    }
    int error = 0;
    const int fd = createHidden(0600, error);
    if (fd < 0) {
        // A read-only or protected folder; a full disk or a missing folder
        // is another matter.
        const bool refused = error == EACCES || error == EPERM || error == EROFS;
        return refused ? inPlace(file) : Placement::none;
    }
    if (!keepsAll(old, fd)) {
        platform::removeHidden();
        close(fd);
        return inPlace(file);
    }
    return hiddenFrom(fd, file);
}

// Nothing, where the name changed while it was looked at: another run put
// its file in place between the open and the look at the end of the chain.
std::optional<Placement> placeOutput(const std::string& typedName, int typedFolder, File& file) {
    const LinkEnd end = followLinks();
    if (!end.found) {
        return Placement::none;
    }
    // Opened as a plain open for writing would open it, emptying nothing.
    destination.existing = openat(typedFolder, typedName.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (destination.existing < 0) {
        struct stat none {};
        if (errno != ENOENT || end.descriptor) {
            return Placement::none;
        }
        const bool nothingThere = fstatat(destination.folder, destination.name.c_str(), &none,
                                          AT_SYMLINK_NOFOLLOW) != 0 &&
                                  errno == ENOENT;
        return nothingThere ? std::optional(newFile(file)) : std::nullopt;
    }
    if (end.descriptor) {
        const bool closed =
            end.number >= 0 && end.number < 3 && (closedAtStart >> end.number & 1U) != 0;
        return closed ? Placement::none : inPlace(file);
    }
    struct stat opened {};
    struct stat entry {};
    if (fstat(destination.existing, &opened) != 0) {
        return Placement::none;
    }
    if (!S_ISREG(opened.st_mode)) {
        return inPlace(file);
    }
    // The end of the chain must be the very file the open reached.
    if (fstatat(destination.folder, destination.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(entry, opened)) {
        return std::nullopt;
    }
    return replacement(opened, file);
}

// Where the rename is refused although nothing predicted it (a file mounted
// on its own, a sticky folder in a user namespace, a security module), the
// finished file is copied in place, as a plain write would deliver it.
bool refusedRename(int error) {
    return error == EPERM || error == EACCES || error == EBUSY || error == EXDEV;
}

bool copyInPlace() {
    int to = destination.existing;
    destination.existing = -1;
    if (to < 0) {
        to = openat(destination.folder, destination.name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    }
    bool done = to >= 0 && ftruncate(to, 0) == 0;
    char chunk[1U << 16U];
    for (off_t at = 0; done;) {
        const ssize_t got = pread(destination.written, chunk, sizeof chunk, at);
        if (got <= 0) {
            done = got == 0;
            break;
        }
        done = write(to, chunk, static_cast<std::size_t>(got)) == got;
        at += got;
    }
    done = to >= 0 && close(to) == 0 && done;
    return done;
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
    const std::string typed = target;
    const std::string name = nameOf(typed);
    if (name.empty()) {
        return Placement::none;
    }
    const int folder = open(folderOf(typed).c_str(), folderFlags);
    if (folder < 0) {
        return Placement::none;
    }
    std::optional<Placement> placement;
    for (int attempt = 0; attempt < 100 && !placement; ++attempt) {
        closeIfOpen(destination.existing);
        closeIfOpen(destination.folder);
        destination.folder = fcntl(folder, F_DUPFD_CLOEXEC, 0);
        destination.name = name;
        placement = destination.folder < 0 ? Placement::none : placeOutput(name, folder, file);
    }
    close(folder);
    return placement.value_or(Placement::none);
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
    if (!hiddenIsOurs()) {
        return false;
    }
    if (renameat(destination.folder, destination.hidden, destination.folder,
                 destination.name.c_str()) != 0) {
        if (!refusedRename(errno) || !copyInPlace()) {
            return false;
        }
        removeHidden();
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
    closeIfOpen(destination.written);
    closeIfOpen(destination.existing);
    closeIfOpen(destination.folder);
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
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            if (open("/dev/null", O_RDWR) != fd) {
                return false;
            }
            closedAtStart |= 1U << static_cast<unsigned>(fd);
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

// The replacement of <vms> on POSIX systems. Where something is at <vms>
// (a file, a FIFO, a device, a link, dangling or not), it is opened first as
// a plain fopen(vms, "wb") opens it, but emptying nothing: for writing,
// with O_CREAT, through its symbolic links. The kernel so makes every
// refusal a plain open meets (no permission, an append-only or immutable
// file, a loop, a link or a file that protected_symlinks, protected_regular
// or protected_fifos keeps from the caller), and creates a dangling link's
// target exactly where a plain open would. The file that open returned is
// then replaced in its own folder, opened once: the hidden file is created,
// checked, renamed and removed there with openat, fstatat, renameat and
// unlinkat, so that a folder moved away or a name taken over by another run
// mid-way can neither be written into nor removed by mistake. Where nothing
// is at <vms>, the hidden file is made beside it and renamed over the name:
// a link planted there meanwhile is replaced, never followed.
//
// A replacement must keep the old file's owner, group, permission bits,
// ACL, extended attributes and flags, as they are at the commit; where it
// cannot, or where the rename is refused, the file is written in place
// instead, as editors do. The cleanup after a signal runs in a signal
// handler (signals.cpp), so it is held back while the leftovers change,
// and it uses only calls that are safe there.
//
// WASI runs this same file: what it lacks (signals, owners, modes, unnamed
// files, dup) is answered by wasi.cpp, and a replacement there keeps only
// the content, which is all a WASI file has.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if QUIB_HAVE_SYS_RANDOM_H
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform.hpp"
#include "posix/common.hpp"
#include "posix/process.hpp"
#include "posix/system.hpp"

namespace quib {
namespace {

using posix::folderOf;
using posix::nameOf;
using posix::streamFor;

// A descriptor, closed with its owner.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    [[nodiscard]] int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A file by identity, which a name must still lead to before it is acted on.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

Identity identityOf(const struct stat& status) {
    return {status.st_dev, status.st_ino, true};
}

bool sameFile(const Identity& one, const struct stat& other) {
    return one.known && one.device == other.st_dev && one.inode == other.st_ino;
}

// What the signal handler must see, and all it sees: the folder of the file
// <vms> leads to, the hidden file by its name there and the identity of the
// file this run created under it, and the file the open of <vms> itself
// created (a dangling link's target), which goes too while it is empty.
// Changed only by record and forget, with the cleanup held.
struct Named {
    char name[NAME_MAX + 1] = {};  // empty when there is none
    Identity file;
};
struct Leftovers {
    int folder = -1;
    Named hidden;
    Named created;
};
Leftovers leftovers;

using Leftover = Named Leftovers::*;

// Tells the handler of a file this run made in the folder. The handlers
// must be in place already: where a hold blocks nothing, the file would
// otherwise be left behind by a signal between its creation and here.
void record(Leftover which, int folder, std::string_view name, const Identity& file) noexcept {
    platform::holdCleanup();
    leftovers.folder = folder;
    Named& slot = leftovers.*which;
    slot.name[name.copy(slot.name, NAME_MAX)] = '\0';
    slot.file = file;
    platform::releaseCleanup();
}

// The handler leaves that file alone from here on: it is gone, moved, or
// holds the new bytes.
void forget(Leftover which) noexcept {
    platform::holdCleanup();
    (leftovers.*which).name[0] = '\0';
    platform::releaseCleanup();
}

}  // namespace

// What a run keeps between the opening of its output and the end: the
// file <vms> leads to, and the new file written to replace it.
struct platform::Output {
    Fd folder;             // the folder of the file <vms> leads to
    std::string name;      // that file's own name in it
    Fd existing;           // the file itself, open for writing, not emptied
    Fd written;            // the new file, open for reading it back
    bool unnamed = false;  // which has no name until the commit
};

namespace {

using platform::Output;

// Folders are opened only to work in them. O_PATH (Linux) and O_SEARCH
// (POSIX 2008, WASI) need only search permission, as a plain open of a name
// in the folder does; elsewhere a folder must be readable too.
#if defined(O_PATH)
constexpr int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// As many links as the kernel follows in one path.
constexpr int maxLinks = 40;

// Whether the named file is still the one this run made: another run aimed
// at that very name may have put its own file there.
bool stillOurs(const Named& made, struct stat& now) noexcept {
    return made.name[0] != '\0' &&
           fstatat(leftovers.folder, made.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(made.file, now);
}

// Removes the hidden file, provided its name still names the file this run
// made; false when it is ours and cannot be removed. Safe in a signal
// handler.
bool unlinkHidden() noexcept {
    struct stat now {};
    return !stillOurs(leftovers.hidden, now) ||
           unlinkat(leftovers.folder, leftovers.hidden.name, 0) == 0;
}

// The file the open created goes too, while nothing has been written to it.
void unlinkCreated() noexcept {
    struct stat now {};
    if (stillOurs(leftovers.created, now) && S_ISREG(now.st_mode) && now.st_size == 0) {
        unlinkat(leftovers.folder, leftovers.created.name, 0);
    }
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

// Whether the folder is this program's own folder of descriptor links.
// Known by identity, this needs nothing of the system: /dev/fd is a link
// to /proc/self/fd on Linux, and a folder of its own on macOS and the BSDs.
bool ownDescriptorFolder(int folder) {
    struct stat status {};
    if (fstat(folder, &status) != 0) {
        return false;
    }
    for (const char* own : {"/dev/fd", "/proc/self/fd", "/proc/thread-self/fd"}) {
        struct stat mine {};
        if (stat(own, &mine) == 0 && sameFile(identityOf(mine), status)) {
            return true;
        }
    }
    return false;
}

// Where a name leads: the folder and name at the end of its chain of
// symbolic links, each followed relative to its own folder.
struct LinkEnd {
    Fd elsewhere;     // the folder a link led to, open while it is not the typed one
    int folder = -1;  // the folder of the end; -1 where one on the way cannot be opened
    std::string name;
    bool found = false;       // false: too many links, or a folder on the way is missing
    bool descriptor = false;  // the chain names an open descriptor: written through
    int number = -1;          // which of the program's own, where that is known
};

// isLink: whether the name itself is a link, as a look at it just found.
LinkEnd followLinks(int folder, const std::string& name, bool isLink) {
    LinkEnd end{Fd(), folder, name};
    for (int links = 0; end.folder >= 0; ++links) {
        const std::optional<bool> known = posix::isDescriptorFolder(end.folder);
        if (known ? *known : ownDescriptorFolder(end.folder)) {
            end.descriptor = true;
            end.found = true;
            const bool own = ownDescriptorFolder(end.folder);
            end.number = own ? descriptorNamed("/dev/fd/" + end.name) : -1;
            return end;
        }
        if (!isLink) {
            end.found = true;
            return end;
        }
        char text[PATH_MAX];
        const ssize_t length = readlinkat(end.folder, end.name.c_str(), text, sizeof text);
        if (length < 0 || static_cast<std::size_t>(length) == sizeof text || links == maxLinks) {
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
        end.elsewhere.reset(openat(end.folder, folderOf(path).c_str(), folderFlags));
        end.folder = end.elsewhere.get();
        end.name = nameOf(path);
        if (end.name.empty()) {
            end.elsewhere.reset();
            end.folder = -1;
        }
        isLink = true;  // what the link names is looked at in its turn
    }
    return end;
}

// Whether the new file is unnamed; the holds must know it too.
void markUnnamed(Output& output, bool unnamed) noexcept {
    output.unnamed = unnamed;
    posix::blockWhileHeld(unnamed);
}

// Where the output goes: the folder (the typed one, or the one a link led
// to) and the name in it.
void settleIn(Output& output, Fd folder, std::string name) noexcept {
    output.folder = std::move(folder);
    output.name = std::move(name);
}

// The file <vms> leads to, written where it is; a regular one is emptied
// only by start(), once the input is in memory.
Placement inPlace(Output& output, File& file) {
    struct stat opened {};
    const bool regular = fstat(output.existing.get(), &opened) == 0 && S_ISREG(opened.st_mode);
    file = streamFor(output.existing.release());
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
    const Fd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (fd && ::read(fd.get(), bytes, count) == static_cast<ssize_t>(count)) {
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

// ".out.vms." and six random characters, from the hidden name's stem.
std::string hiddenName(const std::string& stem) {
    std::string name = stem;
    unsigned char drawn[detail::hiddenSuffixLength] = {};
    randomBytes(drawn, sizeof drawn);
    for (const unsigned char byte : drawn) {  // 256 is not a multiple of 62: a slight bias
        name += detail::hiddenSuffixLetters[byte % detail::hiddenSuffixLetters.size()];
    }
    return name;
}

// The stem of a hidden name beside the output's name, cut to fit the folder.
std::string hiddenStemHere(const Output& output) {
    const long limit = fpathconf(output.folder.get(), _PC_NAME_MAX);
    const std::size_t room =
        limit > 0 && limit < NAME_MAX ? static_cast<std::size_t>(limit) : std::size_t{NAME_MAX};
    return detail::hiddenStem(output.name, room);
}

// Creates the hidden file exclusively, in the output's folder beside its
// name: an existing file of that name, or a link planted in its place, is
// never opened; another name is tried. The file's identity is taken at
// once, for every later check of its name, and it stays open for reading,
// should it have to be copied in place.
Fd createHidden(const Output& output, mode_t mode, int& error) {
    const int folder = output.folder.get();
    const std::string stem = hiddenStemHere(output);
    posix::installHandlers();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = hiddenName(stem);
        platform::holdCleanup();
        Fd fd(
            openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        error = errno;
        struct stat created {};
        if (fd && fstat(fd.get(), &created) == 0) {
            record(&Leftovers::hidden, folder, name, identityOf(created));
        } else if (fd) {  // a file that could not be told apart later
            unlinkat(folder, name.c_str(), 0);
            fd.reset();
            error = EIO;
        }
        platform::releaseCleanup();
        if (fd || error != EEXIST) {
            return fd;
        }
    }
    return Fd();
}

// The new file given up before it is written, or an unnamed one whose move
// failed: its name, if it has one, goes.
void dropHidden(Output& output) noexcept {
    unlinkHidden();
    forget(&Leftovers::hidden);
    markUnnamed(output, false);
}

// The new file: unnamed where the file system has such files, so that a run
// killed at any moment leaves nothing; else the named hidden file.
Fd createNew(Output& output, mode_t mode, int& error) {
    Fd fd(posix::openUnnamed(output.folder.get(), mode));
    error = errno;
    markUnnamed(output, static_cast<bool>(fd));
    return fd || error != EOPNOTSUPP ? std::move(fd) : createHidden(output, mode, error);
}

// The output goes to the new file through a descriptor of its own.
Placement hiddenFrom(Output& output, Fd fd, File& file) {
    const char* const name = output.unnamed ? "" : leftovers.hidden.name;
    file = streamFor(posix::secondWriter(fd.get(), output.folder.get(), name));
    output.written = std::move(fd);
    return file ? Placement::hidden : Placement::none;
}

// A new file: what a plain create with mode 0666 gives, the umask or the
// folder's default ACL applied. A folder that keeps its entries could never
// lose a hidden file after a failure: there the new file is created
// directly, and only once the input is in memory, so a failed run leaves
// nothing.
Placement newFile(Output& output, File& file) {
    if (posix::keepsEntries(output.folder.get())) {
        return faccessat(output.folder.get(), ".", W_OK | X_OK, AT_EACCESS) == 0
                   ? Placement::inPlaceFile
                   : Placement::none;
    }
    int error = 0;
    Fd fd = createNew(output, 0666, error);
    return fd ? hiddenFrom(output, std::move(fd), file) : Placement::none;
}

// Whether the file open as `to` now has everything the one open as `from`
// has: its owner and group (only root may give a file away; a member of the
// group may give it that group), its ACL, extended attributes and flags,
// and its permission bits, set last: a change of owner clears the setuid
// and setgid bits, and so does a write by a process that may not keep them.
// old is what `from` is now. Each is given only where it differs.
bool keepsAll(const struct stat& old, int from, int to) {
    struct stat now {};
    if (fstat(to, &now) != 0) {
        return false;
    }
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && !posix::giveOwner(to, old)) {
        return false;
    }
    constexpr mode_t modeBits = 07777;
    if (!posix::copyExtendedAttributes(from, to) || !posix::copyFlags(from, to) ||
        fstat(to, &now) != 0) {
        return false;
    }
    if ((now.st_mode & modeBits) != (old.st_mode & modeBits) &&
        (!posix::giveMode(to, old.st_mode & modeBits) || fstat(to, &now) != 0)) {
        return false;
    }
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & modeBits) == (old.st_mode & modeBits);
}

// The same, with the old file as it is at this moment.
bool keepsAllNow(int from, int to) {
    struct stat old {};
    return fstat(from, &old) == 0 && keepsAll(old, from, to);
}

// The existing file is replaced by a hidden one made private first, so that
// no one else can open it while it is written. Where the folder takes no
// new file or keeps its entries, or the new file cannot have everything the
// old one had (the system has no calls to copy attributes with), the old
// one is written in place.
Placement replacement(Output& output, const struct stat& old, File& file) {
    if (!posix::copiesAttributes() || posix::keepsEntries(output.folder.get())) {
        return inPlace(output, file);
    }
    int error = 0;
    Fd fd = createNew(output, 0600, error);
    if (!fd) {
        // A read-only or protected folder; a full disk or a missing folder
        // is another matter.
        const bool refused = error == EACCES || error == EPERM || error == EROFS;
        return refused ? inPlace(output, file) : Placement::none;
    }
    if (!keepsAll(old, output.existing.get(), fd.get())) {
        dropHidden(output);
        return inPlace(output, file);
    }
    return hiddenFrom(output, std::move(fd), file);
}

// What one look at <vms> found: where the output goes, or that the chain of
// links changed between the look and the open, and must be looked at again.
struct Look {
    Placement placement = Placement::none;
    bool again = false;
    Identity made;  // what the open may have created, for the next look
};

// The file at the end of the chain must be the very file the open reached.
// Where the end held nothing just before the open, the open created it: a
// failed run removes it again. typed is the folder of the typed name, taken
// over where the end is in it.
Look placeExisting(Output& output, Fd& typed, LinkEnd end, bool endWasThere, Identity mayHaveMade,
                   File& file) {
    Look look;
    struct stat opened {};
    if (fstat(output.existing.get(), &opened) != 0) {
        return look;
    }
    if (end.descriptor) {
        const bool closed = end.number >= 0 && end.number < 3 && posix::closedAtStart(end.number);
        look.placement = closed ? Placement::none : inPlace(output, file);
        return look;
    }
    if (!S_ISREG(opened.st_mode)) {
        look.placement = inPlace(output, file);
        return look;
    }
    struct stat entry {};
    if (fstatat(end.folder, end.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(identityOf(opened), entry)) {
        look.again = true;
        look.made = endWasThere ? mayHaveMade : identityOf(opened);
        return look;
    }
    Fd folder = end.elsewhere ? std::move(end.elsewhere) : std::move(typed);
    settleIn(output, std::move(folder), std::move(end.name));
    if (!endWasThere || sameFile(mayHaveMade, opened)) {
        posix::installHandlers();
        record(&Leftovers::created, output.folder.get(), output.name, identityOf(opened));
    }
    look.placement = replacement(output, opened, file);
    return look;
}

// One look at the typed name in its folder, which it takes over once the
// output settles there.
Look placeOutput(Output& output, Fd& folder, const std::string& name, Identity mayHaveMade,
                 File& file) {
    Look look;
    struct stat there {};
    if (fstatat(folder.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            settleIn(output, std::move(folder), name);
            look.placement = newFile(output, file);
        }
        return look;
    }
    const bool isLink = S_ISLNK(there.st_mode);
    LinkEnd end = followLinks(folder.get(), name, isLink);
    if (!end.found) {
        return look;
    }
    struct stat before {};
    const bool endWasThere =
        !isLink || end.descriptor ||
        fstatat(end.folder, end.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0;
    // Opened as fopen(vms, "wb") would open it, emptying nothing.
    output.existing.reset(
        openat(folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
    if (!output.existing) {
        return look;
    }
    return placeExisting(output, folder, std::move(end), endWasThere, mayHaveMade, file);
}

// Where the rename is refused although nothing predicted it (a file mounted
// on its own, a sticky folder in a user namespace, a security module), the
// finished file is copied in place, as a plain write would deliver it.
bool refusedRename(int error) {
    return error == EPERM || error == EACCES || error == EBUSY || error == EXDEV;
}

bool copyBytes(int from, int to, off_t length) {
    char chunk[1U << 16U];
    for (off_t at = 0; at < length;) {
        const ssize_t got = pread(from, chunk, sizeof chunk, at);
        if (got <= 0 || pwrite(to, chunk, static_cast<std::size_t>(got), at) != got) {
            return false;
        }
        at += got;
    }
    return ftruncate(to, length) == 0;
}

// Gives the unnamed file a hidden name beside the target; another is tried
// where a name is taken. Where the system cannot name it (no
// CAP_DAC_READ_SEARCH and no /proc), its bytes are copied into a named
// hidden file, which is then the one moved, as on systems without unnamed
// files. Called with the signals held back.
bool nameWritten(Output& output) {
    const std::string stem = hiddenStemHere(output);
    const int folder = output.folder.get();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = hiddenName(stem);
        struct stat linked {};
        if (posix::nameUnnamed(output.written.get(), folder, name.c_str()) &&
            fstat(output.written.get(), &linked) == 0) {
            record(&Leftovers::hidden, folder, name, identityOf(linked));
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    struct stat written {};
    int error = 0;
    Fd copy = createHidden(output, output.existing ? 0600 : 0666, error);
    if (!copy || fstat(output.written.get(), &written) != 0 ||
        !copyBytes(output.written.get(), copy.get(), written.st_size)) {
        return false;
    }
    output.written = std::move(copy);
    markUnnamed(output, false);
    return !output.existing || keepsAllNow(output.existing.get(), output.written.get());
}

// The finished hidden file copied over the file <vms> leads to. The room
// for the new bytes is held first, while the old file still holds all of
// its own: a disk too full for both keeps the old file whole. Only then is
// the hidden file removed (its bytes stay readable through output.written)
// and the old file overwritten. False, with the new bytes in place, when
// the hidden file could not be removed: an append-only folder keeps it.
bool copyInPlace(Output& output) {
    struct stat finished {};
    if (fstat(output.written.get(), &finished) != 0) {
        return false;
    }
    const off_t length = finished.st_size;
    Fd to = std::move(output.existing);
    bool createdHere = false;
    if (!to) {
        to.reset(openat(output.folder.get(), output.name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
        createdHere = static_cast<bool>(to);
    }
    const posix::Room room = to ? posix::holdRoom(to.get(), length) : posix::Room::refused;
    if (room == posix::Room::refused ||
        (room == posix::Room::unknown && !posix::roomFor(to.get(), length))) {
        if (createdHere) {
            unlinkat(output.folder.get(), output.name.c_str(), 0);
        }
        return false;
    }
    forget(&Leftovers::created);  // it holds the new bytes from here on
    const bool removed = unlinkHidden();
    forget(&Leftovers::hidden);
    const bool copied =
        copyBytes(output.written.get(), to.get(), length) && close(to.release()) == 0;
    if (!copied && createdHere) {
        unlinkat(output.folder.get(), output.name.c_str(), 0);  // a new file, cut short
    }
    return copied && removed;
}

// Where <vms> leads, looked at again where another run changed the chain
// of links meanwhile; its next look sees the file it put in place.
Placement openTarget(Output& output, const char* target, File& file) {
    // "folder/" names no file that a plain open could create.
    const std::string typed = target;
    const std::string name = nameOf(typed);
    if (name.empty()) {
        return Placement::none;
    }
    Fd folder(open(folderOf(typed).c_str(), folderFlags));
    if (!folder) {
        return Placement::none;
    }
    Identity mayHaveMade;
    for (int attempt = 0; attempt < 100; ++attempt) {
        output = Output{};
        const Look look = placeOutput(output, folder, name, mayHaveMade, file);
        if (!look.again) {
            return look.placement;
        }
        mayHaveMade = look.made;
    }
    return Placement::none;
}

}  // namespace

namespace platform {

// The state lives as long as the PendingOutput that holds it.
Opened openOutput(const char* target, File& file) {
    Opened opened;
    opened.output.reset(new (std::nothrow) Output);
    if (opened.output) {
        opened.placement = openTarget(*opened.output, target, file);
    }
    return opened;
}

bool startInPlace(Output& output, File& file) {
    if (file) {
        return ftruncate(fileno(file.get()), 0) == 0;
    }
    file = streamFor(openat(output.folder.get(), output.name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
    return static_cast<bool>(file);
}

// The old file's owner, mode, ACL, attributes and flags are read again
// here, just before the rename, and given to the new file once more: a
// change made to the old one while the new one was written is kept, and
// the mode goes last, after every write.
//
// An unnamed file is named only here, under a hidden name, and renamed
// over the target at once, with the signals blocked from the one call to
// the other; a failure removes that name again before they are let through.
bool moveHiddenOver(Output& output) {
    const bool keeps = !output.existing || keepsAllNow(output.existing.get(), output.written.get());
    const int folder = output.folder.get();
    const bool named = keeps && (!output.unnamed || nameWritten(output));
    // Another run aimed at the hidden name may have put its own file there.
    struct stat now {};
    if (named && !stillOurs(leftovers.hidden, now)) {
        return false;
    }
    if (named && renameat(folder, leftovers.hidden.name, folder, output.name.c_str()) == 0) {
        forget(&Leftovers::hidden);
        forget(&Leftovers::created);
        markUnnamed(output, false);
        return true;
    }
    const bool moved = (!named || refusedRename(errno)) && copyInPlace(output);
    if (output.unnamed) {
        dropHidden(output);
    }
    return moved;
}

// Called by the signal handler too, with the cleanup held: both names are
// only read and cleared. (An unnamed file needs no removal: it goes with
// its last descriptor.)
void removeHidden() noexcept {
    unlinkHidden();
    unlinkCreated();
    forget(&Leftovers::hidden);
    forget(&Leftovers::created);
}

void OutputEnd::operator()(Output* state) const noexcept {
    removeHidden();
    delete state;
}

}  // namespace platform
}  // namespace quib

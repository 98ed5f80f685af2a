// The Linux side of the replacement of <vms>: the proc file system's
// descriptor links, the append-only and immutable attributes of a folder,
// extended attributes (ACLs among them), file flags, and fallocate; see
// system.hpp.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "posix/system.hpp"

namespace quib::posix {
namespace {

// The list may grow or a value change between the call that sizes the
// buffer and the one that fills it; a few tries, then the copy gives up.
constexpr int tries = 3;

// File capabilities are a program's, and writing a file drops them: they
// are neither copied nor removed.
bool copied(const std::string& name) {
    return name != "security.capability";
}

// The names of the file's attributes; empty where the file system has
// none, nothing when they cannot be listed. A list that does not fit the
// buffer on the stack is asked for its length, and read again into one
// of that size.
std::optional<std::vector<std::string>> attributeNames(int fd) {
    std::array<char, 1024> small{};
    std::vector<char> large;
    char* list = small.data();
    std::size_t room = small.size();
    for (int attempt = 0; attempt < tries; ++attempt) {
        const ssize_t got = flistxattr(fd, list, room);
        const ssize_t size = got < 0 && errno == ERANGE ? flistxattr(fd, nullptr, 0) : got;
        if (size < 0) {
            return errno == ENOTSUP ? std::optional(std::vector<std::string>{}) : std::nullopt;
        }
        if (got < 0) {
            large.resize(static_cast<std::size_t>(size) + 1);
            list = large.data();
            room = large.size();
        } else {
            std::vector<std::string> names;
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                const std::string name(&list[at]);
                at += name.size() + 1;
                if (copied(name)) {
                    names.push_back(name);
                }
            }
            std::sort(names.begin(), names.end());
            return names;
        }
    }
    return std::nullopt;
}

// One value, exactly the bytes read for it. The buffer is never empty: a
// read of size 0 only asks for the length, and fills nothing.
std::optional<std::vector<char>> attributeValue(int fd, const std::string& name) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        const ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        std::vector<char> value(static_cast<std::size_t>(size) + 1);
        const ssize_t got = fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// glibc declares ioctl's request unsigned long, musl int: it is converted
// to whichever the C library has.
template <typename Request>
int flagsCall(int (*call)(int, Request, ...), int fd, unsigned long request, int& flags) {
    return call(fd, static_cast<Request>(request), &flags);
}
int askFlags(int fd, int& flags) {
    return flagsCall(&ioctl, fd, FS_IOC_GETFLAGS, flags);
}

// The flags an owner may set and a copy keeps. Append-only and immutable
// need a capability and are refused at the open anyway; extents, inline
// data, encryption, verity and the like are the file system's own.
constexpr int ownerFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                           FS_NOATIME_FL | FS_NOTAIL_FL | FS_NOCOMP_FL | FS_NOCOW_FL |
                           FS_DIRSYNC_FL | FS_PROJINHERIT_FL;

// A file system that keeps no flags at all answers these.
bool noFlagsHere(int error) {
    return error == ENOTTY || error == ENOTSUP || error == EOPNOTSUPP || error == EINVAL ||
           error == ENOSYS;
}

// The folder's flags, asked of a descriptor open for reading; false where
// it cannot be opened so (a folder the user may only search).
bool flaggedByIoctl(int folder) {
    const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool flagged =
        fd >= 0 && askFlags(fd, flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
    if (fd >= 0) {
        close(fd);
    }
    return flagged;
}

}  // namespace

// /dev/fd is a link into /proc: the proc file system tells them all.
std::optional<bool> isDescriptorFolder(int folder) {
    struct statfs system {};
    return fstatfs(folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

// statx reads the attributes through any descriptor, a search-only one
// included. C libraries without its wrapper (glibc before 2.28, musl before
// 1.2.5) and kernels without the call (before 4.11) ask the file system
// with the older ioctl instead.
bool keepsEntries(int folder) {
#if QUIB_HAVE_STATX
    struct statx found {};
    if (statx(folder, "", AT_EMPTY_PATH, 0, &found) == 0) {
        return (found.stx_attributes & found.stx_attributes_mask &
                (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
    }
#endif
    return flaggedByIoctl(folder);
}

bool copiesAttributes() {
    return true;
}

bool copyFlags(int from, int to) {
    int old = 0;
    if (askFlags(from, old) != 0 && !noFlagsHere(errno)) {
        return false;
    }
    int now = 0;
    if (askFlags(to, now) != 0) {
        return noFlagsHere(errno) && (old & ownerFlags) == 0;
    }
    int wanted = (now & ~ownerFlags) | (old & ownerFlags);
    if (wanted == now) {
        return true;
    }
    return flagsCall(&ioctl, to, FS_IOC_SETFLAGS, wanted) == 0 && askFlags(to, now) == 0 &&
           (now & ownerFlags) == (old & ownerFlags);
}

// Without O_EXCL, so that it can be linked. Kernels and file systems that
// have no unnamed files answer EISDIR (before 3.11) or EOPNOTSUPP.
int openUnnamed(int folder, mode_t mode) {
#if defined(O_TMPFILE)
    const int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0 && errno == EISDIR) {
        errno = EOPNOTSUPP;
    }
    return fd;
#else
    static_cast<void>(folder);
    static_cast<void>(mode);
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH, which root in a user namespace
// lacks; the descriptor's link in /proc needs only /proc.
bool nameUnnamed(int fd, int folder, const char* name) {
    if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
        return true;
    }
    if (errno != ENOENT && errno != EPERM) {
        return false;
    }
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, link.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0;
}

Room holdRoom(int fd, long long length) {
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0) {
        return Room::held;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS ? Room::unknown : Room::refused;
}

bool copyExtendedAttributes(int from, int to) {
    const auto wanted = attributeNames(from);
    const auto present = attributeNames(to);
    if (!wanted || !present) {
        return false;
    }
    for (const std::string& name : *present) {
        if (!std::binary_search(wanted->begin(), wanted->end(), name) &&
            fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    for (const std::string& name : *wanted) {
        const auto value = attributeValue(from, name);
        if (!value) {
            return false;
        }
        if (attributeValue(to, name) != value &&
            fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace quib::posix

// The Linux side of the replacement of <vms>; see linux.hpp.
#include "posix/linux.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quib::posix {
namespace {

// A descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

bool hasAttribute(int folder, const char* name, int flags, std::uint64_t attributes) {
    struct statx found {};
    return statx(folder, name, flags, 0, &found) == 0 &&
           (found.stx_attributes & found.stx_attributes_mask & attributes) != 0;
}

// The names of the attributes at path, each ending in a zero byte; empty
// when there are none or they cannot be read.
std::vector<char> attributeNames(const char* path, int fd) {
    for (int attempt = 0; attempt < 3; ++attempt) {  // the list may grow between the calls
        const ssize_t size = fd >= 0 ? flistxattr(fd, nullptr, 0) : listxattr(path, nullptr, 0);
        if (size <= 0) {
            return {};
        }
        std::vector<char> names(static_cast<std::size_t>(size));
        const ssize_t got = fd >= 0 ? flistxattr(fd, names.data(), names.size())
                                    : listxattr(path, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return names;
        }
    }
    return {};
}

std::vector<std::string> split(const std::vector<char>& names) {
    std::vector<std::string> list;
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(&names[at]);
        at += name.size() + 1;
        // File capabilities are a program's, and writing a file drops them.
        if (name != "security.capability") {
            list.push_back(name);
        }
    }
    return list;
}

}  // namespace

bool isDescriptorFolder(int folder) {
    struct statfs system {};
    return fstatfs(folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

bool keepsEntries(int folder) {
    return hasAttribute(folder, "", AT_EMPTY_PATH, STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
}

bool isMountPoint(int folder, const char* name, const struct stat& found) {
    struct stat parent {};
    if (fstat(folder, &parent) != 0 || parent.st_dev != found.st_dev) {
        return true;
    }
    // A file bound from the same file system keeps its device number; only
    // the mount's own number tells it apart.
    struct statx entry {};
    struct statx around {};
    return statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &entry) == 0 &&
           statx(folder, "", AT_EMPTY_PATH, STATX_MNT_ID, &around) == 0 &&
           (entry.stx_mask & around.stx_mask & STATX_MNT_ID) != 0 &&
           entry.stx_mnt_id != around.stx_mnt_id;
}

void copyExtendedAttributes(int folder, const char* name, int to) {
    // Read through the descriptor's own link: the file need not be readable,
    // and its name may not be reachable from here as a path.
    const Descriptor from(openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (from.get() < 0) {
        return;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(from.get());
    const std::vector<std::string> kept = split(attributeNames(path.c_str(), -1));
    for (const std::string& attribute : split(attributeNames(nullptr, to))) {
        bool wanted = false;
        for (const std::string& other : kept) {
            wanted = wanted || other == attribute;
        }
        if (!wanted) {
            static_cast<void>(fremovexattr(to, attribute.c_str()));
        }
    }
    std::vector<char> value;
    for (const std::string& attribute : kept) {
        const ssize_t size = getxattr(path.c_str(), attribute.c_str(), nullptr, 0);
        value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        const ssize_t got = getxattr(path.c_str(), attribute.c_str(), value.data(), value.size());
        if (got >= 0) {
            static_cast<void>(
                fsetxattr(to, attribute.c_str(), value.data(), static_cast<std::size_t>(got), 0));
        }
    }
}

}  // namespace quib::posix

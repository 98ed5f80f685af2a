// The Linux side of the replacement of <vms>; see linux.hpp.
#include "posix/linux.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

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
// none, nothing when they cannot be listed.
std::optional<std::vector<std::string>> attributeNames(int fd) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP ? std::optional(std::vector<std::string>{}) : std::nullopt;
        }
        std::vector<char> list(static_cast<std::size_t>(size) + 1);
        const ssize_t got = flistxattr(fd, list.data(), list.size());
        if (got < 0 && errno != ERANGE) {
            return std::nullopt;
        }
        if (got >= 0) {
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

}  // namespace

bool isDescriptorFolder(int folder) {
    struct statfs system {};
    return fstatfs(folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

bool keepsEntries(int folder) {
    struct statx found {};
    return statx(folder, "", AT_EMPTY_PATH, 0, &found) == 0 &&
           (found.stx_attributes & found.stx_attributes_mask &
            (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
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

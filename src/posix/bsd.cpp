// The macOS and FreeBSD side of the replacement of <vms>; see system.hpp.
// Both keep a folder's append-only and immutable flags in st_flags and mount
// descriptor links as the fdesc file system; their extended attributes and
// ACLs have calls of each system's own.
// FreeBSD's headers want these two before the others.
// clang-format off
#include <sys/param.h>
#include <sys/types.h>
// clang-format on
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__) && QUIB_HAVE_SYS_XATTR_H
#include <sys/xattr.h>
#elif defined(__APPLE__)
// Some SDKs lack the header (Zig's); the calls are libSystem's, declared as
// in the header Apple ships.
extern "C" {
ssize_t flistxattr(int fd, char* names, size_t size, int options);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size, u_int32_t position,
                  int options);
int fsetxattr(int fd, const char* name, const void* value, size_t size, u_int32_t position,
              int options);
int fremovexattr(int fd, const char* name, int options);
}
#else
#include <sys/extattr.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "posix/system.hpp"

namespace quib::posix {
namespace {

// The list may grow or a value change between the call that sizes the
// buffer and the one that fills it; a few tries, then the copy gives up.
constexpr int tries = 3;

// An attribute: its namespace (FreeBSD's user or system; 0 on macOS) and
// its name.
using Name = std::pair<int, std::string>;

#if defined(__APPLE__)

// Compressed content (com.apple.decmpfs) belongs to the old bytes, and the
// ACL (com.apple.system.Security) is copied by the ACL calls: neither is
// listed without options, and neither is copied.
constexpr int listOptions = 0;

std::optional<std::vector<Name>> attributeNames(int fd) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        const ssize_t size = flistxattr(fd, nullptr, 0, listOptions);
        if (size < 0) {
            return errno == ENOTSUP ? std::optional(std::vector<Name>{}) : std::nullopt;
        }
        std::vector<char> list(static_cast<std::size_t>(size) + 1);
        const ssize_t got = flistxattr(fd, list.data(), list.size(), listOptions);
        if (got < 0 && errno != ERANGE) {
            return std::nullopt;
        }
        if (got >= 0) {
            std::vector<Name> names;
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                std::string name(&list[at]);
                at += name.size() + 1;
                names.emplace_back(0, std::move(name));
            }
            std::sort(names.begin(), names.end());
            return names;
        }
    }
    return std::nullopt;
}

ssize_t getValue(int fd, const Name& name, void* value, std::size_t size) {
    return fgetxattr(fd, name.second.c_str(), value, size, 0, 0);
}

bool setValue(int fd, const Name& name, const std::vector<char>& value) {
    return fsetxattr(fd, name.second.c_str(), value.data(), value.size(), 0, 0) == 0;
}

bool removeValue(int fd, const Name& name) {
    return fremovexattr(fd, name.second.c_str(), 0) == 0;
}

// macOS has one kind of ACL, the extended one; a file without one reports
// ENOENT, and an empty ACL set on a file takes away one it inherited.
bool copyAcl(int from, int to) {
    acl_t acl = acl_get_fd(from);
    if (acl == nullptr && errno != ENOENT) {
        return false;
    }
    if (acl == nullptr) {
        acl_t inherited = acl_get_fd(to);
        if (inherited == nullptr) {
            return errno == ENOENT;
        }
        acl_free(inherited);
        acl = acl_init(0);
        if (acl == nullptr) {
            return false;
        }
    }
    const bool set = acl_set_fd(to, acl) == 0;
    acl_free(acl);
    return set;
}

#else

// The user namespace, and the system one, which only root may read: where
// it cannot be read, what it holds cannot be kept, and the copy fails. The
// list is of names each led by its length in one byte.
std::optional<std::vector<Name>> attributeNames(int fd) {
    std::vector<Name> names;
    for (const int space : {EXTATTR_NAMESPACE_USER, EXTATTR_NAMESPACE_SYSTEM}) {
        bool listed = false;
        for (int attempt = 0; attempt < tries && !listed; ++attempt) {
            const ssize_t size = extattr_list_fd(fd, space, nullptr, 0);
            if (size < 0) {
                if (errno == EOPNOTSUPP) {
                    listed = true;
                    break;
                }
                return std::nullopt;
            }
            std::vector<char> list(static_cast<std::size_t>(size) + 1);
            const ssize_t got = extattr_list_fd(fd, space, list.data(), list.size());
            if (got < 0 || got >= static_cast<ssize_t>(list.size())) {
                continue;  // grown meanwhile: again
            }
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                const auto length = static_cast<unsigned char>(list[at]);
                names.emplace_back(space, std::string(&list[at + 1], length));
                at += 1U + length;
            }
            listed = true;
        }
        if (!listed) {
            return std::nullopt;
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

ssize_t getValue(int fd, const Name& name, void* value, std::size_t size) {
    return extattr_get_fd(fd, name.first, name.second.c_str(), value, size);
}

bool setValue(int fd, const Name& name, const std::vector<char>& value) {
    return extattr_set_fd(fd, name.first, name.second.c_str(), value.data(), value.size()) ==
           static_cast<ssize_t>(value.size());
}

bool removeValue(int fd, const Name& name) {
    return extattr_delete_fd(fd, name.first, name.second.c_str()) == 0;
}

// FreeBSD's file systems keep either POSIX.1e ACLs or NFSv4 ones; the old
// file's whole ACL is set on the new one, which takes the place of any it
// inherited. Where neither kind is kept there is nothing to copy.
bool copyAcl(int from, int to) {
    const acl_type_t type = fpathconf(from, _PC_ACL_NFS4) > 0       ? ACL_TYPE_NFS4
                            : fpathconf(from, _PC_ACL_EXTENDED) > 0 ? ACL_TYPE_ACCESS
                                                                    : ACL_TYPE_DEFAULT;
    if (type == ACL_TYPE_DEFAULT) {
        return true;
    }
    acl_t acl = acl_get_fd_np(from, type);
    if (acl == nullptr) {
        return false;
    }
    const bool set = acl_set_fd_np(to, acl, type) == 0;
    acl_free(acl);
    return set;
}

#endif

// One value, exactly the bytes read for it. The buffer is never empty: a
// read of size 0 only asks for the length, and fills nothing.
std::optional<std::vector<char>> attributeValue(int fd, const Name& name) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        const ssize_t size = getValue(fd, name, nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        std::vector<char> value(static_cast<std::size_t>(size) + 1);
        const ssize_t got = getValue(fd, name, value.data(), value.size());
        if (got >= 0 && got < static_cast<ssize_t>(value.size())) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (got < 0 && errno != ERANGE) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

// An fdesc file system says so; where it does not, /dev/fd may still be
// the program's own, known by its identity.
std::optional<bool> isDescriptorFolder(int folder) {
    struct statfs system {};
    const bool fdesc =
        fstatfs(folder, &system) == 0 && (std::strcmp(system.f_fstypename, "fdesc") == 0 ||
                                          std::strcmp(system.f_fstypename, "fdescfs") == 0);
    return fdesc ? std::optional(true) : std::nullopt;
}

bool keepsEntries(int folder) {
    struct stat found {};
    return fstat(folder, &found) == 0 &&
           (found.st_flags & (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) != 0;
}

bool copiesAttributes() {
    return true;
}

// Of the flags an owner may set, the ones a copy keeps; append-only and
// immutable are refused at the open, and macOS's compressed flag belongs to
// the old bytes.
#if defined(UF_HIDDEN)
constexpr unsigned long ownerFlags = UF_NODUMP | UF_HIDDEN;
#else
constexpr unsigned long ownerFlags = UF_NODUMP;
#endif

bool copyFlags(int from, int to) {
    struct stat old {};
    struct stat now {};
    if (fstat(from, &old) != 0 || fstat(to, &now) != 0) {
        return false;
    }
    const unsigned long wanted = (now.st_flags & ~ownerFlags) | (old.st_flags & ownerFlags);
    return wanted == now.st_flags || fchflags(to, static_cast<decltype(now.st_flags)>(wanted)) == 0;
}

// Neither system has a call that holds room without changing the size.
Room holdRoom(int /*fd*/, long long /*length*/) {
    return Room::unknown;
}

bool copyExtendedAttributes(int from, int to) {
    const auto wanted = attributeNames(from);
    const auto present = attributeNames(to);
    if (!wanted || !present || !copyAcl(from, to)) {
        return false;
    }
    for (const Name& name : *present) {
        if (!std::binary_search(wanted->begin(), wanted->end(), name) && !removeValue(to, name)) {
            return false;
        }
    }
    for (const Name& name : *wanted) {
        const auto value = attributeValue(from, name);
        if (!value) {
            return false;
        }
        if (attributeValue(to, name) != value && !setValue(to, name, *value)) {
            return false;
        }
    }
    return true;
}

}  // namespace quib::posix

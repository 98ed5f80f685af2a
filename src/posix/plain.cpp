// The answers for a system the build has no family file for. POSIX has no
// call that lists a file's extended attributes or ACL, nor one that tells
// an append-only folder: the attributes are taken to be uncopyable, so that
// an existing <vms> is written in place rather than replaced by a file that
// might lack an ACL entry that narrowed its access; see system.hpp.
#include "posix/system.hpp"

namespace quib::posix {

std::optional<bool> isDescriptorFolder(int /*folder*/) {
    return std::nullopt;  // /dev/fd and /proc/self/fd are known by their identity
}

bool keepsEntries(int /*folder*/) {
    return false;
}

bool copiesAttributes() {
    return false;
}

bool copyExtendedAttributes(int /*from*/, int /*to*/) {
    return false;
}

bool copyFlags(int /*from*/, int /*to*/) {
    return true;  // POSIX has no file flags
}

Room holdRoom(int /*fd*/, long long /*length*/) {
    return Room::unknown;
}

}  // namespace quib::posix

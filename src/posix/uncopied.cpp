// For a system the build has no family file for. POSIX has no call that
// lists a file's extended attributes or ACL: they are taken to be
// uncopyable, so that an existing <vms> is written in place rather than
// replaced by a file that might lack an ACL entry that narrowed its access;
// see system.hpp.
#include "posix/system.hpp"

namespace quib::posix {

bool copiesAttributes() {
    return false;
}

bool copyExtendedAttributes(int /*from*/, int /*to*/) {
    return false;
}

}  // namespace quib::posix

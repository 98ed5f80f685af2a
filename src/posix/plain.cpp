// The answers that POSIX alone can give, for a system the build has no
// family file for, and for WASI: POSIX has no call that tells an
// append-only folder, no file flags, and no call that holds room on a disk;
// see system.hpp. Whether attributes can be copied is another matter:
// uncopied.cpp says no for those systems, wasi.cpp says that WASI's files
// have none to lose.
#include "posix/system.hpp"

namespace quib::posix {

std::optional<bool> isDescriptorFolder(int /*folder*/) {
    return std::nullopt;  // /dev/fd and /proc/self/fd are known by their identity
}

bool keepsEntries(int /*folder*/) {
    return false;
}

bool copyFlags(int /*from*/, int /*to*/) {
    return true;  // POSIX has no file flags
}

Room holdRoom(int /*fd*/, long long /*length*/) {
    return Room::unknown;
}

}  // namespace quib::posix

// For systems without unnamed files (all but Linux): the new file is named
// from the start, and the handlers remove it after a signal; see system.hpp.
#include <cerrno>

#include "posix/system.hpp"

namespace quib::posix {

int openUnnamed(int /*folder*/, mode_t /*mode*/) {
    errno = EOPNOTSUPP;
    return -1;
}

bool nameUnnamed(int /*fd*/, int /*folder*/, const char* /*name*/) {
    errno = EOPNOTSUPP;
    return false;
}

}  // namespace quib::posix

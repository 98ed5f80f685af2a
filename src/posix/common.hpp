// Small helpers of the POSIX room that WASI shares: it has the same
// descriptors, stdio and stat.
#pragma once

#include <string>

#include "files.hpp"

namespace quib::posix {

// The folder part of a path and its last part, as an open of the path
// would split them: "out.vms" is in ".", "/out.vms" in "/".
std::string folderOf(const std::string& path);
std::string nameOf(const std::string& path);

// An unbuffered stream for writing on fd, which it then owns; null, with fd
// closed, when there is none.
File streamFor(int fd);

}  // namespace quib::posix

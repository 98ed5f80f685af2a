// What POSIX systems and WASI do alike: names arrive as the bytes they are,
// positions are 64-bit through fseeko and ftello, file identity is the
// device and inode that stat reports, and paths split at their last slash.
// See common.hpp.
#include "posix/common.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform.hpp"

namespace quib {

// A regular file's length is its size, and the position stays at the start
// where the open left it; anything else is measured by moving to its end and back.
std::optional<std::int64_t> platform::endPosition(std::FILE* file) {
    struct stat status {};
    if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)) {
        return status.st_size;
    }
    const off_t end = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
    if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return end;
}

// The arguments are bytes, and every byte string is a name as it is.
bool platform::arrivedWhole(const char* /*name*/) {
    return true;
}

// A signal is handled in the thread that writes, as soon as the write
// returns, and WASI has none: nothing is gained by cutting a block short.
const std::size_t platform::largestWrite = SIZE_MAX;

SameFile platform::namesSameFile(std::FILE* open, const char* path) {
    struct stat mine {};
    struct stat other {};
    if (stat(path, &other) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? SameFile::no : SameFile::unknown;
    }
    const bool same = fstat(fileno(open), &mine) == 0 && mine.st_dev == other.st_dev &&
                      mine.st_ino == other.st_ino;
    return same ? SameFile::yes : SameFile::no;
}

namespace posix {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

File streamFor(int fd) {
    std::FILE* const stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr && fd >= 0) {
        close(fd);
    }
    return detail::unbuffered(stream);
}

}  // namespace posix
}  // namespace quib

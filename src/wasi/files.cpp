// The file operations that differ under WASI: positions are 64-bit through
// fseeko and ftello, file identity is the device and inode that the host
// reports, and there is no faster kind of memory than malloc's.
#include "files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "platform.hpp"

namespace quib {

std::optional<std::int64_t> platform::endPosition(std::FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const std::int64_t end = ftello(file);
    if (fseeko(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return end;
}

// No signal can cut a write short: one call takes the whole block.
const std::size_t platform::largestWrite = SIZE_MAX;

SameFile namesSameFile(std::FILE* open, const char* path) {
    struct stat mine {};
    struct stat other {};
    if (stat(path, &other) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? SameFile::no : SameFile::unknown;
    }
    const bool same = fstat(fileno(open), &mine) == 0 && mine.st_dev == other.st_dev &&
                      mine.st_ino == other.st_ino;
    return same ? SameFile::yes : SameFile::no;
}

// The arguments are the bytes the host passed, which are the names it
// gives its files.
bool platform::arrivedWhole(const char* /*name*/) {
    return true;
}

// A WebAssembly memory only grows, page by page, and malloc takes from it
// directly: there is nothing to map.
std::uint8_t* platform::mapLarge(std::size_t /*size*/, std::size_t& /*mapped*/) {
    return nullptr;
}

void platform::unmap(std::uint8_t* /*bytes*/, std::size_t /*mapped*/) noexcept {}

}  // namespace quib

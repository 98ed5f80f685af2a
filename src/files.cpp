// Opening, reading and writing whole blocks, and measuring the input: the
// parts of the file operations that stdio does the same everywhere. The
// same-file check, the 64-bit end position and the mapping of a large
// buffer are each platform's own (src/posix/files.cpp, src/windows/files.cpp).
#include "files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "container.hpp"
#include "platform.hpp"

namespace quib {
namespace {

bool isDirectory(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

// The input is read in one block straight into the image buffer: a stream
// buffer would only be another copy.
File openForReading(const char* path) {
    File file(platform::arrivedWhole(path) ? std::fopen(path, "rb") : nullptr);
    if (file && (isDirectory(file.get()) || std::setvbuf(file.get(), nullptr, _IONBF, 0) != 0)) {
        file.reset();
    }
    return file;
}

bool closeChecked(File& file) {
    return std::fclose(file.release()) == 0;
}

bool writeBlock(std::FILE* file, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(size - done, platform::largestWrite);
        if (std::fwrite(bytes + done, piece, 1, file) != 1) {
            return false;
        }
        done += piece;
    }
    return size > 0;
}

bool readBlock(std::FILE* file, void* data, std::size_t size) {
    return size > 0 && std::fread(data, size, 1, file) == 1;
}

std::optional<std::int32_t> measureLength(std::FILE* file) {
    const std::optional<std::int64_t> end = platform::endPosition(file);
    if (!end || *end < 0 || *end > maxImageLength) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*end);
}

std::optional<Buffer> Buffer::allocate(std::size_t size) {
    std::size_t mapped = 0;
    std::uint8_t* bytes = platform::mapLarge(size, mapped);
    if (bytes == nullptr) {
        // malloc(0) may return null; one byte keeps "no memory" unambiguous.
        bytes = static_cast<std::uint8_t*>(std::malloc(size > 0 ? size : 1));
    }
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return Buffer(bytes, size, mapped);
}

void Buffer::Release::operator()(std::uint8_t* bytes) const noexcept {
    if (mapped > 0) {
        platform::unmap(bytes, mapped);
        return;
    }
    std::free(bytes);
}

}  // namespace quib

// The few file operations the driver needs beyond plain stdio, each with its
// handle or memory owned by an RAII type so that every path out of a run
// closes and frees what it opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "types.hpp"

namespace quib {

// Opens for binary reading; a directory counts as a failure, as it does on
// every platform that refuses to open one.
File openForReading(const char* path);

// Closes and reports whether the close succeeded: a full disk or a lost
// network share can show only here.
bool closeChecked(File& file);

// One block, all or nothing; a block of zero bytes never succeeds. A large
// block may be written in pieces, but it succeeds only when all are.
bool writeBlock(std::FILE* file, const void* data, std::size_t size);
bool readBlock(std::FILE* file, void* data, std::size_t size);

// The length of the open file, from its position at the end; the position
// is back at the start afterwards. Empty when it cannot be determined or
// does not fit the container's 32-bit length.
std::optional<std::int32_t> measureLength(std::FILE* file);

// The image buffer: one allocation of the image's length, released with
// the object.
class Buffer {
public:
    // Nothing when the memory cannot be had. A length of zero gives a valid
    // buffer, so that an empty input fails at its read, not here.
    static std::optional<Buffer> allocate(std::size_t size);

    [[nodiscard]] std::uint8_t* data() const noexcept { return bytes_.get(); }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
    struct Release {
        std::size_t mapped = 0;  // bytes mapped from the kernel, or 0 for malloc
        void operator()(std::uint8_t* bytes) const noexcept;
    };
    Buffer(std::uint8_t* bytes, std::size_t size, std::size_t mapped) noexcept
        : bytes_(bytes, Release{mapped}), size_(size) {}

    std::unique_ptr<std::uint8_t, Release> bytes_;
    std::size_t size_;
};

}  // namespace quib

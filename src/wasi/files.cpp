// The file operations that differ under WASI beyond the POSIX calls it
// shares (src/posix/common.cpp): there is no faster kind of memory than
// malloc's, and no signal to cut a write short.
#include "files.hpp"

#include <cstdint>

#include "platform.hpp"

namespace quib {

// No signal can cut a write short: one call takes the whole block.
const std::size_t platform::largestWrite = SIZE_MAX;

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

// The file operations that differ on POSIX systems beyond what they share
// with WASI (common.cpp): a large buffer comes straight from mmap, on huge
// pages where the kernel has them.
#include "files.hpp"

#include <sys/mman.h>

#include <cstdint>

#include "platform.hpp"

namespace quib {

// The arguments are bytes, and every byte string is a name as it is.
bool platform::arrivedWhole(const char* /*name*/) {
    return true;
}

// A signal is handled in the thread that writes, as soon as the write
// returns: nothing is gained by cutting a block short.
const std::size_t platform::largestWrite = SIZE_MAX;

#ifdef MADV_HUGEPAGE
// Where the kernel has transparent huge pages, a large buffer comes
// straight from it, aligned to a huge page and marked for them. The one
// read into a fresh buffer otherwise takes a page fault every 4 KiB, and
// on a 64 MiB picture those faults cost several times what copying the
// bytes does.
std::uint8_t* platform::mapLarge(std::size_t size, std::size_t& mapped) {
    constexpr std::size_t hugePage = std::size_t{2} << 20U;
    if (size < hugePage || size > SIZE_MAX - 2 * hugePage) {
        return nullptr;
    }
    const std::size_t length = (size + hugePage - 1) / hugePage * hugePage;
    constexpr int anonymous = MAP_PRIVATE | MAP_ANONYMOUS;
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping has no file: -1
    void* const raw = mmap(nullptr, length + hugePage, PROT_READ | PROT_WRITE, anonymous, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    // Keep the aligned middle; hand the ragged ends back.
    auto* const base = static_cast<std::uint8_t*>(raw);
    const std::size_t head =
        (hugePage - reinterpret_cast<std::uintptr_t>(raw) % hugePage) % hugePage;
    std::uint8_t* const bytes = base + head;
    if (head > 0) {
        munmap(base, head);
    }
    munmap(bytes + length, hugePage - head);
    // Advice only: where huge pages are off, the buffer still works with
    // small pages, so a refusal here changes nothing.
    static_cast<void>(madvise(bytes, length, MADV_HUGEPAGE));
    mapped = length;
    return bytes;
}
#else
std::uint8_t* platform::mapLarge(std::size_t /*size*/, std::size_t& /*mapped*/) {
    return nullptr;
}
#endif

void platform::unmap(std::uint8_t* bytes, std::size_t mapped) noexcept {
    munmap(bytes, mapped);
}

}  // namespace quib

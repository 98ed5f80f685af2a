// What every POSIX system has and WASI lacks (wasi.cpp answers there): a
// large buffer straight from mmap, on huge pages where the kernel has them;
// owners and permission bits; the free room of a file system; a second
// descriptor of an open file. See system.hpp.
#include "files.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>

#include "platform.hpp"
#include "posix/system.hpp"

namespace quib {

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

namespace posix {

bool giveOwner(int to, const struct stat& old) {
    return fchown(to, old.st_uid, old.st_gid) == 0 ||
           fchown(to, static_cast<uid_t>(-1), old.st_gid) == 0;
}

bool giveMode(int fd, mode_t bits) {
    return fchmod(fd, bits) == 0;
}

bool roomFor(int fd, off_t length) {
    struct statvfs system {};
    struct stat status {};
    if (fstatvfs(fd, &system) != 0 || fstat(fd, &status) != 0) {
        return false;
    }
    const auto held = static_cast<unsigned long long>(status.st_blocks) * 512U;
    const auto wanted = static_cast<unsigned long long>(length);
    const auto free = static_cast<unsigned long long>(system.f_bavail) * system.f_frsize;
    return wanted <= held || wanted - held <= free;
}

int secondWriter(int fd, int /*folder*/, const char* /*name*/) {
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace posix

}  // namespace quib

#include "files.hpp"

#include <sys/stat.h>

#include <cstdlib>

#include "container.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace quib {
namespace {

bool isDirectory(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

File openForReading(const char* path) {
    File file(std::fopen(path, "rb"));
    if (file && isDirectory(file.get())) {
        file.reset();
    }
    return file;
}

bool closeChecked(File& file) {
    return std::fclose(file.release()) == 0;
}

bool writeBlock(std::FILE* file, const void* data, std::size_t size) {
    return size > 0 && std::fwrite(data, size, 1, file) == 1;
}

bool readBlock(std::FILE* file, void* data, std::size_t size) {
    return size > 0 && std::fread(data, size, 1, file) == 1;
}

std::optional<std::int32_t> measureLength(std::FILE* file) {
#ifdef _WIN32
    // The runtime's ftell is 32-bit and wraps without an error: a file of
    // 4 GiB + 200 bytes would measure 200.
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const std::int64_t end = _ftelli64(file);
    const bool rewound = _fseeki64(file, 0, SEEK_SET) == 0;
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const std::int64_t end = ftello(file);
    const bool rewound = fseeko(file, 0, SEEK_SET) == 0;
#endif
    if (!rewound || end < 0 || end > maxImageLength) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(end);
}

#ifdef _WIN32
bool namesSameFile(std::FILE* open, const char* path) {
    // File identity on Windows is the volume serial number and the file
    // index; the C runtime's st_ino is always zero there.
    // Opening for no access at all needs no permission and locks nothing.
    struct HandleCloser {
        void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
    };
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::unique_ptr<void, HandleCloser> other(handle);
    BY_HANDLE_FILE_INFORMATION mine{};
    BY_HANDLE_FILE_INFORMATION theirs{};
    const auto openHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    return GetFileInformationByHandle(openHandle, &mine) != 0 &&
           GetFileInformationByHandle(other.get(), &theirs) != 0 &&
           mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == theirs.nFileIndexHigh &&
           mine.nFileIndexLow == theirs.nFileIndexLow;
}
#else
bool namesSameFile(std::FILE* open, const char* path) {
    struct stat mine {};
    struct stat other {};
    return fstat(fileno(open), &mine) == 0 && stat(path, &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}
#endif

#ifdef __linux__
namespace {

// A large buffer comes straight from the kernel, aligned to a huge page and
// marked for transparent huge pages. The one read into a fresh buffer
// otherwise takes a page fault every 4 KiB, and on a 64 MiB picture those
// faults cost several times what copying the bytes does.
constexpr std::size_t hugePage = std::size_t{2} << 20U;

std::uint8_t* mapHugePages(std::size_t size, std::size_t& mapped) {
    if (size > SIZE_MAX - 2 * hugePage) {
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

}  // namespace
#endif

std::optional<Buffer> Buffer::allocate(std::size_t size) {
    std::size_t mapped = 0;
    std::uint8_t* bytes = nullptr;
#ifdef __linux__
    if (size >= hugePage) {
        bytes = mapHugePages(size, mapped);
    }
#endif
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
#ifdef __linux__
    if (mapped > 0) {
        munmap(bytes, mapped);
        return;
    }
#endif
    std::free(bytes);
}

}  // namespace quib

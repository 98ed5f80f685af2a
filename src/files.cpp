#include "files.hpp"

#include <cstdlib>

#include "container.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace quib {
namespace {

bool isDirectory(std::FILE* file) {
#ifdef _WIN32
    struct _stat64 status {};
    return _fstat64(_fileno(file), &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
#else
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
#endif
}

}  // namespace

File openForReading(const char* path) {
    File file(std::fopen(path, "rb"));
    if (file && isDirectory(file.get())) {
        file.reset();
    }
    return file;
}

File openForWriting(const char* path) {
    File file(std::fopen(path, "wb"));
    if (file && std::setvbuf(file.get(), nullptr, _IONBF, 0) != 0) {
        file.reset();
    }
    return file;
}

bool closeChecked(File& file) { return std::fclose(file.release()) == 0; }

bool writeBlock(std::FILE* file, const void* data, std::size_t size) {
    return size > 0 && std::fwrite(data, size, 1, file) == 1;
}

bool readBlock(std::FILE* file, void* data, std::size_t size) {
    return size > 0 && std::fread(data, size, 1, file) == 1;
}

std::optional<std::int32_t> measureLength(std::FILE* file) {
#ifdef _WIN32
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
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const auto mine = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    const bool same = GetFileInformationByHandle(mine, &a) != 0 &&
                      GetFileInformationByHandle(other.get(), &b) != 0 &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    return same;
}
#else
bool namesSameFile(std::FILE* open, const char* path) {
    struct stat mine {};
    struct stat other {};
    return fstat(fileno(open), &mine) == 0 && stat(path, &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}
#endif

std::optional<Buffer> Buffer::allocate(std::size_t size) {
    // malloc(0) may return null; one byte keeps "no memory" unambiguous.
    auto* bytes = static_cast<std::uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return Buffer(bytes, size);
}

void Buffer::Release::operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }

}  // namespace quib

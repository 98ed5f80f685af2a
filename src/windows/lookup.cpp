// The look-ups of lookup.hpp.
#include "windows/lookup.hpp"

namespace quib::windows {

std::string fullPath(const char* path) {
    const DWORD length = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (length == 0) {
        return {};
    }
    std::string full(length, '\0');
    const DWORD written = GetFullPathNameA(path, length, full.data(), nullptr);
    full.resize(written < length ? written : 0);
    return full;
}

HANDLE openForLookup(const char* path) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool foundNothing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::string narrow(std::wstring_view text) {
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), size, converted.data(), length, nullptr,
                            nullptr);
    }
    return converted;
}

std::wstring wide(std::string_view text, UINT codePage) {
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring converted(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), size, converted.data(), length);
    }
    return converted;
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other) {
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace quib::windows

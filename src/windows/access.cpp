// The descriptors of access.hpp, read through ntdll, which every Windows
// process has loaded: KERNEL32 has no call that reads one, and the program
// loads no DLL beyond KERNEL32 and msvcrt. The layouts parsed here (a
// self-relative descriptor, an ACL, a SID) are the documented ones.
#include "windows/access.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace quib::windows {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr LONG bufferTooSmall = static_cast<LONG>(0xC0000023);  // STATUS_BUFFER_TOO_SMALL

template <typename Function>
Function fromNtdll(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

template <typename T>
T readAt(const Bytes& bytes, std::size_t at) {
    T value{};
    if (at + sizeof value <= bytes.size()) {
        std::memcpy(&value, bytes.data() + at, sizeof value);
    }
    return value;
}

// The SID that starts at offset at, whole; empty when it runs past the end.
Bytes sidAt(const Bytes& bytes, std::size_t at) {
    constexpr std::size_t fixed = 8;  // revision, count, the 6-byte authority
    if (at == 0 || at + fixed > bytes.size()) {
        return {};
    }
    const std::size_t size = fixed + 4 * std::size_t{bytes[at + 1]};
    if (at + size > bytes.size()) {
        return {};
    }
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
}

// The self-relative descriptor of what handle names, with the parts asked
// for; empty when it cannot be read.
Bytes descriptor(HANDLE handle, SECURITY_INFORMATION parts) {
    using Query = LONG(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG, PULONG);
    static const auto query = fromNtdll<Query>("NtQuerySecurityObject");
    Bytes bytes(1024);
    for (int attempt = 0; query != nullptr && attempt < 2; ++attempt) {
        ULONG needed = 0;
        const LONG status =
            query(handle, parts, bytes.data(), static_cast<ULONG>(bytes.size()), &needed);
        if (status >= 0) {
            return bytes;
        }
        if (status != bufferTooSmall || needed <= bytes.size()) {
            break;
        }
        bytes.resize(needed);
    }
    return {};
}

// The SID of the user the program runs as; empty when it cannot be told.
Bytes userSid() {
    using OpenToken = LONG(WINAPI*)(HANDLE, ACCESS_MASK, PHANDLE);
    using QueryToken = LONG(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto open = fromNtdll<OpenToken>("NtOpenProcessToken");
    const auto query = fromNtdll<QueryToken>("NtQueryInformationToken");
    HANDLE token = nullptr;
    if (open == nullptr || query == nullptr || open(GetCurrentProcess(), TOKEN_QUERY, &token) < 0) {
        return {};
    }
    Bytes user(256);
    ULONG needed = 0;
    const bool told =
        query(token, TokenUser, user.data(), static_cast<ULONG>(user.size()), &needed) >= 0;
    CloseHandle(token);
    if (!told) {
        return {};
    }
    // TOKEN_USER holds a pointer to the SID, which lies in the same buffer.
    const auto* sid = static_cast<const std::uint8_t*>(readAt<TOKEN_USER>(user, 0).User.Sid);
    const std::uint8_t* const start = user.data();
    return sid >= start && sid < start + user.size()
               ? sidAt(user, static_cast<std::size_t>(sid - start))
               : Bytes{};
}

// SECURITY_DESCRIPTOR_RELATIVE: revision, padding, control, then the
// offsets of the owner, the group, the SACL and the DACL.
constexpr std::size_t controlAt = 2;
constexpr std::size_t ownerAt = 4;
constexpr std::size_t daclAt = 16;

}  // namespace

std::optional<ACCESS_MASK> everyoneRights(HANDLE handle) {
    const Bytes bytes = descriptor(handle, DACL_SECURITY_INFORMATION);
    if (bytes.empty()) {
        return std::nullopt;
    }
    const auto dacl = std::size_t{readAt<DWORD>(bytes, daclAt)};
    if ((readAt<WORD>(bytes, controlAt) & SE_DACL_PRESENT) == 0 || dacl == 0) {
        return ACCESS_MASK{0xFFFFFFFF};  // no DACL: no limit
    }
    const Bytes everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // S-1-1-0
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    std::size_t at = dacl + sizeof(ACL);
    for (WORD ace = 0; ace < readAt<ACL>(bytes, dacl).AceCount && at < bytes.size(); ++ace) {
        const auto header = readAt<ACE_HEADER>(bytes, at);
        const bool applies =
            (header.AceFlags & INHERIT_ONLY_ACE) == 0 &&
            sidAt(bytes, at + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) == everyone;
        const auto mask = readAt<ACCESS_MASK>(bytes, at + sizeof(ACE_HEADER));
        if (applies && header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            allowed |= mask;
        } else if (applies && header.AceType == ACCESS_DENIED_ACE_TYPE) {
            denied |= mask;
        }
        if (header.AceSize == 0) {
            return std::nullopt;
        }
        at += header.AceSize;
    }
    return allowed & ~denied;
}

bool ownedByUser(HANDLE handle) {
    const Bytes bytes = descriptor(handle, OWNER_SECURITY_INFORMATION);
    const Bytes owner = sidAt(bytes, readAt<DWORD>(bytes, ownerAt));
    return !owner.empty() && owner == userSid();
}

}  // namespace quib::windows

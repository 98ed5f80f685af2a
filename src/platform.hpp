// What differs between POSIX systems and Windows, behind one set of
// declarations. src/posix/ and src/windows/ each define all of it, and the
// build compiles the set of the platform at hand; the portable files call
// only what is declared here, in files.hpp and in output.hpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "files.hpp"

namespace quib {

// Defined by each platform.
namespace platform {

// The position at the end of the open file, as a 64-bit count, with the
// position back at the start afterwards. Empty when either move fails.
std::optional<std::int64_t> endPosition(std::FILE* file);

// Memory for a large buffer where the platform has a faster kind than
// malloc, with the length mapped; null where it has none, or for a size it
// does not serve. unmap gives it back.
std::uint8_t* mapLarge(std::size_t size, std::size_t& mapped);
void unmap(std::uint8_t* bytes, std::size_t mapped) noexcept;

// The characters that end a folder's part of a path.
extern const std::string_view pathSeparators;

// Opens where the new file for target will be written: the hidden file,
// whose name goes into temporary, or target itself where it cannot be
// replaced. Null when neither can be opened.
File openOutput(const char* target, std::string& temporary);

// Keeps the cleanup after a signal or Ctrl+C from running between the two
// calls, so that the hidden file and pendingTemporary change together.
void holdCleanup() noexcept;
void releaseCleanup() noexcept;

bool moveOver(const char* from, const char* to);

// Safe to call from a signal handler.
void removeFile(const char* path) noexcept;

}  // namespace platform

// Given by the portable code to the platforms.
namespace detail {

// The hidden file while it exists, for the cleanup after a signal; set and
// cleared only while the cleanup is held.
extern const char* volatile pendingTemporary;

// Removes the hidden file, then dies of the same signal, so that the caller
// sees what ended the run.
extern "C" void removePendingAndDie(int signal);

// "dir/out.vms" becomes "dir/.out.vms.": the hidden name's stem, to which a
// random suffix is added.
std::string temporaryStem(std::string_view target);

// Without a stream buffer each write reaches the file before the next
// section is started, so a failure is seen by the write that caused it.
File unbuffered(std::FILE* stream);

}  // namespace detail
}  // namespace quib

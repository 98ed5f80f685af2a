// What differs between platforms, behind one set of declarations: every
// function a platform defines is declared here, and nowhere else. Each room
// defines all of it: src/posix/ for POSIX systems, WASI (the page's
// program) among them as a system file of its own, and src/windows/ for
// Windows; the build compiles the room of the platform at hand. The
// portable files (main.cpp, files.cpp, output.cpp) reach a platform
// through this header alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "types.hpp"

namespace quib {

// Defined by each platform.
namespace platform {

// Run first, before any file is opened. On POSIX systems: a closed
// standard descriptor gets /dev/null, so that no file of the run can take
// its place and receive messages meant for the terminal; a write past a
// file-size limit or into a closed pipe fails and is reported instead of
// killing the program; every signal that would end the program removes the
// hidden file first. On Windows, Ctrl+C and Ctrl+Break do the same. False
// when the standard descriptors cannot be made safe.
bool prepareProcess();

// Writes one message, UTF-8 with "\n" line ends, to standard error. A file
// or a pipe receives the bytes (on Windows, with CR LF line ends); a
// Windows console shows the characters they encode, whatever its code page.
// If standard error cannot be written there is no one left to tell, so
// nothing is reported.
void printMessage(std::string_view text) noexcept;

// Whether path names the very file that is open, whatever the spelling:
// another relative form, a hard link, a symbolic link.
SameFile namesSameFile(std::FILE* open, const char* path);

// The position at the end of the open file, as a 64-bit count, with the
// position back at the start afterwards. Empty when either move fails.
std::optional<std::int64_t> endPosition(std::FILE* file);

// Memory for a large buffer where the platform has a faster kind than
// malloc, with the length mapped; null where it has none, or for a size it
// does not serve. unmap gives it back.
std::uint8_t* mapLarge(std::size_t size, std::size_t& mapped);
void unmap(std::uint8_t* bytes, std::size_t mapped) noexcept;

// Whether a name given on the command line reached the program as it was
// given. A Windows program gets its arguments in UTF-8, which cannot hold
// every name the system can (an unpaired surrogate): such a name would
// stand for another file, and is not opened at all.
bool arrivedWhole(const char* name);

// What a platform keeps of one output from its open to its end: the
// folder, the file it replaces, the file written. Each room defines it. Its
// end removes the hidden file if it is still there, and lets go of the rest.
struct Output;
struct OutputEnd {
    void operator()(Output* state) const noexcept;
};
using OutputState = std::unique_ptr<Output, OutputEnd>;

struct Opened {
    Placement placement = Placement::none;
    OutputState output;
};

// Decides how target is written and opens it into file: the hidden file,
// or the target itself, not yet emptied. For inPlaceFile the file may stay
// null until startInPlace: a new file that could not be removed after a
// failure is created only then. One output at a time: the platform keeps
// apart what its signal or Ctrl+C handler needs to remove the hidden file.
Opened openOutput(const char* target, File& file);

// Empties the regular file opened in place, or creates the new one.
bool startInPlace(Output& output, File& file);

// Puts the hidden file in place of the target, provided its name still
// names the file that was written.
bool moveHiddenOver(Output& output);

// Removes the hidden file, provided its name still names the file that was
// written; safe in a signal handler, and a no-op once it is gone or moved.
void removeHidden() noexcept;

// Keeps the cleanup after a signal or Ctrl+C from running between the two
// calls, so that it never meets a hidden file half made or already moved.
void holdCleanup() noexcept;
void releaseCleanup() noexcept;

// Ends the program as the signal, or Ctrl+C, would have ended it.
[[noreturn]] void dieOf(int signal) noexcept;

// The most that one call writes: a block larger than this goes in pieces.
extern const std::size_t largestWrite;

}  // namespace platform

// Given by the portable code to the platforms.
namespace detail {

// Removes the hidden file unless it has been moved, waiting out a commit
// under way, then dies of the same signal, so that the caller sees what
// ended the run.
extern "C" void removeHiddenAndDie(int signal);

// The random characters that end a hidden name, and what they are drawn
// from.
constexpr std::size_t hiddenSuffixLength = 6;
constexpr std::string_view hiddenSuffixLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// "out.vms" becomes ".out.vms.", to which the random suffix is added. A
// name too long for room bytes in all is cut short, between characters:
// a name that a plain create accepts must get a hidden sibling too.
std::string hiddenStem(std::string_view name, std::size_t room);

// Without a stream buffer each write reaches the file before the next
// section is started, so a failure is seen by the write that caused it.
File unbuffered(std::FILE* stream);

}  // namespace detail
}  // namespace quib

// Where the program's messages go: standard error, and nowhere else.
#pragma once

#include <string_view>

namespace quib {

// Writes one message, UTF-8 with "\n" line ends, to standard error. A file
// or a pipe receives the bytes (on Windows, with CR LF line ends); a
// Windows console shows the characters they encode, whatever its code page.
// If standard error cannot be written there is no one left to tell, so
// nothing is reported.
void printMessage(std::string_view text) noexcept;

}  // namespace quib

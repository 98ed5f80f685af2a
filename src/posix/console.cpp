// Messages on POSIX systems: a terminal takes the bytes as they are, in
// the user's own encoding, so every stream is written the same way. Under
// WASI, standard error is whatever the host made of it (a terminal under
// node, the page's list of messages in a browser), and takes UTF-8 bytes
// as they are too.
#include <cstdio>

#include "platform.hpp"

namespace quib {

void platform::printMessage(std::string_view text) noexcept {
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), stderr));
}

}  // namespace quib

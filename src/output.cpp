// The steps of a replacement that are the same everywhere: the hidden
// name's stem, the order of the checked close and the move, the cleanup on
// every other path, and the cleanup after a signal or Ctrl+C. How a target
// is inspected, and how a file is created, moved and removed, is each
// platform's own (src/posix/output.cpp, src/windows/output.cpp).
#include "output.hpp"

#include <csignal>

#include "platform.hpp"

namespace quib {
namespace detail {

const char* volatile pendingTemporary = nullptr;

std::string temporaryStem(std::string_view target) {
    const std::size_t slash = target.find_last_of(platform::pathSeparators);
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::string stem(target.substr(0, base));
    stem.append(".").append(target.substr(base)).append(".");
    return stem;
}

File unbuffered(std::FILE* stream) {
    File file(stream);
    if (file && std::setvbuf(file.get(), nullptr, _IONBF, 0) != 0) {
        file.reset();
    }
    return file;
}

extern "C" void removePendingAndDie(int signal) {
    const char* const temporary = pendingTemporary;
    if (temporary != nullptr) {
        platform::removeFile(temporary);
    }
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
}

}  // namespace detail

namespace {

// Holds the cleanup for its lifetime.
class CleanupHeld {
public:
    CleanupHeld() noexcept { platform::holdCleanup(); }
    ~CleanupHeld() { platform::releaseCleanup(); }
    CleanupHeld(const CleanupHeld&) = delete;
    CleanupHeld& operator=(const CleanupHeld&) = delete;
    CleanupHeld(CleanupHeld&&) = delete;
    CleanupHeld& operator=(CleanupHeld&&) = delete;
};

}  // namespace

PendingOutput::PendingOutput(const char* target)
    : target_(target), file_(platform::openOutput(target, temporary_)) {}

bool PendingOutput::commit() {
    if (!closeChecked(file_)) {
        return false;
    }
    if (temporary_.empty()) {
        return true;
    }
    const CleanupHeld held;
    if (!platform::moveOver(temporary_.c_str(), target_)) {
        return false;
    }
    detail::pendingTemporary = nullptr;
    temporary_.clear();
    return true;
}

PendingOutput::~PendingOutput() {
    file_.reset();  // the close of a file that is thrown away
    if (!temporary_.empty()) {
        const CleanupHeld held;
        platform::removeFile(temporary_.c_str());
        detail::pendingTemporary = nullptr;
    }
}

}  // namespace quib

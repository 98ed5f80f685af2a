// The steps of a replacement that are the same everywhere: the hidden
// name's stem, the order of the checked close and the move, the cleanup on
// every other path, and the cleanup after a signal or Ctrl+C. How a target
// is inspected, and how a file is created, moved and removed, is each
// platform's own (src/posix/output.cpp, src/windows/output.cpp).
#include "output.hpp"

#include <algorithm>

#include "files.hpp"
#include "platform.hpp"

namespace quib {
namespace detail {

std::string hiddenStem(std::string_view name, std::size_t room) {
    constexpr std::size_t fixed = 2 + hiddenSuffixLength;  // the two dots, the suffix
    std::size_t keep = std::min(name.size(), room > fixed ? room - fixed : 0);
    const auto continues = [&name](std::size_t at) {
        return (static_cast<unsigned char>(name[at]) & 0xC0U) == 0x80U;  // 10xxxxxx
    };
    while (keep > 0 && keep < name.size() && continues(keep)) {
        --keep;
    }
    std::string stem(".");
    stem.append(name.substr(0, keep)).append(".");
    return stem;
}

File unbuffered(std::FILE* stream) {
    File file(stream);
    if (file && std::setvbuf(file.get(), nullptr, _IONBF, 0) != 0) {
        file.reset();
    }
    return file;
}

extern "C" void removeHiddenAndDie(int signal) {
    platform::holdCleanup();
    platform::removeHidden();
    platform::dieOf(signal);
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

// An empty name is no file that a plain open would create, on any system.
PendingOutput::PendingOutput(const char* target) {
    if (*target != '\0') {
        platform::Opened opened = platform::openOutput(target, file_);
        placement_ = opened.placement;
        output_ = std::move(opened.output);
    }
}

bool PendingOutput::start() {
    return placement_ != Placement::inPlaceFile || platform::startInPlace(*output_, file_);
}

bool PendingOutput::commit() {
    const CleanupHeld held;
    if (!file_ || !closeChecked(file_)) {
        return false;
    }
    return placement_ != Placement::hidden || platform::moveHiddenOver(*output_);
}

PendingOutput::~PendingOutput() {
    const CleanupHeld held;
    file_.reset();  // the close of a file that is thrown away
    output_.reset();
}

}  // namespace quib

// quib: wraps one picture into a VMS file for the visual memory unit.
//
//   quib <image> <vms>
//
// Everything is reported on stderr; stdout is never written. The exit
// status is 0 after a complete file and 1 after anything else.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "container.hpp"
#include "files.hpp"
#include "output.hpp"
#include "platform.hpp"

#ifndef QUIB_CONTACT
#define QUIB_CONTACT "quib@example.org"
#endif

namespace {

using namespace quib;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;

void say(std::string_view text) {
    platform::printMessage(text);
}

// The path goes in where "%s" stands, never into a format of its own.
void say(std::string_view format, std::string_view path) {
    const std::size_t at = format.find("%s");
    std::string message(format.substr(0, at));
    message.append(path).append(format.substr(at + 2));
    platform::printMessage(message);
}

void printBanner() {
    say("QUIB " QUIB_CONTACT "\n");
}

// Reports a failure; always false, so that a step can end the run with
// `return fail(...)`.
bool fail(const char* message) {
    say(message);
    return false;
}
bool fail(const char* format, const char* path) {
    say(format, path);
    return false;
}

bool writeSizeField(std::FILE* out, std::int32_t imageLength) {
    for (const std::uint8_t byte : sizeField(imageLength)) {
        if (std::fputc(byte, out) == EOF) {
            return false;
        }
    }
    return true;
}

bool writeBaseHeader(std::FILE* out, const char* vmsPath) {
    return writeBlock(out, headerNonDynamic.data(), headerNonDynamic.size()) ||
           fail("Failed to write base header to destination file [%s].\n", vmsPath);
}

// One pass over the steps of a conversion; each failure prints its message
// and ends the run. Until the last step the new file is a hidden one beside
// <vms>, so a failure anywhere leaves the folder as it was.
bool wrap(const char* imagePath, const char* vmsPath) {
    File in = openForReading(imagePath);
    if (!in) {
        return fail("Failed to open source file [%s] for input.\n", imagePath);
    }
    // The finished file replaces <vms>; if that were the input, or a link to
    // it, the picture would be replaced by its own wrapping. A name that
    // cannot be looked up could be the input: it is not written at all.
    const char* const noOutput = "Failed to open destinaton file [%s] for output.\n";
    const SameFile same = platform::namesSameFile(in.get(), vmsPath);
    if (same == SameFile::yes) {
        return fail("Source and destination are the same file [%s].\n", vmsPath);
    }
    if (same == SameFile::unknown) {
        return fail(noOutput, vmsPath);
    }
    PendingOutput out(vmsPath);
    if (!out) {
        return fail(noOutput, vmsPath);
    }
    // A regular file written in place loses what it holds with the first
    // byte written, so there the input is read whole first: a bad input then
    // costs nothing. Everywhere else the header goes first, as it always has.
    const bool inputFirst = out.overwritesInPlace();
    if (!inputFirst && !writeBaseHeader(out.get(), vmsPath)) {
        return false;
    }

    const char* const tooLarge =
        "The image file data is to large for current memeory configuration, re-configure "
        "memory or ue a smaller image or better compression\n";
    const std::optional<std::int32_t> imageLength = measureLength(in.get());
    if (!imageLength) {
        return fail(tooLarge);
    }
    const std::optional<Buffer> image = Buffer::allocate(static_cast<std::size_t>(*imageLength));
    if (!image) {
        return fail(tooLarge);
    }
    if (!readBlock(in.get(), image->data(), image->size())) {
        return fail("Failed to read image file data.\n");
    }
    in.reset();

    if (inputFirst) {
        if (!out.start()) {
            return fail(noOutput, vmsPath);
        }
        if (!writeBaseHeader(out.get(), vmsPath)) {
            return false;
        }
    }
    if (!writeSizeField(out.get(), *imageLength)) {
        return fail("Failed to write size field to destination file.\n");
    }
    const MimeHeader mime = mimeHeader(imagePath);
    if (!writeBlock(out.get(), mime.data(), mime.size())) {
        return fail("Failed to write mime header to destination file.\n");
    }
    if (!writeBlock(out.get(), image->data(), image->size())) {
        return fail("Failed to write image data to destination file.\n");
    }
    // Finishing the file, the rename over <vms> included, is part of closing
    // it: a full disk or a lost network share can show only here.
    if (!out.commit()) {
        return fail("Failed to close destination file [%s].\n", vmsPath);
    }
    return true;
}

void help() {
    say("QUIB <image> <vms>\n"
        "<image> should be a jpeg\n"
        "<vms> is the file name to produce\n");
    printBanner();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!platform::prepareProcess()) {
        return exitFailure;
    }
    if (argc != 3) {
        help();
        return exitFailure;
    }
    const char* const imagePath = argv[1];
    const char* const vmsPath = argv[2];
    if (std::strlen(imagePath) > maxInputNameLength) {
        say("Input file name to long, rename file and try again.\n");
        return exitFailure;
    }
    printBanner();
    if (!wrap(imagePath, vmsPath)) {
        return exitFailure;
    }
    say("QUIB is not aware of any problems with your file transformation.\n");
    say("[%s] is now ready.\n", vmsPath);
    return exitSuccess;
}

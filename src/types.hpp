// The few types that the portable code and each platform share: the open
// file, with the close that ends it, and the answers a platform gives about
// files and about where the output goes.
#pragma once

#include <cstdio>
#include <memory>

namespace quib {

// For the input, and for the output on a path that has already failed:
// there a failing close changes nothing. The output's close on success
// goes through closeChecked.
struct FileCloser {
    void operator()(std::FILE* file) const noexcept { static_cast<void>(std::fclose(file)); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Whether a path names a file that is open: unknown when the path cannot be
// looked up for a reason other than that nothing is there.
enum class SameFile { no, yes, unknown };

// How the output reaches the target.
enum class Placement {
    none,         // neither the target nor a file beside it can be opened
    hidden,       // a new file beside the target, moved over it once whole
    inPlace,      // the target itself, written as it is: a device, a FIFO
    inPlaceFile,  // a regular file written in place: emptied, or created,
                  // only by start(), once the input is in memory
};

}  // namespace quib

// The output of a run, and what keeps a failed or interrupted run from
// costing the user a file.
//
// <vms> is opened first as a plain open for writing would open it, through
// its links, emptying nothing; the file that open reached is then replaced
// by a new one written under a hidden name beside it (".out.vms.XXXXXX",
// created exclusively, in the same folder so that the rename stays on one
// file system) and renamed over it only once every section is written and
// the close has succeeded. Until then the earlier file is untouched; on
// every other path the hidden file is removed, and so it is after any
// signal that ends the program. Two runs on one <vms> each write their own
// hidden file, and the last rename wins whole.
//
// A replacement keeps the old file's owner, group, mode, ACL and extended
// attributes; where it cannot, the file is written in place, as editors do.
// So is whatever cannot be replaced: a device, a FIFO, a name that leads to
// an open descriptor (/dev/stdout, /proc/self/fd/3), a file in a folder
// that refuses new files or renames, a file whose rename is refused in the
// end (the finished file is then copied over it). A regular file written
// in place is emptied only once the input is safely in memory.
#pragma once

#include <cstdio>

#include "platform.hpp"
#include "types.hpp"

namespace quib {

class PendingOutput {
public:
    // Opens where the new file will be written. Check with operator bool: a
    // failure to open leaves everything as it was. An existing <vms> that
    // the user may not write is refused, as an open for writing would be.
    explicit PendingOutput(const char* target);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    PendingOutput(PendingOutput&&) = delete;
    PendingOutput& operator=(PendingOutput&&) = delete;

    explicit operator bool() const noexcept { return placement_ != Placement::none; }
    [[nodiscard]] std::FILE* get() const noexcept { return file_.get(); }

    // Whether the first write destroys what the target holds now: a regular
    // file written in place. Until start() it is not touched.
    [[nodiscard]] bool overwritesInPlace() const noexcept {
        return placement_ == Placement::inPlaceFile;
    }

    // Empties the regular file written in place, or creates it; a no-op for
    // the others. False when that fails, as an open for writing would.
    bool start();

    // Closes the file, checking the close, and puts it in place of the
    // target. False when either fails; the target is then as it was.
    bool commit();

private:
    File file_;
    Placement placement_ = Placement::none;
    platform::OutputState output_;
};

}  // namespace quib

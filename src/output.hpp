// The output of a run, and what keeps a failed or interrupted run from
// costing the user a file.
//
// A new <vms> is written under a hidden name beside it (".out.vms.XXXXXX",
// created exclusively, in the same directory so that the rename stays on
// one file system) and renamed over <vms> only once every section is
// written and the close has succeeded. Until then the earlier <vms>, and
// every hard link to it, is untouched; on every other path the hidden file
// is removed. Two runs on one <vms> each write their own hidden file, and
// the last rename wins whole.
//
// Where no such replacement is possible, the target is written in place,
// as a plain open-and-truncate would: a target that is not a regular file
// (/dev/null, a FIFO, a device, the program's own standard output), or an
// existing, writable <vms> in a directory that refuses new files.
#pragma once

#include <cstdio>
#include <string>

#include "files.hpp"

namespace quib {

// Run first, before any file is opened. On POSIX systems: a closed
// standard descriptor gets /dev/null, so that no file of the run can take
// its place and receive messages meant for the terminal; a write past a
// file-size limit or into a closed pipe fails and is reported instead of
// killing the program; SIGINT, SIGTERM and SIGHUP remove the hidden file
// before the program dies of them. On Windows, Ctrl+C and Ctrl+Break do
// the same. False when the standard descriptors cannot be made safe.
bool prepareProcess();

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

    explicit operator bool() const noexcept { return file_ != nullptr; }
    [[nodiscard]] std::FILE* get() const noexcept { return file_.get(); }

    // Closes the file, checking the close, and puts it in place of the
    // target. False when either fails; the target is then as it was.
    bool commit();

private:
    const char* target_;
    std::string temporary_;  // empty when writing in place
    File file_;
};

}  // namespace quib

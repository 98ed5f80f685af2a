// What a file's security descriptor says, for the two questions the
// replacement of <vms> asks of one: whether a new file would give everyone
// more than the old one does, and whether a folder is the user's own.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <optional>

namespace quib::windows {

// The rights that the file's DACL allows Everyone (S-1-1-0), less those it
// denies: all of them when the file has no DACL at all. Empty when the
// descriptor cannot be read; handle needs READ_CONTROL.
std::optional<ACCESS_MASK> everyoneRights(HANDLE handle);

// Whether the file or folder is owned by the user the program runs as;
// false when either cannot be told. handle needs READ_CONTROL.
bool ownedByUser(HANDLE handle);

}  // namespace quib::windows

// The rules of Windows path names that the replacement of <vms> needs,
// free of any Windows call, so that they are tested on every system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quib::windows {

// The longest path, in UTF-16 units, that a program without long-path
// support may name: MAX_PATH less the terminating zero.
constexpr std::size_t longestPath = 259;

// The longest part of a path, in UTF-16 units, on NTFS and on every other
// file system Windows mounts.
constexpr std::size_t longestName = 255;

// Where the folder's part of a path ends: after its last slash or
// backslash, or after a drive letter's colon ("Z:out.vms"); 0 when the
// path has no folder part.
std::size_t nameStart(std::string_view path);

// Whether the path names a stream of a file ("out.vms:extra"): a colon in
// its last part, past the drive letter's.
bool namesStream(std::string_view path);

// Whether GetFullPathName's answer for a path makes it a device: "LPT1",
// "nul.txt" and "folder\con" become \\.\NAME. A path typed in that form
// already (\\.\Z:\out.vms) names what it names.
bool isDevice(std::string_view typed, std::string_view full);

// The stem of the hidden file beside target: the folder's part as typed,
// then ".", the name, "." (the random suffix follows). The name is cut
// short where the hidden name would pass longestName, or the hidden path,
// typed or full, longestPath;
// folderUnits is the longer of the two folder parts, in UTF-16 units.
std::string hiddenStemPath(std::string_view target, std::size_t folderUnits);

// The length of UTF-8 text in UTF-16 units.
std::size_t utf16Units(std::string_view text);

}  // namespace quib::windows

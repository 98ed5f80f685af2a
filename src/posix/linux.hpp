// What the replacement of <vms> asks of Linux beyond POSIX: the proc file
// system's descriptor links, the append-only and immutable attributes of a
// folder (statx), and extended attributes, ACLs among them.
#pragma once

namespace quib::posix {

// Whether the folder belongs to the proc file system, whose links
// (/proc/self/fd/3, and /dev/stdin through it) name a file some process
// holds open: such a link can be written through, never replaced.
bool isDescriptorFolder(int folder);

// Whether the folder's entries cannot be renamed or removed: it is
// append-only or immutable.
bool keepsEntries(int folder);

// Gives the file open as `to` exactly the extended attributes of the one
// open as `from`, its ACL among them: each value byte for byte, and none
// that `from` lacks (an ACL inherited from the folder). Both descriptors
// may be open for writing only. False when any of them cannot be read or
// set whole: the names take more room than the system lists at once, a
// value may not be read, a file system refuses one.
bool copyExtendedAttributes(int from, int to);

}  // namespace quib::posix

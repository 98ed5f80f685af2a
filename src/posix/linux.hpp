// What the replacement of <vms> asks of Linux beyond POSIX: the proc file
// system's descriptor links, mount points and the append-only and
// immutable attributes (statx), and extended attributes, ACLs among them.
#pragma once

#include <sys/stat.h>

namespace quib::posix {

// Whether the folder belongs to the proc file system, whose links
// (/proc/self/fd/3, and /dev/stdin through it) name a file some process
// holds open: such a link can be written through, never replaced.
bool isDescriptorFolder(int folder);

// Whether the folder's entries cannot be renamed or removed: it is
// append-only or immutable.
bool keepsEntries(int folder);

// Whether the entry is a mount point of its own, such as a single file
// bound into a container: it can be written, but never renamed over.
bool isMountPoint(int folder, const char* name, const struct stat& found);

// Gives the file open as `to` the extended attributes of the one at
// (folder, name), its ACL among them, and takes away those it has that the
// other lacks (an ACL inherited from the folder). What the user may not set
// or remove is left as it is.
void copyExtendedAttributes(int folder, const char* name, int to);

}  // namespace quib::posix

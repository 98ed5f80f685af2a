// What the replacement of <vms> asks of a system beyond POSIX: which folders
// hold links to open descriptors, whether a folder keeps its entries, and the
// copy of extended attributes and ACLs. Each system family answers in a file
// of its own (linux.cpp; bsd.cpp for macOS and FreeBSD), and plain.cpp
// answers for any other system with what POSIX alone can tell: where it
// cannot tell, its answer is the one that keeps the user's files and never
// widens access.
#pragma once

namespace quib::posix {

// Whether the folder belongs to a file system of descriptor links (Linux's
// /proc/self/fd, an fdesc /dev/fd), whose entries name a file some process
// holds open: such a name can be written through, never replaced. The
// core also knows /dev/fd and /proc/self/fd by their identity.
bool isDescriptorFolder(int folder);

// Whether the folder's entries cannot be renamed or removed: it is
// append-only or immutable. False where the system cannot say.
bool keepsEntries(int folder);

// Whether the system has calls that read and set every extended attribute
// and the ACL. Where it has none, an existing file is written in place,
// without first making a hidden file that a folder might never let go of.
bool copiesAttributes();

// Gives the file open as `to` exactly the extended attributes of the one
// open as `from`, its ACL among them: each value byte for byte, and none
// that `from` lacks (an ACL inherited from the folder). Both descriptors
// may be open for writing only. False when any of them cannot be read or
// set whole, or the system has no way to know them: the old file is then
// written in place.
bool copyExtendedAttributes(int from, int to);

}  // namespace quib::posix

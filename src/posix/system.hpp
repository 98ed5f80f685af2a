// What the replacement of <vms> asks of a system beyond POSIX: which folders
// hold links to open descriptors, whether a folder keeps its entries, the
// copy of extended attributes, ACLs and file flags, and room held on a disk
// before a file is overwritten, and unnamed files. Each system family
// answers in a file of its own (linux.cpp; bsd.cpp for macOS and FreeBSD),
// and plain.cpp with uncopied.cpp answers for any other system with what
// POSIX alone can tell: where it cannot tell, its answer is the one that
// keeps the user's files and never widens access. Unnamed files are
// Linux's alone; named.cpp says so for every other system. What every
// POSIX system has and WASI lacks (owners and modes, dup, the free room of
// a disk) is answered by files.cpp. WASI is a member of the family with far
// less: it shares plain.cpp and named.cpp, and wasi.cpp answers the rest.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>

namespace quib::posix {

// Whether the folder belongs to a file system of descriptor links (Linux's
// /proc/self/fd, an fdesc /dev/fd), whose entries name a file some process
// holds open: such a name can be written through, never replaced. Nothing
// where the system cannot tell: the core then knows /dev/fd and
// /proc/self/fd by their identity.
std::optional<bool> isDescriptorFolder(int folder);

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

// Gives the file open as `to` the flags of the one open as `from` that an
// owner may set (no dump, no access time, synchronous, compressed, no
// copy on write and their like), and clears those of them that `to` got
// from its folder. The capability flags (append-only, immutable) and the
// ones a file system sets itself are left alone. True when the two then
// agree; false when a flag cannot be given, and the old file is then
// written in place. No-CoW takes only on an empty file: call it before the
// first write, and again at the end to catch a change made meanwhile.
bool copyFlags(int from, int to);

// Makes the file hold room for length bytes without changing its size or
// its bytes, so that overwriting it cannot run out of space half-way.
// Unknown where the system or the file system has no such call.
enum class Room { held, refused, unknown };
Room holdRoom(int fd, long long length);

// An unnamed file in the folder, open for reading and writing, which a run
// killed at any moment leaves nowhere (Linux's O_TMPFILE); -1, with errno
// EOPNOTSUPP where the system or the file system has none, or the error
// a create in the folder meets. Created with mode as a new file is, the
// umask or the folder's default ACL applied.
int openUnnamed(int folder, mode_t mode);

// Gives the unnamed file a name in the folder, as a link; false, with the
// error (EEXIST for a name taken), where it cannot.
bool nameUnnamed(int fd, int folder, const char* name);

// Gives the file open as `to` the owner and group of `old`, or the group
// alone where the owner cannot be given (only root may give a file away).
bool giveOwner(int to, const struct stat& old);

// Sets the permission bits of the file open as fd.
bool giveMode(int fd, mode_t bits);

// Whether the file system can take length more bytes for the file, where
// no call can hold the room: its free blocks, less what the file has.
bool roomFor(int fd, off_t length);

// A second descriptor of the file open as fd, for writing, closed apart
// from it; -1 where there is none. name is the file's name in folder (empty
// for an unnamed file): a system without dup opens it again by that name,
// and makes sure it is the same file.
int secondWriter(int fd, int folder, const char* name);

}  // namespace quib::posix

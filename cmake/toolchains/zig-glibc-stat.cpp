// Zig 0.11 links glibc's stat functions from its own copies for a glibc
// older than 2.33, which exported none, and those copies set errno in the
// wrong place: a failed stat leaves it as it was, so a missing file cannot
// be told from any other failure. These take their place and call what
// glibc 2.17 does export, which sets errno itself. x86_64 only: there
// struct stat and struct stat64 are one layout, and the version is 1.
#include <fcntl.h>
#include <sys/stat.h>

extern "C" {

int __fxstatat64(int version, int fd, const char* path, struct stat64* buf, int flags);
int __fxstat64(int version, int fd, struct stat64* buf);

int fstatat64(int fd, const char* path, struct stat64* buf, int flags) {
    return __fxstatat64(1, fd, path, buf, flags);
}
int fstat64(int fd, struct stat64* buf) {
    return __fxstat64(1, fd, buf);
}
int stat64(const char* path, struct stat64* buf) {
    return __fxstatat64(1, AT_FDCWD, path, buf, 0);
}
int lstat64(const char* path, struct stat64* buf) {
    return __fxstatat64(1, AT_FDCWD, path, buf, AT_SYMLINK_NOFOLLOW);
}
}

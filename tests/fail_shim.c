/* Preloaded into the program under test to make the last step of a write
 * fail for real, where no file system here can: fclose of a file whose path
 * contains $QUIB_FAIL_CLOSE, or of an unnamed file (O_TMPFILE, which has no
 * path yet: the output), closes it and then reports EIO, as a full network
 * share would; renameat onto a name that contains $QUIB_FAIL_RENAME renames
 * nothing and reports EIO, and onto one that contains $QUIB_REFUSE_RENAME
 * reports EPERM, as a security module may. With $QUIB_NO_TMPFILE set, an
 * open of an unnamed file (O_TMPFILE) reports EOPNOTSUPP, as on a file system
 * that has none. The first time the length of the extended attribute
 * $QUIB_GROW_XATTR is asked, the answer is 0, as if the value grew right
 * after. Every other call goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

/* The C library's own function, which the one here stands in for. */
#define REAL(function) ((__typeof__(function)*)dlsym(RTLD_NEXT, #function))

static int named(const char* path, const char* variable) {
    const char* wanted = getenv(variable);
    return wanted != NULL && path != NULL && strstr(path, wanted) != NULL;
}

static int unnamedRefused(int flags) {
    if ((flags & O_TMPFILE) == O_TMPFILE && getenv("QUIB_NO_TMPFILE") != NULL) {
        errno = EOPNOTSUPP;
        return 1;
    }
    return 0;
}

/* (C++ programs call it by its 64-bit name.) */
int openat64(int folder, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    return unnamedRefused(flags) ? -1 : REAL(openat64)(folder, path, flags, mode);
}

int fclose(FILE* stream) {
    char link[64];
    char path[4096] = {0};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    const int unnamed = (fcntl(fileno(stream), F_GETFL) & O_TMPFILE) == O_TMPFILE;
    const int fail =
        (readlink(link, path, sizeof path - 1) > 0 && named(path, "QUIB_FAIL_CLOSE")) ||
        (unnamed && getenv("QUIB_FAIL_CLOSE") != NULL);
    const int result = REAL(fclose)(stream);
    if (fail) {
        errno = EIO;
        return EOF;
    }
    return result;
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    if (named(to, "QUIB_FAIL_RENAME") || named(to, "QUIB_REFUSE_RENAME")) {
        errno = named(to, "QUIB_FAIL_RENAME") ? EIO : EPERM;
        return -1;
    }
    return REAL(renameat)(fromFolder, from, toFolder, to);
}

static int grows(const char* name, size_t size) {
    static int asked = 0;
    const char* wanted = getenv("QUIB_GROW_XATTR");
    return size == 0 && wanted != NULL && strcmp(name, wanted) == 0 && asked++ == 0;
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
    return grows(name, size) ? 0 : REAL(fgetxattr)(fd, name, value, size);
}

ssize_t getxattr(const char* path, const char* name, void* value, size_t size) {
    return grows(name, size) ? 0 : REAL(getxattr)(path, name, value, size);
}

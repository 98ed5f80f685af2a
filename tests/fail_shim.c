/* Preloaded into the program under test to make the last step of a write
 * fail for real, where no file system here can: fclose of a file whose path
 * contains $QUIB_FAIL_CLOSE closes it and then reports EIO, as a full
 * network share would; renameat onto a name that contains $QUIB_FAIL_RENAME
 * renames nothing and reports EIO. Every other call goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int named(const char* path, const char* variable) {
    const char* wanted = getenv(variable);
    return wanted != NULL && path != NULL && strstr(path, wanted) != NULL;
}

int fclose(FILE* stream) {
    int (*real)(FILE*) = (int (*)(FILE*))dlsym(RTLD_NEXT, "fclose");
    char link[64];
    char path[4096] = {0};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    const int fail = readlink(link, path, sizeof path - 1) > 0 && named(path, "QUIB_FAIL_CLOSE");
    const int result = real(stream);
    if (fail) {
        errno = EIO;
        return EOF;
    }
    return result;
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    int (*real)(int, const char*, int, const char*) =
        (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
    if (named(to, "QUIB_FAIL_RENAME")) {
        errno = EIO;
        return -1;
    }
    return real(fromFolder, from, toFolder, to);
}

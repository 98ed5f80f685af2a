/* Preloaded into the program under test to make the last step of a write
 * fail for real, where no file system here can: fclose of a file whose path
 * contains $QUIB_FAIL_CLOSE closes it and then reports EIO, as a full
 * network share would; rename onto a path that contains $QUIB_FAIL_RENAME
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

int rename(const char* from, const char* to) {
    int (*real)(const char*, const char*) =
        (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    if (named(to, "QUIB_FAIL_RENAME")) {
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

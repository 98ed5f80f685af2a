/* What both floors share: the input read whole into one buffer that holds
 * the 704 bytes in front of it (zeros here: the container's header, its size
 * field and its mime block), and a write of that buffer that checks every
 * call. Nothing is printed: a failure shows in the exit status only. */
#ifndef QUIB_BENCH_FLOOR_H
#define QUIB_BENCH_FLOOR_H

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { FRONT = 652 + 4 + 48 };

/* Returns the buffer, FRONT + *size bytes, or NULL. */
static unsigned char *read_whole(const char *path, size_t *size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) return NULL;
    size_t length = (size_t)st.st_size;
    unsigned char *bytes = malloc(FRONT + length);
    if (bytes == NULL) return NULL;
    memset(bytes, 0, FRONT);
    for (size_t done = 0; done < length;) {
        ssize_t got = read(fd, bytes + FRONT + done, length - done);
        if (got <= 0) return NULL;
        done += (size_t)got;
    }
    if (close(fd) != 0) return NULL;
    *size = FRONT + length;
    return bytes;
}

/* One write in practice; the loop is there for a short one. */
static int write_whole(int fd, const unsigned char *bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t put = write(fd, bytes + done, size - done);
        if (put <= 0) return -1;
        done += (size_t)put;
    }
    return 0;
}

#endif

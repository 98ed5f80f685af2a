/* The safe floor: the least a program can do to make quib's promise, that
 * <vms> is either the old file or the whole new one. It writes the 704 + L
 * bytes under a hidden name beside <vms> (created exclusively by mkstemp),
 * closes it and renames it over <vms>. None of quib's care is here: no
 * attributes kept, no signal handled, no check of the name before the rename.
 *   floor-safe <image> <vms> */
#include <stdio.h>

#include "floor.h"

int main(int argc, char **argv) {
    size_t size;
    unsigned char *bytes = argc == 3 ? read_whole(argv[1], &size) : NULL;
    if (bytes == NULL) return 1;
    const char *slash = strrchr(argv[2], '/');
    int folder = slash == NULL ? 0 : (int)(slash - argv[2] + 1);  /* keeps the slash */
    char hidden[4096];
    if (snprintf(hidden, sizeof hidden, "%.*s.floor.XXXXXX", folder, argv[2]) >=
        (int)sizeof hidden)
        return 1;
    int fd = mkstemp(hidden);
    if (fd < 0) return 1;
    if (write_whole(fd, bytes, size) != 0 || close(fd) != 0 || rename(hidden, argv[2]) != 0) {
        unlink(hidden);
        return 1;
    }
    return 0;
}

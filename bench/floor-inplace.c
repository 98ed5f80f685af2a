/* The in-place floor: the least a program can do to turn <image> into a
 * <vms> of 704 + L bytes. It truncates <vms> and writes it where it is, so a
 * failure mid-way leaves a broken file: no promise, only the bytes moved.
 *   floor-inplace <image> <vms> */
#include "floor.h"

int main(int argc, char **argv) {
    size_t size;
    unsigned char *bytes = argc == 3 ? read_whole(argv[1], &size) : NULL;
    if (bytes == NULL) return 1;
    int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || write_whole(fd, bytes, size) != 0 || close(fd) != 0) return 1;
    return 0;
}

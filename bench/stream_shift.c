/* The lower bound of any design for one big file: an in-place shift by 3
 * bytes through a 1 MiB buffer, then a cut. It needs almost no memory, but
 * a failure half-way leaves the file neither old nor new, which is why the
 * tool does not work this way; it is shown for reference.
 *
 *   stream_shift FILE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: stream_shift FILE\n");
    return 2;
  }
  static char buffer[1 << 20];
  int fd = open(argv[1], O_RDWR);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 3) return 1;
  off_t from = 3, to = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, from);
    if (n < 0) return 1;
    if (n == 0) break;
    for (ssize_t put = 0; put < n;) {
      ssize_t w = pwrite(fd, buffer + put, (size_t)(n - put), to + put);
      if (w <= 0) return 1;
      put += w;
    }
    from += n;
    to += n;
  }
  return ftruncate(fd, to) == 0 && close(fd) == 0 ? 0 : 1;
}

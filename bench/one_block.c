/* One block, one file: what stripping one big file costs at the least.
 *
 * Written like the floor: opens the file, allocates one block of its size,
 * reads it whole, writes it back in place without the first 3 bytes and
 * cuts the file. The block is allocated as the first argument says, so that
 * the ways to allocate can be measured against each other:
 *   malloc     malloc, pages faulted in by the read
 *   mmap       anonymous map, pages faulted in by the read
 *   populate   anonymous map with MAP_POPULATE (4 KiB pages, filled first)
 *   huge       anonymous map, MADV_HUGEPAGE then MADV_POPULATE_WRITE
 *   hugefault  anonymous map, MADV_HUGEPAGE, pages faulted in by the read
 *
 *   one_block HOW FILE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

static char* allocate(const char* how, size_t size) {
  if (!strcmp(how, "malloc")) return malloc(size);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (!strcmp(how, "populate")) flags |= MAP_POPULATE;
  char* block = mmap(NULL, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (block == MAP_FAILED) return NULL;
  if (!strncmp(how, "huge", 4)) madvise(block, size, MADV_HUGEPAGE);
  if (!strcmp(how, "huge")) madvise(block, size, MADV_POPULATE_WRITE);
  return block;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: one_block malloc|mmap|populate|huge|hugefault FILE\n");
    return 2;
  }
  int fd = open(argv[2], O_RDWR);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 3) return 1;
  size_t size = (size_t)info.st_size;
  char* block = allocate(argv[1], size);
  if (!block) return 1;
  for (size_t got = 0; got < size;) {
    ssize_t n = pread(fd, block + got, size - got, (off_t)got);
    if (n <= 0) return 1;
    got += (size_t)n;
  }
  for (size_t put = 0; put < size - 3;) {
    ssize_t n = pwrite(fd, block + 3 + put, size - 3 - put, (off_t)put);
    if (n <= 0) return 1;
    put += (size_t)n;
  }
  return ftruncate(fd, (off_t)(size - 3)) == 0 && close(fd) == 0 ? 0 : 1;
}

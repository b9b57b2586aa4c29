/* The floor: the fewest system calls that can strip marks from a tree.
 *
 * Lists each folder with readdir, opens every regular file and reads its
 * first 4 bytes, and rewrites only the files that begin with EF BB BF, in
 * place: read whole, write back without the mark, truncate. No messages, no
 * safety net; it is here to be measured against.
 *
 *   floor DIR
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void strip(int dir, const char* name) {
  int fd = openat(dir, name, O_RDWR);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && info.st_size >= 3) {
    size_t size = (size_t)info.st_size;
    char* bytes = malloc(size);
    size_t got = 0;
    while (bytes && got < size) {
      ssize_t n = pread(fd, bytes + got, size - got, (off_t)got);
      if (n <= 0) break;
      got += (size_t)n;
    }
    if (bytes && got == size) {
      size_t put = 0;
      while (put < size - 3) {
        ssize_t n = pwrite(fd, bytes + 3 + put, size - 3 - put, (off_t)put);
        if (n <= 0) break;
        put += (size_t)n;
      }
      if (ftruncate(fd, (off_t)(size - 3)) != 0) perror(name);
    }
    free(bytes);
  }
  close(fd);
}

static void walk(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_type == DT_DIR) {
      if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
        walk(fd, entry->d_name);
    } else if (entry->d_type == DT_REG) {
      int file = openat(fd, entry->d_name, O_RDONLY);
      if (file < 0) continue;
      unsigned char head[4];
      ssize_t n = read(file, head, sizeof head);
      close(file);
      if (n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
        strip(fd, entry->d_name);
    }
  }
  closedir(dir);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: floor DIR\n");
    return 2;
  }
  walk(AT_FDCWD, argv[1]);
  return 0;
}

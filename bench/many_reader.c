/* A many-thread reader: the best a cold disk can do for the mark gate.
 *
 * Lists the tree with one thread, then opens every regular file and reads
 * its first 4 bytes with 32 threads at once, so that 32 reads are in flight
 * all the time. It changes nothing; it is here to be measured against.
 *
 * With --strip it also strips, on the same 32 threads, the files that begin
 * with EF BB BF, in the fewest calls: open for writing, read whole, write
 * back without the mark, truncate, close. No messages, no checks, no safety
 * net: the least work a strip can do where every call waits on a server.
 *
 *   many_reader [--strip] DIR
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kThreads = 32 };

static char** paths;
static size_t count, capacity;
static size_t next_path;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void add(const char* path) {
  if (count == capacity) {
    capacity = capacity ? capacity * 2 : 1024;
    paths = realloc(paths, capacity * sizeof *paths);
  }
  paths[count++] = strdup(path);
}

static void walk(const char* folder) {
  DIR* dir = opendir(folder);
  if (!dir) return;
  struct dirent* entry;
  char path[4096];
  while ((entry = readdir(dir)) != NULL) {
    if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
    snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
    if (entry->d_type == DT_DIR) walk(path);
    else if (entry->d_type == DT_REG) add(path);
  }
  closedir(dir);
}

static int strip_marked;

static void strip(const char* path) {
  int fd = open(path, O_RDWR);
  if (fd < 0) return;
  size_t size = 0, capacity = 0;
  char* bytes = NULL;
  for (;;) {
    if (size == capacity) {
      capacity = capacity ? capacity * 2 : 64 * 1024;
      bytes = realloc(bytes, capacity);
    }
    ssize_t n = pread(fd, bytes + size, capacity - size, (off_t)size);
    if (n <= 0) break;
    size += (size_t)n;
  }
  if (size >= 3) {
    size_t put = 0;
    while (put < size - 3) {
      ssize_t n = pwrite(fd, bytes + 3 + put, size - 3 - put, (off_t)put);
      if (n <= 0) break;
      put += (size_t)n;
    }
    if (ftruncate(fd, (off_t)(size - 3)) != 0) perror(path);
  }
  free(bytes);
  close(fd);
}

static void* reader(void* unused) {
  (void)unused;
  unsigned char head[4];
  for (;;) {
    pthread_mutex_lock(&lock);
    size_t at = next_path++;
    pthread_mutex_unlock(&lock);
    if (at >= count) return NULL;
    int fd = open(paths[at], O_RDONLY);
    if (fd < 0) continue;
    ssize_t n = read(fd, head, sizeof head);
    if (n < 0) perror(paths[at]);
    close(fd);
    if (strip_marked && n >= 3 && head[0] == 0xEF && head[1] == 0xBB &&
        head[2] == 0xBF)
      strip(paths[at]);
  }
}

int main(int argc, char** argv) {
  strip_marked = argc == 3 && !strcmp(argv[1], "--strip");
  if (argc != 2 + strip_marked) {
    fprintf(stderr, "usage: many_reader [--strip] DIR\n");
    return 2;
  }
  walk(argv[argc - 1]);
  pthread_t threads[kThreads];
  for (int i = 0; i < kThreads; ++i) pthread_create(&threads[i], 0, reader, 0);
  for (int i = 0; i < kThreads; ++i) pthread_join(threads[i], 0);
  return 0;
}

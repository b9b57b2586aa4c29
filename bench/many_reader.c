/* A many-thread reader: the best a cold disk can do for the mark gate.
 *
 * Lists the tree with one thread, then opens every regular file and reads
 * its first 4 bytes with 32 threads at once, so that 32 reads are in flight
 * all the time. It changes nothing; it is here to be measured against.
 *
 *   many_reader DIR
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
    if (read(fd, head, sizeof head) < 0) perror(paths[at]);
    close(fd);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: many_reader DIR\n");
    return 2;
  }
  walk(argv[1]);
  pthread_t threads[kThreads];
  for (int i = 0; i < kThreads; ++i) pthread_create(&threads[i], 0, reader, 0);
  for (int i = 0; i < kThreads; ++i) pthread_join(threads[i], 0);
  return 0;
}

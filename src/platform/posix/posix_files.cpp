// Files and memory blocks on POSIX.
//
// There are no share modes here, and root passes over permission bits, so the
// Windows rules are given by hand where they can be: a file whose permission
// bits grant write to no one is read-only and refused by every open that
// writes, and only regular files are opened for writing.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

// Above this a block is mapped with its pages populated up front: a huge
// calloc'd block first touched by read() pays a page fault per page.
constexpr std::size_t kMappedBlockSize = std::size_t{1} << 20;

int OpenFlags(OpenDisposition disposition) {
  // O_NONBLOCK keeps a FIFO that took a file's place from blocking the open;
  // it changes nothing for regular files.
  const int common = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (disposition) {
    case OpenDisposition::kReadExisting:
      return common | O_RDONLY;
    case OpenDisposition::kUpdateExisting:
      return common | O_RDWR;
    case OpenDisposition::kReplace:
      return common | O_RDWR | O_CREAT;
    case OpenDisposition::kTruncateExisting:
      return common | O_WRONLY;
    case OpenDisposition::kCreateNew:
      return common | O_RDWR | O_CREAT | O_EXCL;
  }
  return common | O_RDONLY;
}

bool IsWritableRegularFile(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
         (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace

NativeFile PosixPlatform::FileOpen(const std::string& path,
                                   OpenDisposition disposition) {
  int fd = -1;
  do {
    fd = open(path.c_str(), OpenFlags(disposition), 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kNoNativeFile;
  if (disposition == OpenDisposition::kReadExisting ||
      disposition == OpenDisposition::kCreateNew) {
    return fd;
  }
  // Checked before anything is emptied: truncating at open would already
  // have destroyed a read-only file when running as root.
  const bool empties = disposition == OpenDisposition::kReplace ||
                       disposition == OpenDisposition::kTruncateExisting;
  if (!IsWritableRegularFile(fd) || (empties && ftruncate(fd, 0) != 0)) {
    close(fd);
    return kNoNativeFile;
  }
  return fd;
}

std::int32_t PosixPlatform::FileRead(NativeFile file, void* destination,
                                     std::int32_t count) {
  auto* out = static_cast<char*>(destination);
  std::int32_t total = 0;
  while (total < count) {
    const ssize_t got = read(static_cast<int>(file), out + total,
                             static_cast<std::size_t>(count - total));
    if (got > 0) {
      total += static_cast<std::int32_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // end of file or an error: deliver what came
    }
  }
  return total;
}

std::int32_t PosixPlatform::FileWrite(NativeFile file, const void* source,
                                      std::int32_t count) {
  const auto* in = static_cast<const char*>(source);
  std::int32_t total = 0;
  while (total < count) {
    const ssize_t put = write(static_cast<int>(file), in + total,
                              static_cast<std::size_t>(count - total));
    if (put > 0) {
      total += static_cast<std::int32_t>(put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return total;
}

std::int64_t PosixPlatform::FileSize(NativeFile file) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool PosixPlatform::FileClose(NativeFile file) {
  // On Linux the descriptor is gone even when close reports EINTR, and
  // write() has already handed every byte to the kernel.
  return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

bool PosixPlatform::FileIdentityOf(NativeFile file, FileIdentity& identity) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return false;
  identity = {static_cast<std::uint64_t>(info.st_dev),
              static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

void* PosixPlatform::BlockAllocate(std::size_t size) {
  if (size < kMappedBlockSize) return std::calloc(size, 1);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void PosixPlatform::BlockRelease(void* block, std::size_t size) {
  if (size < kMappedBlockSize) {
    std::free(block);
  } else {
    munmap(block, size);
  }
}

}  // namespace sarnelux

// Files and memory blocks on POSIX.
//
// There are no share modes here, and root passes over permission bits, so the
// Windows rules are given by hand where they can be: a file whose permission
// bits grant write to no one is read-only and refused by every open that
// writes, and only regular files are opened for writing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

// Above this a block is mapped with its pages populated up front: a huge
// calloc'd block first touched by read() pays a page fault per page.
constexpr std::size_t kMappedBlockSize = std::size_t{1} << 20;

#ifdef __linux__
// MADV_POPULATE_WRITE, Linux 5.14; older headers do not name it.
constexpr int kPopulateWrite = 23;
#endif

// Reads in a row that find their data uncached before reading ahead starts.
constexpr int kUncachedReadsToReadAhead = 4;

// Linux moves at most this much in one read() or write().
constexpr ssize_t kLargestTransfer = 0x7ffff000;

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

bool IsWritableRegularFile(const struct stat& info) {
  return S_ISREG(info.st_mode) &&
         (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

FileIdentity IdentityOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev),
          static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

int PosixPlatform::FolderOf(const std::string& path, const char*& name) const {
  name = path.c_str();
  if (listings_.empty()) return AT_FDCWD;
  const std::string& prefix = listings_.back()->path;
  if (path.size() <= prefix.size() ||
      path.compare(0, prefix.size(), prefix) != 0 ||
      path.find('/', prefix.size()) != std::string::npos) {
    return AT_FDCWD;
  }
  name += prefix.size();
  return dirfd(listings_.back()->dir);
}

int PosixPlatform::OpenAt(const std::string& path, int flags) {
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  int fd = -1;
  do {
    fd = openat(folder, name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

PosixPlatform::Replacing* PosixPlatform::FindReplacing(int fd) {
  for (Replacing& replacing : replacing_) {
    if (replacing.fd == fd) return &replacing;
  }
  return nullptr;
}

void PosixPlatform::ReleaseUpdateLock() {
  if (update_lock_ < 0 || update_open_) return;
  close(update_lock_);
  update_lock_ = -1;
}

NativeFile PosixPlatform::FileOpen(const std::string& path,
                                   OpenDisposition disposition) {
  if (disposition == OpenDisposition::kUpdateExisting) ReleaseUpdateLock();
  const bool replacing = disposition == OpenDisposition::kReplace ||
                         disposition == OpenDisposition::kTruncateExisting;
  if (replacing && update_lock_ >= 0 && !update_open_ && path == update_path_) {
    // The file this run read and holds locked: written over in place
    // through the same descriptor.
    replacing_.push_back({update_lock_, 0, false});
    writers_.push_back(update_lock_);
    return update_lock_;
  }
  if (disposition == OpenDisposition::kReadExisting) {
    int fd = TakeOpenedAhead(path);
    if (fd < 0) fd = OpenAt(path, OpenFlags(disposition));
    if (fd >= 0) gate_fd_ = fd;
    return fd < 0 ? kNoNativeFile : fd;
  }
  const int fd = OpenAt(path, OpenFlags(disposition));
  if (fd < 0) return kNoNativeFile;
  if (disposition == OpenDisposition::kCreateNew) {
    writers_.push_back(fd);
    return fd;
  }
  // Checked before anything is written: root could write a read-only file.
  struct stat info {};
  if (fstat(fd, &info) != 0 || !IsWritableRegularFile(info)) {
    close(fd);
    return kNoNativeFile;
  }
  if (disposition == OpenDisposition::kUpdateExisting) {
    // Another run of the tool holds this file: pass it over, as a file held
    // open for writing by another program is on Windows.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return kNoNativeFile;
    }
    update_lock_ = fd;
    update_open_ = true;
    update_path_ = path;
  }
  known_ = {fd, static_cast<std::int64_t>(info.st_size), IdentityOf(info)};
  if (replacing) {
    replacing_.push_back({fd, 0, false});
    writers_.push_back(fd);
  }
  return fd;
}

std::int32_t PosixPlatform::FileRead(NativeFile file, void* destination,
                                     std::int32_t count) {
  const int fd = static_cast<int>(file);
  // A file being replaced ends where its new content does.
  if (FindReplacing(fd) != nullptr || fd == at_end_fd_) return 0;
  auto* out = static_cast<char*>(destination);
  std::int32_t total = 0;
  if (fd == gate_fd_ && !prefetching_ && prefetch_depth_ > 0) {
    // Asks the page cache alone first: the same one call when the data is
    // there, and the sign to start reading ahead when it is not. One such
    // sign is not enough: on a warm tree just written, a page now and then
    // is not to be had without waiting (seen about once in four runs over
    // 50,000 files), and reading ahead there would only cost calls.
    iovec into{out, static_cast<std::size_t>(count)};
    const ssize_t got = preadv2(fd, &into, 1, -1, RWF_NOWAIT);
    if (got == count) {
      uncached_reads_ = 0;
      return count;
    }
    if (got > 0) total = static_cast<std::int32_t>(got);
    if (got < 0 && errno == EAGAIN) {
      prefetching_ = ++uncached_reads_ >= kUncachedReadsToReadAhead;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) prefetch_depth_ = 0;
  }
  while (total < count) {
    const auto wanted = static_cast<std::size_t>(count - total);
    const ssize_t got = read(fd, out + total, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of file or an error: deliver what came
    total += static_cast<std::int32_t>(got);
    // A regular file comes short only at its end, or at Linux's cap on one
    // transfer; asking again just to hear "end of file" costs a call.
    if (static_cast<std::size_t>(got) < wanted && got != kLargestTransfer) {
      at_end_fd_ = fd;
      break;
    }
  }
  return total;
}

std::int32_t PosixPlatform::FileWrite(NativeFile file, const void* source,
                                      std::int32_t count) {
  const int fd = static_cast<int>(file);
  if (known_.fd == fd) known_.fd = -1;
  Replacing* replacing = FindReplacing(fd);
  const auto* in = static_cast<const char*>(source);
  std::int32_t total = 0;
  while (total < count) {
    const auto wanted = static_cast<std::size_t>(count - total);
    const ssize_t put = replacing != nullptr
                            ? pwrite(fd, in + total, wanted, replacing->written)
                            : write(fd, in + total, wanted);
    if (put > 0) {
      total += static_cast<std::int32_t>(put);
      if (replacing != nullptr) replacing->written += put;
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (total < count && replacing != nullptr) replacing->fell_short = true;
  return total;
}

std::int64_t PosixPlatform::FileSize(NativeFile file) {
  if (const Replacing* replacing = FindReplacing(static_cast<int>(file))) {
    return replacing->written;
  }
  if (known_.fd == file) return known_.size;
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool PosixPlatform::FileClose(NativeFile file) {
  const int fd = static_cast<int>(file);
  if (known_.fd == fd) known_.fd = -1;
  if (at_end_fd_ == fd) at_end_fd_ = -1;
  if (gate_fd_ == fd) gate_fd_ = -1;
  std::erase(writers_, fd);
  bool complete = true;
  if (Replacing* replacing = FindReplacing(fd)) {
    // Cut off what is left of the old content, unless a write fell short:
    // then what lies beyond the bytes that landed is still the old content,
    // and cutting there would lose it.
    complete = !replacing->fell_short && ftruncate(fd, replacing->written) == 0;
    replacing_.erase(replacing_.begin() + (replacing - replacing_.data()));
  }
  if (fd == update_lock_) {
    // Kept open for its lock until the walk moves on.
    update_open_ = false;
    return complete;
  }
  // On Linux the descriptor is gone even when close reports EINTR, and
  // write() has already handed every byte to the kernel.
  return (close(fd) == 0 || errno == EINTR) && complete;
}

bool PosixPlatform::FileRemove(const std::string& path) {
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  return unlinkat(folder, name, 0) == 0 || errno == ENOENT;
}

bool PosixPlatform::FileIdentityOf(NativeFile file, FileIdentity& identity) {
  if (known_.fd == file) {
    identity = known_.identity;
    return true;
  }
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return false;
  identity = IdentityOf(info);
  return true;
}

void* PosixPlatform::BlockAllocate(std::size_t size) {
  if (size < kMappedBlockSize) return std::calloc(size, 1);
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
#ifdef __linux__
  // Huge pages where the system lends them, and every page in place before
  // the read: faulting a gigabyte in 4 KiB at a time costs more than
  // copying it.
  madvise(block, size, MADV_HUGEPAGE);
  if (madvise(block, size, kPopulateWrite) != 0) {
    // Older kernels: touch one byte a page, which the kernel zero-fills.
    auto* bytes = static_cast<volatile unsigned char*>(block);
    for (std::size_t at = 0; at < size; at += 4096) bytes[at] = 0;
  }
#endif
  return block;
}

void PosixPlatform::BlockRelease(void* block, std::size_t size) {
  if (size < kMappedBlockSize) {
    std::free(block);
  } else {
    munmap(block, size);
  }
}

}  // namespace sarnelux

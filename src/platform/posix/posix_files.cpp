// Files and memory blocks on POSIX.
//
// There are no share modes here, and root passes over permission bits, so the
// Windows rules are given by hand where they can be: a file whose permission
// bits grant write to no one is read-only and refused by every open that
// writes, and only regular files are opened for writing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_gate.h"
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

// Linux moves at most this much in one read() or write().
constexpr ssize_t kLargestTransfer = 0x7ffff000;

// Moves count bytes through `step` (one read or write of up to n bytes into
// or out of `at`), again after EINTR and on after a short transfer, until
// the file ends or the system fails; returns the bytes moved.
template <typename Step>
std::int32_t Transfer(void* bytes, std::int32_t count, Step step) {
  auto* const start = static_cast<char*>(bytes);
  std::int32_t total = 0;
  while (total < count) {
    const ssize_t moved =
        step(start + total, static_cast<std::size_t>(count - total));
    if (moved > 0) {
      total += static_cast<std::int32_t>(moved);
    } else if (moved < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return total;
}

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
    case OpenDisposition::kCreateRecord:
      return common | O_RDWR | O_CREAT | O_EXCL;
    case OpenDisposition::kTakeRecord:
      // A link in the state folder is never a record.
      return common | O_RDWR | O_NOFOLLOW;
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

// What is asked of a file just opened: its kind, permissions, owner,
// identity, length and blocks, never its times. A read invalidates the
// access time a FUSE or network file system holds for the file, so fstat
// would ask the server again for every file read ahead and then opened to
// be rewritten; asked for no times, the kernel answers from what it learned
// as the file was named, for as long as that holds. Other fields are left
// zero.
int StatOpened(int fd, struct stat& info) {
#if defined(__linux__) && defined(STATX_BASIC_STATS)
  constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK |
                               STATX_UID | STATX_GID | STATX_INO | STATX_SIZE |
                               STATX_BLOCKS;
  struct statx got {};
  if (statx(fd, "", AT_EMPTY_PATH, kWanted, &got) == 0 &&
      (got.stx_mask & kWanted) == kWanted) {
    info = {};
    info.st_dev = makedev(got.stx_dev_major, got.stx_dev_minor);
    info.st_ino = static_cast<ino_t>(got.stx_ino);
    info.st_mode = got.stx_mode;
    info.st_nlink = static_cast<nlink_t>(got.stx_nlink);
    info.st_uid = got.stx_uid;
    info.st_gid = got.stx_gid;
    info.st_size = static_cast<off_t>(got.stx_size);
    info.st_blocks = static_cast<blkcnt_t>(got.stx_blocks);
    return 0;
  }
  // A kernel or a sandbox without statx, or a file system that could not
  // give every field: fstat says it all, or why not.
#endif
  return fstat(fd, &info);
}

}  // namespace

bool MayFollowLink(uid_t link_owner, uid_t target_owner) {
  static const uid_t user = geteuid();
  return link_owner == user || link_owner == target_owner;
}

bool ReachedAsNamed(int folder, const char* name, const struct stat& opened) {
  struct stat named {};
  if (fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(named.st_mode)) return MayFollowLink(named.st_uid, opened.st_uid);
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

void PosixPlatform::NoteFailure(int error) {
  last_failure_ = {std::strerror(error), false,
                   error == EMFILE || error == ENFILE || error == ENOMEM};
}

void PosixPlatform::NoteHeldOff(const char* reason) {
  last_failure_ = {reason, true};
}

void PosixPlatform::NoteWriteRefused(const std::string& path, int error) {
  struct stat info {};
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  if (error == EACCES && fstatat(folder, name, &info, 0) == 0 &&
      (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    NoteHeldOff("read-only file");
  } else {
    NoteFailure(error);
  }
}

PathKind PosixPlatform::KindOfPath(const std::string& path) {
  // The path itself, not what a trailing slash would make of a link.
  std::string own = path;
  while (own.size() > 1 && own.back() == '/') own.pop_back();
  struct stat info {};
  if (lstat(own.c_str(), &info) != 0) {
    NoteFailure(errno);
    return PathKind::kMissing;
  }
  if (S_ISLNK(info.st_mode)) {
    const uid_t link_owner = info.st_uid;
    if (stat(own.c_str(), &info) != 0) {
      NoteFailure(errno);
      return PathKind::kMissing;
    }
    if (!MayFollowLink(link_owner, info.st_uid)) {
      return PathKind::kUnfollowedLink;
    }
  }
  if (S_ISDIR(info.st_mode)) return PathKind::kFolder;
  return S_ISREG(info.st_mode) ? PathKind::kFile : PathKind::kOther;
}

int PosixPlatform::FolderOf(const std::string& path, const char*& name) const {
  name = path.c_str();
  if (listings_.empty()) return AT_FDCWD;
  const std::string& prefix = listings_.back()->path;
  // An entry of the innermost folder; a folder's path may end with '/'.
  const std::size_t slash = path.find('/', prefix.size());
  if (path.size() <= prefix.size() ||
      path.compare(0, prefix.size(), prefix) != 0 ||
      (slash != std::string::npos && slash + 1 != path.size())) {
    return AT_FDCWD;
  }
  name += prefix.size();
  return gate_->Descriptor(listings_.back()->folder);
}

int PosixPlatform::OpenAt(const std::string& path, int flags, mode_t mode) {
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  int fd = -1;
  do {
    fd = openat(folder, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int PosixPlatform::OpenListedForReading(const std::string& path, int flags) {
  const GateEntry* listed = ListedEntry(path);
  const bool through_link = listed != nullptr && listed->through_link;
  const int fd = OpenAt(
      path, listed != nullptr && !through_link ? flags | O_NOFOLLOW : flags);
  if (fd < 0) {
    if (errno == ELOOP && listed != nullptr && !through_link) {
      last_failure_ = {"became a link that is not followed", false};
    } else {
      NoteFailure(errno);
    }
    return -1;
  }
  if (!through_link) return fd;
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  struct stat opened {};
  if (StatOpened(fd, opened) == 0 && ReachedAsNamed(folder, name, opened)) {
    return fd;
  }
  close(fd);
  last_failure_ = {"became a link that is not followed", false};
  return -1;
}

void PosixPlatform::NoteWriter(int fd) {
  // What the open learned of the file no longer holds once it is written.
  if (known_.fd == fd) known_.fd = -1;
  // A record is made to be left in any state: it holds no signal off.
  if (std::find(records_.begin(), records_.end(), fd) != records_.end()) {
    return;
  }
  if (std::find(writers_.begin(), writers_.end(), fd) == writers_.end()) {
    writers_.push_back(fd);
  }
}

NativeFile PosixPlatform::FileOpen(const std::string& path,
                                   OpenDisposition disposition) {
  if (disposition == OpenDisposition::kReadExisting) {
    int fd = TakeOpenedAhead(path);
    if (fd == kAnsweredFile) return kAnsweredFile;
    if (fd < 0) fd = OpenListedForReading(path, OpenFlags(disposition));
    if (fd >= 0) gate_fd_ = fd;
    return fd < 0 ? kNoNativeFile : fd;
  }
  const bool record = disposition == OpenDisposition::kCreateRecord ||
                      disposition == OpenDisposition::kTakeRecord;
  // A record is for this user's runs alone to read and write, and a copy
  // beside a file holds that file's bytes: no one else may read it before
  // it has the file's own permissions.
  const bool own = record || disposition == OpenDisposition::kCreateNew;
  // A file to rewrite is opened as no link first: one that is opened so
  // needs no look at its name after (one call for every file a strip
  // meets); a link is opened as before and judged by its name below.
  const bool update = disposition == OpenDisposition::kUpdateExisting;
  if (update && SarneluxBeforeFileUpdate != nullptr) {
    SarneluxBeforeFileUpdate(path.c_str());
  }
  int fd = update ? OpenAt(path, OpenFlags(disposition) | O_NOFOLLOW) : -1;
  const bool no_link = fd >= 0;
  if (!no_link && (!update || errno == ELOOP)) {
    fd = OpenAt(path, OpenFlags(disposition), own ? 0600 : 0666);
  }
  if (fd < 0) {
    if (record && errno == ELOOP) {
      last_failure_ = {"record is a link", false, false, true};
    } else if (record && (errno == EACCES || errno == EPERM)) {
      last_failure_ = {"record belongs to another user", false, false, true};
    } else {
      NoteWriteRefused(path, errno);
    }
    return kNoNativeFile;
  }
  if (record) {
    struct stat held {};
    const char* refusal = fstat(fd, &held) != 0 ? "" : RecordRefusal(held);
    // Checked before anything else, the lock included. Then held by this
    // run alone: another run passes over a record this one holds. One
    // removed by another run between the open and the lock is not this
    // run's either, and neither is to be told of.
    if (refusal != nullptr || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        fstat(fd, &held) != 0 || held.st_nlink == 0) {
      last_failure_ = {};
      if (refusal != nullptr && *refusal != '\0' && held.st_nlink != 0) {
        last_failure_ = {refusal, false, false, true};
      }
      close(fd);
      return kNoNativeFile;
    }
    records_.push_back(fd);
    return fd;
  }
  if (disposition == OpenDisposition::kCreateNew) {
    NoteWriter(fd);
    return fd;
  }
  // Checked before anything is written: root could write a read-only file.
  struct stat info {};
  if (StatOpened(fd, info) != 0 || !IsWritableRegularFile(info)) {
    if (S_ISREG(info.st_mode)) {
      NoteHeldOff("read-only file");
    } else {
      NoteFailure(EINVAL);
    }
    close(fd);
    return kNoNativeFile;
  }
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  if (!no_link && !ReachedAsNamed(folder, name, info)) {
    last_failure_ = {"became a link that is not followed", false};
    close(fd);
    return kNoNativeFile;
  }
  // Another run of the tool holds this file: pass it over, as a file held
  // open for writing by another program is on Windows. The lock lasts as
  // long as the descriptor, through the whole rewrite.
  if (disposition == OpenDisposition::kUpdateExisting &&
      flock(fd, LOCK_EX | LOCK_NB) != 0) {
    NoteHeldOff("locked by another run");
    close(fd);
    return kNoNativeFile;
  }
  if (disposition == OpenDisposition::kReplace ||
      disposition == OpenDisposition::kTruncateExisting) {
    NoteWriter(fd);
    if (ftruncate(fd, 0) != 0) {
      NoteFailure(errno);
      FileClose(fd);
      return kNoNativeFile;
    }
    info.st_size = 0;
  }
  known_ = {fd, static_cast<std::int64_t>(info.st_size), IdentityOf(info),
            static_cast<std::int64_t>(info.st_blocks) * 512};
  return fd;
}

std::int32_t PosixPlatform::FileRead(NativeFile file, void* destination,
                                     std::int32_t count) {
  const int fd = static_cast<int>(file);
  if (fd == at_end_fd_) return 0;
  auto* out = static_cast<char*>(destination);
  std::int32_t total = 0;
  if (fd == kAnsweredFile) {
    const int left = answered_.count - answered_.taken;
    total = std::min(count, left);
    std::memcpy(out, answered_.head + answered_.taken,
                static_cast<std::size_t>(total));
    answered_.taken += total;
    return total;
  }
  if (fd == gate_fd_) {
    gate_fd_ = -1;
    total = gate_->FirstRead(fd, out, count);
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
  NoteWriter(fd);
  return Transfer(const_cast<void*>(source), count,
                  [fd](char* at, std::size_t n) { return write(fd, at, n); });
}

std::int32_t PosixPlatform::FileReadAt(NativeFile file, std::int64_t offset,
                                       void* destination, std::int32_t count) {
  const int fd = static_cast<int>(file);
  char* const start = static_cast<char*>(destination);
  // A read cut short where the file ended when it was opened, unwritten
  // since, has met the end: asking again would cost a call (on FUSE a
  // round trip to the daemon) only to be told so. A file grown meanwhile
  // reads as one grown just after.
  const std::int64_t end = known_.fd == fd ? known_.size : -1;
  return Transfer(destination, count, [=](char* at, std::size_t n) {
    const std::int64_t from = offset + (at - start);
    if (at != start && from == end) return ssize_t{0};
    return pread(fd, at, n, static_cast<off_t>(from));
  });
}

std::int32_t PosixPlatform::FileWriteAt(NativeFile file, std::int64_t offset,
                                        const void* source,
                                        std::int32_t count) {
  const int fd = static_cast<int>(file);
  NoteWriter(fd);
  auto* const start = static_cast<char*>(const_cast<void*>(source));
  return Transfer(start, count, [=](char* at, std::size_t n) {
    return pwrite(fd, at, n, static_cast<off_t>(offset + (at - start)));
  });
}

bool PosixPlatform::FileTruncate(NativeFile file, std::int64_t length) {
  const int fd = static_cast<int>(file);
  if (known_.fd == fd) known_.fd = -1;
  int result = 0;
  do {
    result = ftruncate(fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

std::int64_t PosixPlatform::FileSize(NativeFile file) {
  if (file == kAnsweredFile) return -1;
  if (known_.fd == file) return known_.size;
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool PosixPlatform::FileClose(NativeFile file) {
  const int fd = static_cast<int>(file);
  if (fd == kAnsweredFile) {
    answered_.open = false;
    return true;
  }
  if (known_.fd == fd) known_.fd = -1;
  if (at_end_fd_ == fd) at_end_fd_ = -1;
  if (gate_fd_ == fd) gate_fd_ = -1;
  std::erase(writers_, fd);
  std::erase(records_, fd);
  // On Linux the descriptor is gone even when close reports EINTR, and
  // write() has already handed every byte to the kernel.
  return close(fd) == 0 || errno == EINTR;
}

bool PosixPlatform::FileFlush(NativeFile file) {
  int result = 0;
  do {
    result = fdatasync(static_cast<int>(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool PosixPlatform::FilesFlush(const std::vector<NativeFile>& files) {
  // One syncfs per file system writes out and flushes everything on it:
  // one disk flush for all of the files, where each fdatasync costs one.
  std::vector<dev_t> flushed;
  for (const NativeFile file : files) {
    struct stat info {};
    if (fstat(static_cast<int>(file), &info) != 0) return false;
    if (std::find(flushed.begin(), flushed.end(), info.st_dev) !=
        flushed.end()) {
      continue;
    }
    if (syncfs(static_cast<int>(file)) != 0) return false;
    flushed.push_back(info.st_dev);
  }
  return true;
}

long OpenFilesLimit() {
  rlimit files{};
  return getrlimit(RLIMIT_NOFILE, &files) == 0 &&
                 files.rlim_cur != RLIM_INFINITY
             ? static_cast<long>(files.rlim_cur)
             : 1024;
}

std::size_t PosixPlatform::FilesToHold() {
  // A quarter of what the limit on open files leaves: the gate's ring may
  // take half, and the walk holds a descriptor per folder level.
  return static_cast<std::size_t>(std::max(1L, (OpenFilesLimit() - 32) / 4));
}

std::string PosixPlatform::StateFolder(bool create) {
  // SARNELUX_RECORD=0 goes without, for measuring what the record costs.
  const char* record = std::getenv("SARNELUX_RECORD");
  if (record != nullptr && std::strcmp(record, "0") == 0) return {};
  // $XDG_STATE_HOME/sarnelux, or ~/.local/state/sarnelux.
  std::string folder;
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  folder += "/sarnelux";
  if (!create) return folder + "/";
  // Each missing folder on the way, the last one private.
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (mkdir(part.c_str(), at == folder.size() ? 0700 : 0755) != 0 &&
        errno != EEXIST) {
      return {};
    }
  }
  // Written only where it would be read.
  if (!StateFolderIsOwn(folder)) return {};
  return folder + "/";
}

std::string PosixPlatform::AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  // The tool never changes its folder: asked once.
  if (current_folder_.empty()) {
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) return {};
    current_folder_ = std::string(here) + "/";
  }
  return current_folder_ + path;
}

bool PosixPlatform::FileRemove(const std::string& path) {
  const char* name = nullptr;
  const int folder = FolderOf(path, name);
  return unlinkat(folder, name, 0) == 0 || errno == ENOENT;
}

bool PosixPlatform::FileCopyAccess(NativeFile from, NativeFile to) {
  struct stat file {};
  struct stat copy {};
  if (fstat(static_cast<int>(from), &file) != 0 ||
      fstat(static_cast<int>(to), &copy) != 0) {
    return false;
  }
  // Another owner only root can give; without it the copy stays its
  // maker's alone. Set-id bits are never given to a copy.
  mode_t mode = file.st_mode & 0777;
  if (copy.st_uid != file.st_uid &&
      fchown(static_cast<int>(to), file.st_uid, file.st_gid) != 0) {
    return false;
  }
  // A group it cannot have: those of the copy's group must not read it.
  if (copy.st_gid != file.st_gid &&
      fchown(static_cast<int>(to), static_cast<uid_t>(-1), file.st_gid) != 0) {
    mode &= ~static_cast<mode_t>(070);
  }
  return fchmod(static_cast<int>(to), mode) == 0;
}

bool PosixPlatform::FileGiveBack(NativeFile file, std::int64_t offset,
                                 std::int64_t count) {
#ifdef __linux__
  NoteWriter(static_cast<int>(file));
  return fallocate(static_cast<int>(file),
                   FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                   static_cast<off_t>(offset), static_cast<off_t>(count)) == 0;
#else
  (void)file;
  (void)offset;
  (void)count;
  return false;
#endif
}

bool PosixPlatform::FileRoomToRewrite(NativeFile file) {
#ifdef __linux__
  // File systems that copy every block written, as statfs names them.
  constexpr unsigned long kBtrfs = 0x9123683E;
  constexpr unsigned long kZfs = 0x2FC12FC1;
  constexpr unsigned long kBcachefs = 0xCA451A4E;
  const int fd = static_cast<int>(file);
  const bool known = known_.fd == fd;
  if (known && std::find(written_in_place_.begin(), written_in_place_.end(),
                         known_.identity.volume) != written_in_place_.end()) {
    return true;
  }
  struct statfs volume {};
  struct stat info {};
  if (fstatfs(fd, &volume) != 0 || fstat(fd, &info) != 0) return true;
  const auto type = static_cast<unsigned long>(volume.f_type);
  if (type != kBtrfs && type != kZfs && type != kBcachefs) {
    written_in_place_.push_back(static_cast<std::uint64_t>(info.st_dev));
    return true;
  }
  // A btrfs file made not to copy on write (chattr +C) is written in place.
  int flags = 0;
  if (type == kBtrfs && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & FS_NOCOW_FL) != 0) {
    return true;
  }
  // Every block the file takes is written anew: so many must be free,
  // holes not counted.
  const auto needed = static_cast<unsigned long long>(info.st_blocks) * 512;
  const auto free = static_cast<unsigned long long>(volume.f_bavail) *
                    static_cast<unsigned long long>(volume.f_bsize);
  if (free >= needed) return true;
  NoteFailure(ENOSPC);
  return false;
#else
  (void)file;
  return true;
#endif
}

bool PosixPlatform::FileDataAt(NativeFile file, std::int64_t offset,
                               std::int64_t& begin, std::int64_t& end) {
  // The rewrite moves bytes with pread and pwrite: the file position these
  // move is never used.
  const int fd = static_cast<int>(file);
  // A small file whose blocks hold its length has no hole (short of
  // blocks taken for its attributes or its map, which would at worst have
  // a hole filled): most files a rewrite meets are asked nothing.
  constexpr std::int64_t kSmallFile = std::int64_t{64} * 1024;
  if (known_.fd == fd && offset == 0 && known_.size <= kSmallFile &&
      known_.room >= known_.size) {
    begin = 0;
    end = known_.size;
    return true;
  }
  const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    struct stat info {};
    // ENXIO: nothing but a hole from offset to the end.
    if (errno != ENXIO || fstat(fd, &info) != 0) return false;
    begin = end = std::max<std::int64_t>(offset, info.st_size);
    return true;
  }
  const off_t hole = lseek(fd, data, SEEK_HOLE);
  if (hole < 0) return false;
  begin = data;
  end = hole;
  return true;
}

bool PosixPlatform::FileIdentityOf(NativeFile file, FileIdentity& identity) {
  struct stat info {};
  // Bytes read ahead stand in only for files that pass no gate.
  if (file == kAnsweredFile) return false;
  if (known_.fd == file) {
    identity = known_.identity;
    return true;
  }
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

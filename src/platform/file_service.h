// Buffered and positional access to file contents, a register of every open
// file, and the zero-filled blocks that rewrites move bytes through.
//
// The register is guarded: the console-event handler closes every open file,
// so each operation, and every rewrite as a whole (see RewriteShield), runs
// under the platform's guard. Once the handler has closed the
// files the service is stopped: the main flow's next call waits there for
// the platform to end the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sarnelux {

// A reference to an open file of the register; kNoFile when an open failed.
// Every operation accepts kNoFile, and a handle already closed, as a file
// that is not open.
using FileHandle = std::uint32_t;
inline constexpr FileHandle kNoFile = 0;

// A zero-filled byte area owned by whoever holds it; released on
// destruction if not released before.
class MemoryBlock {
 public:
  MemoryBlock() = default;
  MemoryBlock(Platform* platform, unsigned char* data, std::size_t size)
      : platform_(platform), data_(data), size_(size) {}
  MemoryBlock(MemoryBlock&& other) noexcept;
  MemoryBlock& operator=(MemoryBlock&& other) noexcept;
  MemoryBlock(const MemoryBlock&) = delete;
  MemoryBlock& operator=(const MemoryBlock&) = delete;
  ~MemoryBlock() { Release(); }

  explicit operator bool() const { return data_ != nullptr; }
  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  void Release();

 private:
  Platform* platform_ = nullptr;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

class FileService {
 public:
  static constexpr std::int32_t kBufferCapacity = 4096;

  explicit FileService(Platform& platform) : platform_(platform) {}
  FileService(const FileService&) = delete;
  FileService& operator=(const FileService&) = delete;
  ~FileService() { CloseAllFiles(); }

  // Files opened for reading only are unbuffered: their one reader, the
  // mark gate, reads a few bytes once.
  FileHandle OpenForReading(const std::string& path);
  FileHandle OpenForUpdate(const std::string& path);
  FileHandle CreateAnew(const std::string& path);
  // Creates a file that does not exist yet; never replaces one.
  FileHandle CreateNew(const std::string& path);
  // A run's record, new or left by another run: unbuffered, and held by
  // this run alone (kNoFile while another run holds it).
  FileHandle CreateRecord(const std::string& path);
  FileHandle TakeRecord(const std::string& path);
  // Removes a file the tool created itself; false when it is still there.
  bool Remove(const std::string& path);

  std::int32_t ReadBytes(FileHandle file, void* destination,
                         std::int32_t count);
  std::int32_t WriteBytes(FileHandle file, const void* source,
                          std::int32_t count);
  // Positional transfers straight to the platform, for rewriting a file in
  // place: what the handle has buffered is written out or dropped first.
  // Their callers learn from the count what landed, and Close does not
  // count them again: a write that fell short may have been made good.
  std::int32_t ReadAt(FileHandle file, std::int64_t offset, void* destination,
                      std::int32_t count);
  std::int32_t WriteAt(FileHandle file, std::int64_t offset, const void* source,
                       std::int32_t count);
  bool Truncate(FileHandle file, std::int64_t length);
  // Writes out what is buffered and makes the file's data durable.
  bool Flush(FileHandle file);
  // Makes the data of all of these files durable, with as few flushes as
  // the platform allows.
  bool FlushTogether(const std::vector<FileHandle>& files);
  // A flush that goes on while the caller writes on, where the platform
  // can: what was written before it started is durable once WaitFlush
  // says true. 0: it failed at once.
  std::uint64_t StartFlush(FileHandle file);
  bool WaitFlush(std::uint64_t ticket);
  std::int64_t FileLength(FileHandle file);
  // False when the platform cannot tell.
  bool Identity(FileHandle file, FileIdentity& identity);
  // Gives `copy`, made by CreateNew, the permissions (and owner, where the
  // run may) of `file`.
  bool CopyAccess(FileHandle file, FileHandle copy);
  // See Platform::FileGiveBack.
  bool GiveBack(FileHandle file, std::int64_t offset, std::int64_t count);
  // See Platform::FileRoomToRewrite.
  bool RoomToRewrite(FileHandle file);
  // See Platform::FileDataAt.
  bool DataAt(FileHandle file, std::int64_t offset, std::int64_t& begin,
              std::int64_t& end);

  // Writes out what is buffered and closes the file. Returns true only when
  // every byte ever written through this handle's buffer reached the file
  // and the system closed it; false also for a handle that is not open.
  bool Close(FileHandle file);
  void CloseAllFiles();

  MemoryBlock AllocateBlock(std::int32_t size);
  // How many bytes a rewrite moves at a time: files of any size go through
  // one block of about this many bytes.
  static constexpr std::int32_t kStreamBlockSize = 1 << 20;
  static void ReleaseBlock(MemoryBlock& block) { block.Release(); }

  // Called from the console-event handler's thread: waits for any rewrite in
  // flight, closes every open file and stops the service for good.
  void StopForConsoleEvent();

  // Holds off StopForConsoleEvent while a file is between its first changed
  // byte and being whole again.
  class RewriteShield {
   public:
    explicit RewriteShield(FileService& files) : guard_(files.platform_) {}

   private:
    PlatformGuard guard_;
  };

 private:
  struct OpenFileRecord {
    FileHandle id = kNoFile;
    NativeFile native = kNoNativeFile;
    std::unique_ptr<unsigned char[]> buffer;  // none: the file is unbuffered
    std::int32_t capacity = kBufferCapacity;
    std::int32_t remaining = 0;
    std::int32_t filled = 0;
    bool reading = true;
    bool write_failed = false;  // a write-out or direct write fell short
  };

  FileHandle Register(NativeFile native, bool buffered = true);
  bool Stopped();
  OpenFileRecord* Find(FileHandle file);
  void WriteOut(OpenFileRecord& record);
  // Writes out or drops what the record buffers, before a positional
  // transfer.
  void SetAside(OpenFileRecord& record);
  bool CloseRecord(std::size_t index);

  Platform& platform_;
  std::vector<OpenFileRecord> register_;  // in order of opening
  FileHandle last_id_ = kNoFile;
  bool stopped_ = false;
};

}  // namespace sarnelux

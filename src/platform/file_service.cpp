#include "platform/file_service.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace sarnelux {

MemoryBlock::MemoryBlock(MemoryBlock&& other) noexcept
    : platform_(std::exchange(other.platform_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MemoryBlock& MemoryBlock::operator=(MemoryBlock&& other) noexcept {
  if (this != &other) {
    Release();
    platform_ = std::exchange(other.platform_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MemoryBlock::Release() {
  if (data_ != nullptr) platform_->BlockRelease(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

FileHandle FileService::Register(NativeFile native, bool buffered) {
  if (native == kNoNativeFile) return kNoFile;
  OpenFileRecord record;
  record.id = ++last_id_;
  if (record.id == kNoFile) record.id = ++last_id_;
  record.native = native;
  // Without a buffer the file still works, one platform call per transfer.
  if (buffered) {
    record.buffer.reset(new (std::nothrow) unsigned char[kBufferCapacity]);
  }
  register_.push_back(std::move(record));
  return register_.back().id;
}

bool FileService::Stopped() {
  // The handler has closed every file and the platform is ending the
  // process: the main flow must not go on with a walk it cannot finish.
  if (stopped_) platform_.HoldUntilProcessEnds();
  return stopped_;
}

FileService::OpenFileRecord* FileService::Find(FileHandle file) {
  if (file == kNoFile || Stopped()) return nullptr;
  for (auto& record : register_) {
    if (record.id == file) return &record;
  }
  return nullptr;
}

FileHandle FileService::OpenForReading(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  // Read once, for its first bytes: a buffer would only make the platform
  // copy 4096 bytes where a handful are wanted.
  return Register(platform_.FileOpen(path, OpenDisposition::kReadExisting),
                  /*buffered=*/false);
}

FileHandle FileService::OpenForUpdate(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  return Register(platform_.FileOpen(path, OpenDisposition::kUpdateExisting));
}

FileHandle FileService::CreateAnew(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  NativeFile native = platform_.FileOpen(path, OpenDisposition::kReplace);
  // Windows refuses to replace a hidden or system file; emptying it in place
  // keeps its attributes and works.
  if (native == kNoNativeFile) {
    native = platform_.FileOpen(path, OpenDisposition::kTruncateExisting);
  }
  return Register(native);
}

FileHandle FileService::CreateNew(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  return Register(platform_.FileOpen(path, OpenDisposition::kCreateNew));
}

FileHandle FileService::CreateRecord(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  return Register(platform_.FileOpen(path, OpenDisposition::kCreateRecord),
                  /*buffered=*/false);
}

FileHandle FileService::TakeRecord(const std::string& path) {
  PlatformGuard guard(platform_);
  if (Stopped()) return kNoFile;
  return Register(platform_.FileOpen(path, OpenDisposition::kTakeRecord),
                  /*buffered=*/false);
}

bool FileService::Remove(const std::string& path) {
  PlatformGuard guard(platform_);
  return !Stopped() && platform_.FileRemove(path);
}

void FileService::WriteOut(OpenFileRecord& record) {
  if (record.reading || !record.buffer) return;
  const std::int32_t pending = record.capacity - record.remaining;
  if (pending > 0 && platform_.FileWrite(record.native, record.buffer.get(),
                                         pending) != pending) {
    record.write_failed = true;
  }
  record.remaining = record.capacity;
}

std::int32_t FileService::WriteBytes(FileHandle file, const void* source,
                                     std::int32_t count) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr || source == nullptr || count <= 0) return 0;
  auto direct = [&](const void* bytes, std::int32_t n) {
    const std::int32_t written = platform_.FileWrite(record->native, bytes, n);
    if (written != n) record->write_failed = true;
    return written;
  };
  if (!record->buffer) return direct(source, count);
  if (record->reading) {
    record->reading = false;
    record->remaining = record->capacity;
  }
  unsigned char* free_space =
      record->buffer.get() + (record->capacity - record->remaining);
  if (count < record->remaining) {
    std::memcpy(free_space, source, static_cast<std::size_t>(count));
    record->remaining -= count;
    return count;
  }
  WriteOut(*record);
  if (count >= record->capacity) return direct(source, count);
  std::memcpy(record->buffer.get(), source, static_cast<std::size_t>(count));
  record->remaining = record->capacity - count;
  return count;
}

std::int32_t FileService::ReadBytes(FileHandle file, void* destination,
                                    std::int32_t count) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr || destination == nullptr || count <= 0) return 0;
  if (!record->reading) {
    WriteOut(*record);
    record->reading = true;
    record->remaining = 0;
    record->filled = 0;
  }
  if (!record->buffer) {
    return platform_.FileRead(record->native, destination, count);
  }
  auto* out = static_cast<unsigned char*>(destination);
  const unsigned char* buffered =
      record->buffer.get() + (record->filled - record->remaining);
  if (count <= record->remaining) {
    std::memcpy(out, buffered, static_cast<std::size_t>(count));
    record->remaining -= count;
    return count;
  }
  const std::int32_t taken = record->remaining;
  std::memcpy(out, buffered, static_cast<std::size_t>(taken));
  record->remaining = 0;
  const std::int32_t rest = count - taken;
  if (rest >= record->capacity) {
    record->filled = 0;
    return taken + platform_.FileRead(record->native, out + taken, rest);
  }
  const std::int32_t delivered = platform_.FileRead(
      record->native, record->buffer.get(), record->capacity);
  record->filled = record->remaining = delivered;
  const std::int32_t copied = std::min(rest, delivered);
  std::memcpy(out + taken, record->buffer.get(),
              static_cast<std::size_t>(copied));
  record->remaining -= copied;
  return taken + copied;
}

void FileService::SetAside(OpenFileRecord& record) {
  WriteOut(record);
  record.reading = true;
  record.remaining = 0;
  record.filled = 0;
}

std::int32_t FileService::ReadAt(FileHandle file, std::int64_t offset,
                                 void* destination, std::int32_t count) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr || destination == nullptr || count <= 0) return 0;
  SetAside(*record);
  return platform_.FileReadAt(record->native, offset, destination, count);
}

std::int32_t FileService::WriteAt(FileHandle file, std::int64_t offset,
                                  const void* source, std::int32_t count) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr || source == nullptr || count <= 0) return 0;
  SetAside(*record);
  return platform_.FileWriteAt(record->native, offset, source, count);
}

bool FileService::Truncate(FileHandle file, std::int64_t length) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr) return false;
  SetAside(*record);
  return platform_.FileTruncate(record->native, length);
}

bool FileService::Flush(FileHandle file) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr) return false;
  SetAside(*record);
  return !record->write_failed && platform_.FileFlush(record->native);
}

std::uint64_t FileService::StartFlush(FileHandle file) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr) return 0;
  SetAside(*record);
  return record->write_failed ? 0 : platform_.FileFlushStart(record->native);
}

bool FileService::WaitFlush(std::uint64_t ticket) {
  PlatformGuard guard(platform_);
  return ticket != 0 && platform_.FileFlushWait(ticket);
}

bool FileService::FlushTogether(const std::vector<FileHandle>& files) {
  PlatformGuard guard(platform_);
  std::vector<NativeFile> natives;
  for (const FileHandle file : files) {
    OpenFileRecord* record = Find(file);
    if (record == nullptr) return false;
    SetAside(*record);
    if (record->write_failed) return false;
    natives.push_back(record->native);
  }
  return natives.empty() || platform_.FilesFlush(natives);
}

std::int64_t FileService::FileLength(FileHandle file) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  if (record == nullptr) return -1;
  const std::int64_t size = platform_.FileSize(record->native);
  if (size < 0 || record->reading || !record->buffer) return size;
  return size + (record->capacity - record->remaining);
}

bool FileService::Identity(FileHandle file, FileIdentity& identity) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  return record != nullptr &&
         platform_.FileIdentityOf(record->native, identity);
}

bool FileService::CopyAccess(FileHandle file, FileHandle copy) {
  PlatformGuard guard(platform_);
  OpenFileRecord* from = Find(file);
  if (from == nullptr) return false;
  const NativeFile native = from->native;
  OpenFileRecord* to = Find(copy);
  return to != nullptr && platform_.FileCopyAccess(native, to->native);
}

bool FileService::GiveBack(FileHandle file, std::int64_t offset,
                           std::int64_t count) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  return record != nullptr &&
         platform_.FileGiveBack(record->native, offset, count);
}

bool FileService::RoomToRewrite(FileHandle file) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  return record == nullptr || platform_.FileRoomToRewrite(record->native);
}

bool FileService::DataAt(FileHandle file, std::int64_t offset,
                         std::int64_t& begin, std::int64_t& end) {
  PlatformGuard guard(platform_);
  OpenFileRecord* record = Find(file);
  return record != nullptr &&
         platform_.FileDataAt(record->native, offset, begin, end);
}

bool FileService::CloseRecord(std::size_t index) {
  OpenFileRecord& record = register_[index];
  WriteOut(record);
  const bool closed = platform_.FileClose(record.native);
  const bool complete = closed && !record.write_failed;
  register_.erase(register_.begin() + static_cast<std::ptrdiff_t>(index));
  return complete;
}

bool FileService::Close(FileHandle file) {
  PlatformGuard guard(platform_);
  if (file == kNoFile || Stopped()) return false;
  for (std::size_t i = 0; i < register_.size(); ++i) {
    if (register_[i].id == file) return CloseRecord(i);
  }
  return false;
}

void FileService::CloseAllFiles() {
  PlatformGuard guard(platform_);
  // Oldest first; each close takes its record out of the register.
  while (!register_.empty()) CloseRecord(0);
}

void FileService::StopForConsoleEvent() {
  PlatformGuard guard(platform_);
  CloseAllFiles();
  stopped_ = true;
}

MemoryBlock FileService::AllocateBlock(std::int32_t size) {
  if (size <= 0) return {};
  const auto bytes = static_cast<std::size_t>(size);
  auto* data = static_cast<unsigned char*>(platform_.BlockAllocate(bytes));
  if (data == nullptr) return {};
  return MemoryBlock(&platform_, data, bytes);
}

}  // namespace sarnelux

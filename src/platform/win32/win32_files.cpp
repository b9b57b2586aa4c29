// Files and memory blocks over kernel32.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <string>

#include "platform/win32/win32_paths.h"
#include "platform/win32/win32_platform.h"

namespace sarnelux {
namespace {

// Above this a block comes straight from VirtualAlloc, which hands out
// zeroed pages without touching them first.
constexpr std::size_t kVirtualBlockSize = std::size_t{1} << 20;

HANDLE AsHandle(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

// How many allocated ranges one ask takes in: a stripping needs only the
// first at or after an offset, and those that touch it.
constexpr DWORD kRangesAsked = 16;

// A file the system keeps sparse: only its ranges written take room on the
// disk, and FSCTL_SET_ZERO_DATA gives room back. One call on the handle.
bool IsSparse(NativeFile file) {
  FILE_BASIC_INFO basic{};
  return GetFileInformationByHandleEx(AsHandle(file), FileBasicInfo, &basic,
                                      sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
}

// The tool's own code for a refusal that is the file's read-only attribute:
// bit 29 marks an error code as an application's, never the system's.
constexpr DWORD kReadOnlyFile = 0x20000000 | 1;

struct OpenRequest {
  DWORD access;
  DWORD disposition;
  DWORD attributes;
};

OpenRequest RequestFor(OpenDisposition disposition) {
  constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
  switch (disposition) {
    case OpenDisposition::kReadExisting:
      return {GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
    case OpenDisposition::kUpdateExisting:
      return {kReadWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
    case OpenDisposition::kReplace:
      return {kReadWrite, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL};
    case OpenDisposition::kTruncateExisting:
      return {GENERIC_WRITE, TRUNCATE_EXISTING, 0};
    case OpenDisposition::kCreateNew:
      return {kReadWrite, CREATE_NEW, FILE_ATTRIBUTE_NORMAL};
    // A record is opened as itself: a link in its place is never followed.
    case OpenDisposition::kCreateRecord:
      return {kReadWrite, CREATE_NEW,
              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT};
    case OpenDisposition::kTakeRecord:
      return {kReadWrite, OPEN_EXISTING,
              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT};
  }
  return {GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
}

}  // namespace

NativeFile Win32Platform::FileOpen(const std::string& path,
                                   OpenDisposition disposition) {
  const OpenRequest request = RequestFor(disposition);
  const std::wstring long_path = LongPathOf(path);
  if (long_path.empty()) {
    last_error_ = ERROR_INVALID_NAME;
    return kNoNativeFile;
  }
  // Others may read the file while the tool holds it, never write it, nor
  // move another file over it, nor delete it.
  HANDLE file =
      CreateFileW(long_path.c_str(), request.access, FILE_SHARE_READ, nullptr,
                  request.disposition, request.attributes, nullptr);
  const bool take_record = disposition == OpenDisposition::kTakeRecord;
  if (file == INVALID_HANDLE_VALUE || file == nullptr) {
    last_error_ = GetLastError();
    // A record this user may not write is no record of this user's runs,
    // which make every record writable by it: it is told of. Another
    // run's hold is a sharing violation, and is not.
    if (take_record && last_error_ == ERROR_ACCESS_DENIED) {
      Refuse(ClosedRecordRefusal(long_path));
      return kNoNativeFile;
    }
    // Write access refused to a read-only file is the user's choice, which
    // the tool respects, as on POSIX: a mark left, no failure.
    if (last_error_ == ERROR_ACCESS_DENIED &&
        (request.access & GENERIC_WRITE) != 0) {
      const DWORD attributes = GetFileAttributesW(long_path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        last_error_ = kReadOnlyFile;
      }
    }
    return kNoNativeFile;
  }
  // Checked before a byte of it is read.
  if (take_record) {
    const char* refusal = RecordRefusal(file);
    if (refusal != nullptr) {
      CloseHandle(file);
      Refuse(refusal);
      return kNoNativeFile;
    }
  }
  return reinterpret_cast<NativeFile>(file);
}

Failure Win32Platform::LastFailure() const {
  if (last_error_ == kReadOnlyFile) return {"read-only file", true, false};
  if (last_error_ == kForeignState) return {refusal_, false, false, true};
  const bool exhausted = last_error_ == ERROR_TOO_MANY_OPEN_FILES ||
                         last_error_ == ERROR_NOT_ENOUGH_MEMORY ||
                         last_error_ == ERROR_OUTOFMEMORY ||
                         last_error_ == ERROR_NO_SYSTEM_RESOURCES;
  char text[512] = {};
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, last_error_, 0, text, sizeof text, nullptr);
  // The system's messages end in a full stop and CR LF.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == '.' || text[length - 1] == ' ')) {
    --length;
  }
  if (length == 0) {
    return {"error " + std::to_string(last_error_), false, exhausted};
  }
  return {std::string(text, length), false, exhausted};
}

PathKind Win32Platform::KindOfPath(const std::string& path) {
  const std::wstring long_path = LongPathOf(path);
  const DWORD attributes = long_path.empty()
                               ? INVALID_FILE_ATTRIBUTES
                               : GetFileAttributesW(long_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    last_error_ = GetLastError();
    return PathKind::kMissing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder
                                                      : PathKind::kFile;
}

std::int32_t Win32Platform::FileRead(NativeFile file, void* destination,
                                     std::int32_t count) {
  DWORD read = 0;
  if (!ReadFile(AsHandle(file), destination, static_cast<DWORD>(count), &read,
                nullptr)) {
    return 0;
  }
  return static_cast<std::int32_t>(read);
}

std::int32_t Win32Platform::FileWrite(NativeFile file, const void* source,
                                      std::int32_t count) {
  DWORD written = 0;
  if (!WriteFile(AsHandle(file), source, static_cast<DWORD>(count), &written,
                 nullptr)) {
    return 0;
  }
  return static_cast<std::int32_t>(written);
}

namespace {

// Moves count bytes at offset through `step` (one ReadFile or WriteFile of
// up to n bytes at `at`, a position on a handle opened for synchronous use),
// on after a short transfer, until the file ends or the system fails;
// returns the bytes moved.
template <typename Step>
std::int32_t TransferAt(std::int64_t offset, std::int32_t count, Step step) {
  std::int32_t total = 0;
  while (total < count) {
    const auto position = static_cast<std::uint64_t>(offset + total);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD moved = 0;
    if (!step(total, static_cast<DWORD>(count - total), at, moved) ||
        moved == 0) {
      break;
    }
    total += static_cast<std::int32_t>(moved);
  }
  return total;
}

}  // namespace

std::int32_t Win32Platform::FileReadAt(NativeFile file, std::int64_t offset,
                                       void* destination, std::int32_t count) {
  auto* into = static_cast<unsigned char*>(destination);
  return TransferAt(
      offset, count,
      [&](std::int32_t done, DWORD n, OVERLAPPED& at, DWORD& moved) {
        return ReadFile(AsHandle(file), into + done, n, &moved, &at) != 0;
      });
}

std::int32_t Win32Platform::FileWriteAt(NativeFile file, std::int64_t offset,
                                        const void* source,
                                        std::int32_t count) {
  const auto* from = static_cast<const unsigned char*>(source);
  return TransferAt(
      offset, count,
      [&](std::int32_t done, DWORD n, OVERLAPPED& at, DWORD& moved) {
        return WriteFile(AsHandle(file), from + done, n, &moved, &at) != 0;
      });
}

bool Win32Platform::FileTruncate(NativeFile file, std::int64_t length) {
  LARGE_INTEGER end{};
  end.QuadPart = length;
  return SetFilePointerEx(AsHandle(file), end, nullptr, FILE_BEGIN) &&
         SetEndOfFile(AsHandle(file));
}

std::int64_t Win32Platform::FileSize(NativeFile file) {
  DWORD high = 0;
  const DWORD low = GetFileSize(AsHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return (static_cast<std::int64_t>(high) << 32) | low;
}

bool Win32Platform::FileClose(NativeFile file) {
  return CloseHandle(AsHandle(file)) != 0;
}

bool Win32Platform::FileFlush(NativeFile file) {
  return FlushFileBuffers(AsHandle(file)) != 0;
}

// FlushFileBuffers has no form that returns before it is done: the flush
// is done at once, and its ticket tells that it succeeded.
std::uint64_t Win32Platform::FileFlushStart(NativeFile file) {
  return FileFlush(file) ? 1 : 0;
}

bool Win32Platform::FileFlushWait(std::uint64_t ticket) { return ticket != 0; }

bool Win32Platform::FilesFlush(const std::vector<NativeFile>& files) {
  // A volume can be flushed as a whole only through a handle to the volume
  // itself, which takes an administrator: each file is flushed alone.
  bool flushed = true;
  for (const NativeFile file : files) flushed = FileFlush(file) && flushed;
  return flushed;
}

std::size_t Win32Platform::FilesToHold() {
  // Handles are limited only by memory.
  return 1 << 16;
}

std::string Win32Platform::StateFolder(bool create) {
  // %LOCALAPPDATA%\Sarnelux: this user's, on this machine, never roaming.
  wchar_t base[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring folder = std::wstring(base, length) + L"\\Sarnelux";
  if (create && !CreateDirectoryW(folder.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  // In the code page the tool's paths are in; a name it cannot spell there
  // leaves the tool without a state folder.
  // (UTF-8 reports what it cannot spell as an error, not as lossy.)
  const bool utf8 = GetACP() == CP_UTF8;
  BOOL lossy = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : 0,
                          folder.data(), static_cast<int>(folder.size()),
                          nullptr, 0, nullptr, utf8 ? nullptr : &lossy);
  if (size <= 0 || lossy) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()),
                      narrow.data(), size, nullptr, nullptr);
  // Written only where it would be read.
  if (create && !StateFolderIsOwn(narrow)) return {};
  return narrow + "\\";
}

std::string Win32Platform::AbsolutePath(const std::string& path) {
  return AbsolutePathOf(path);
}

bool Win32Platform::FileRemove(const std::string& path) {
  const std::wstring long_path = LongPathOf(path);
  return (!long_path.empty() && DeleteFileW(long_path.c_str()) != 0) ||
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool Win32Platform::FileCopyAccess(NativeFile from, NativeFile to) {
  // A new file takes the security its folder hands down, as the file
  // beside it most often has; its own is not copied. A sparse file's copy
  // is made sparse before a byte is in it: the holes it is not written in
  // then take no room either, as they take none in the file.
  if (IsSparse(from)) {
    DWORD returned = 0;
    DeviceIoControl(AsHandle(to), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0,
                    &returned, nullptr);
  }
  return true;
}

bool Win32Platform::FileGiveBack(NativeFile file, std::int64_t offset,
                                 std::int64_t count) {
  // Zeroing a range of a file that is not sparse writes zeros over it and
  // gives nothing back.
  if (count <= 0 || !IsSparse(file)) return false;
  FILE_ZERO_DATA_INFORMATION zeros{};
  zeros.FileOffset.QuadPart = offset;
  zeros.BeyondFinalZero.QuadPart = offset + count;
  DWORD returned = 0;
  if (!DeviceIoControl(AsHandle(file), FSCTL_SET_ZERO_DATA, &zeros,
                       sizeof zeros, nullptr, 0, &returned, nullptr)) {
    last_error_ = GetLastError();
    return false;
  }
  return true;
}

bool Win32Platform::FileRoomToRewrite(NativeFile) {
  // NTFS writes a block over where it lies; ReFS copies only blocks that
  // are shared with another file (block cloning), which the tool never
  // makes.
  return true;
}

bool Win32Platform::FileDataAt(NativeFile file, std::int64_t offset,
                               std::int64_t& begin, std::int64_t& end) {
  // Only a sparse file has holes. Saying that any other holds data
  // throughout would cost its length, one more call for every file
  // rewritten, for what "cannot tell" means as well.
  if (!IsSparse(file)) return false;
  const std::int64_t length = FileSize(file);
  if (length < 0) return false;
  if (offset >= length) {
    begin = end = offset;
    return true;
  }
  // The ranges come in the file's order, merged where the system could;
  // a buffer too small for them all leaves the rest to be asked for from
  // where the data reached. An allocated range may be larger than what was
  // written (NTFS allocates 64 KiB at a time): it reads as zeros, but
  // counting it as data is never wrong.
  begin = -1;
  end = offset;
  for (std::int64_t from = offset; from < length;) {
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = from;
    query.Length.QuadPart = length - from;
    FILE_ALLOCATED_RANGE_BUFFER ranges[kRangesAsked]{};
    DWORD returned = 0;
    const bool all = DeviceIoControl(
        AsHandle(file), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
        ranges, sizeof ranges, &returned, nullptr);
    // A system that flags the file sparse yet keeps no ranges for it (a
    // share's server may refuse the ask) cannot tell.
    if (!all && GetLastError() != ERROR_MORE_DATA) {
      last_error_ = GetLastError();
      return false;
    }
    const DWORD count = returned / sizeof ranges[0];
    for (DWORD i = 0; i < count; ++i) {
      const std::int64_t low = std::max(from, ranges[i].FileOffset.QuadPart);
      const std::int64_t high = std::min(
          length, ranges[i].FileOffset.QuadPart + ranges[i].Length.QuadPart);
      if (high <= low) continue;
      if (begin < 0) {
        begin = low;
        end = high;
      } else if (low <= end) {
        end = std::max(end, high);
      } else {
        return true;  // a hole lies between
      }
    }
    if (all) break;
    // Nothing usable in a full buffer: the next ask would be the same.
    if (begin < 0 || end <= from) return false;
    from = end;
  }
  // Nothing but a hole from the offset to the end.
  if (begin < 0) begin = end = length;
  return true;
}

bool Win32Platform::FileIdentityOf(NativeFile file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(AsHandle(file), &info)) return false;
  identity = {info.dwVolumeSerialNumber,
              (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                  info.nFileIndexLow};
  return true;
}

void* Win32Platform::BlockAllocate(std::size_t size) {
  if (size < kVirtualBlockSize) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  }
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Win32Platform::BlockRelease(void* block, std::size_t size) {
  if (size < kVirtualBlockSize) {
    HeapFree(GetProcessHeap(), 0, block);
  } else {
    VirtualFree(block, 0, MEM_RELEASE);
  }
}

}  // namespace sarnelux

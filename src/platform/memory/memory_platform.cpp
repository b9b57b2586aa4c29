#include "platform/memory/memory_platform.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sarnelux {

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

PlatformCall Call(CallKind kind, std::string path = {},
                  std::int64_t count = 0) {
  return PlatformCall{kind, std::move(path), count,
                      OpenDisposition::kReadExisting};
}

}  // namespace

MemoryPlatform::~MemoryPlatform() {
  JoinEventThreads();
  for (auto& [listing, state] : listings_) delete state;
  for (auto& [block, size] : blocks_) std::free(block);
}

std::string MemoryPlatform::FolderKey(const std::string& path) const {
  if (!path.empty() && path.back() == separator_) return path;
  return path + separator_;
}

std::string MemoryPlatform::ParentKey(const std::string& path) const {
  std::string trimmed = path;
  if (!trimmed.empty() && trimmed.back() == separator_) trimmed.pop_back();
  const std::size_t cut = trimmed.rfind(separator_);
  return cut == std::string::npos ? std::string() : trimmed.substr(0, cut + 1);
}

void MemoryPlatform::AddEntry(const std::string& parent,
                              const std::string& name) {
  if (parent.empty()) return;
  if (folders_.count(parent) == 0) AddFolder(parent);
  auto& entries = folders_[parent];
  if (std::find(entries.begin(), entries.end(), name) == entries.end()) {
    entries.push_back(name);
  }
}

void MemoryPlatform::AddFolder(const std::string& path) {
  Lock lock(mutex_);
  const std::string key = FolderKey(path);
  if (folders_.count(key) != 0) return;
  folders_[key] = {".", ".."};
  const std::string parent = ParentKey(key);
  std::string name = key.substr(parent.size());
  name.pop_back();
  AddEntry(parent, name);
}

MemoryPlatform::File& MemoryPlatform::AddFile(const std::string& path,
                                              const std::string& bytes) {
  Lock lock(mutex_);
  const std::string parent = ParentKey(path);
  AddEntry(parent, path.substr(parent.size()));
  File& file = files_[path];
  file.bytes = bytes;
  file.durable = bytes;
  return file;
}

void MemoryPlatform::RemoveFile(const std::string& path) {
  Lock lock(mutex_);
  files_.erase(path);
  const std::string parent = ParentKey(path);
  auto folder = folders_.find(parent);
  if (folder == folders_.end()) return;
  auto& entries = folder->second;
  entries.erase(
      std::remove(entries.begin(), entries.end(), path.substr(parent.size())),
      entries.end());
}

bool MemoryPlatform::HasFile(const std::string& path) const {
  Lock lock(mutex_);
  return files_.count(path) != 0;
}

MemoryPlatform::File& MemoryPlatform::FileAt(const std::string& path) {
  Lock lock(mutex_);
  return files_.at(path);
}

std::vector<std::string> MemoryPlatform::FilePaths() const {
  Lock lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [path, file] : files_) paths.push_back(path);
  return paths;
}

std::string MemoryPlatform::output() const {
  Lock lock(mutex_);
  return output_;
}

std::vector<PlatformCall> MemoryPlatform::calls() const {
  Lock lock(mutex_);
  return calls_;
}

std::size_t MemoryPlatform::open_files() const {
  Lock lock(mutex_);
  return open_.size();
}

Fault MemoryPlatform::Enter(const PlatformCall& call) {
  calls_.push_back(call);
  Fault fault;
  if (hook_) fault = hook_(calls_.size() - 1, call);
  if (process_ended_) fault.fail = true;
  return fault;
}

NativeFile MemoryPlatform::FileOpen(const std::string& path,
                                    OpenDisposition disposition) {
  Lock lock(mutex_);
  PlatformCall call{CallKind::kOpen, path, 0, disposition};
  last_failure_ = {"Input/output error", false};
  if (Enter(call).fail) return kNoNativeFile;
  auto found = files_.find(path);
  const bool exists = found != files_.end();
  // Told should the open fail.
  if (!exists) {
    last_failure_ = {"No such file or directory", false};
  } else if (found->second.read_only) {
    last_failure_ = {"read-only file", true};
  } else if (found->second.held_by_other) {
    last_failure_ = {"held by another program", true};
  }
  const bool writable =
      exists && !found->second.read_only && !found->second.held_by_other;
  OpenFile open{path, 0, true, true};
  switch (disposition) {
    case OpenDisposition::kReadExisting:
      if (!exists || found->second.held_by_other) return kNoNativeFile;
      open.can_write = false;
      break;
    case OpenDisposition::kUpdateExisting:
      if (!writable) return kNoNativeFile;
      break;
    case OpenDisposition::kReplace:
      if (exists && (!writable || found->second.refuses_replace)) {
        return kNoNativeFile;
      }
      if (!exists && folders_.count(ParentKey(path)) == 0) return kNoNativeFile;
      if (exists) {
        found->second.bytes.clear();
      } else {
        AddFile(path, "");
      }
      break;
    case OpenDisposition::kTruncateExisting:
      if (!writable) return kNoNativeFile;
      found->second.bytes.clear();
      open.can_read = false;
      break;
    case OpenDisposition::kTakeRecord:
      if (exists && found->second.foreign != nullptr) {
        last_failure_ = {found->second.foreign, false, false, true};
        return kNoNativeFile;
      }
      if (!writable) return kNoNativeFile;
      break;
    case OpenDisposition::kCreateNew:
    case OpenDisposition::kCreateRecord:
      if (exists || folders_.count(ParentKey(path)) == 0) return kNoNativeFile;
      AddFile(path, "").mode = 0600;
      break;
  }
  const NativeFile handle = next_handle_++;
  open_[handle] = open;
  return handle;
}

std::int32_t MemoryPlatform::FileRead(NativeFile file, void* destination,
                                      std::int32_t count) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  const Fault fault = Enter(Call(CallKind::kRead, path, count));
  if (open == open_.end()) return 0;
  const std::int32_t read =
      ReadAt(open->second, open->second.position, destination, count, fault);
  open->second.position += static_cast<std::size_t>(read);
  return read;
}

std::int32_t MemoryPlatform::ReadAt(const OpenFile& open, std::size_t offset,
                                    void* destination, std::int32_t count,
                                    const Fault& fault) {
  auto found = files_.find(open.path);
  if (fault.fail || !open.can_read || found == files_.end()) return 0;
  const std::string& bytes = found->second.bytes;
  const std::size_t position = std::min(offset, bytes.size());
  std::size_t take =
      std::min(static_cast<std::size_t>(count), bytes.size() - position);
  if (fault.partial >= 0) {
    take = std::min(take, static_cast<std::size_t>(fault.partial));
  }
  std::memcpy(destination, bytes.data() + position, take);
  return static_cast<std::int32_t>(take);
}

std::int32_t MemoryPlatform::WriteAt(OpenFile& open, std::size_t offset,
                                     const void* source, std::int32_t count,
                                     const Fault& fault) {
  auto found = files_.find(open.path);
  if (fault.fail || !open.can_write || found == files_.end()) return 0;
  std::size_t put = static_cast<std::size_t>(count);
  if (fault.partial >= 0) {
    put = std::min(put, static_cast<std::size_t>(fault.partial));
  }
  const std::int64_t limit = found->second.write_limit;
  if (limit >= 0) {
    const auto below = static_cast<std::size_t>(limit);
    put = offset >= below ? 0 : std::min(put, below - offset);
  }
  std::string& bytes = found->second.bytes;
  if (bytes.size() < offset + put) bytes.resize(offset + put);
  std::memcpy(bytes.data() + offset, source, put);
  // What the write covered is data now, zeros or not.
  const auto begin = static_cast<std::int64_t>(offset);
  const auto end = static_cast<std::int64_t>(offset + put);
  std::vector<std::pair<std::int64_t, std::int64_t>> holes;
  for (const auto& [from, to] : found->second.holes) {
    if (put == 0 || to <= begin || from >= end) {
      holes.emplace_back(from, to);
      continue;
    }
    if (from < begin) holes.emplace_back(from, begin);
    if (to > end) holes.emplace_back(end, to);
  }
  found->second.holes = std::move(holes);
  return static_cast<std::int32_t>(put);
}

std::int32_t MemoryPlatform::FileReadAt(NativeFile file, std::int64_t offset,
                                        void* destination, std::int32_t count) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  const Fault fault = Enter(Call(CallKind::kRead, path, count));
  if (open == open_.end() || offset < 0) return 0;
  return ReadAt(open->second, static_cast<std::size_t>(offset), destination,
                count, fault);
}

std::int32_t MemoryPlatform::FileWriteAt(NativeFile file, std::int64_t offset,
                                         const void* source,
                                         std::int32_t count) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  const Fault fault = Enter(Call(CallKind::kWrite, path, count));
  if (open == open_.end() || offset < 0) return 0;
  return WriteAt(open->second, static_cast<std::size_t>(offset), source, count,
                 fault);
}

bool MemoryPlatform::FileTruncate(NativeFile file, std::int64_t length) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  if (Enter(Call(CallKind::kTruncate, path, length)).fail ||
      open == open_.end() || !open->second.can_write || length < 0) {
    return false;
  }
  auto found = files_.find(path);
  if (found == files_.end()) return false;
  found->second.bytes.resize(static_cast<std::size_t>(length));
  for (auto& [from, to] : found->second.holes) to = std::min(to, length);
  std::erase_if(found->second.holes,
                [](const auto& hole) { return hole.first >= hole.second; });
  return true;
}

bool MemoryPlatform::FileGiveBack(NativeFile file, std::int64_t offset,
                                  std::int64_t count) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  if (open == open_.end() || !open->second.can_write) return false;
  File& found = FileAt(open->second.path);
  const auto size = static_cast<std::int64_t>(found.bytes.size());
  const std::int64_t end = std::min(offset + count, size);
  if (offset < 0 || offset >= end) return false;
  std::fill(found.bytes.begin() + offset, found.bytes.begin() + end, '\0');
  // In order, and one hole where two meet.
  auto& holes = found.holes;
  holes.emplace_back(offset, end);
  std::sort(holes.begin(), holes.end());
  std::vector<std::pair<std::int64_t, std::int64_t>> merged;
  for (const auto& hole : holes) {
    if (!merged.empty() && hole.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, hole.second);
    } else {
      merged.push_back(hole);
    }
  }
  holes = std::move(merged);
  return true;
}

bool MemoryPlatform::FileRoomToRewrite(NativeFile file) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  if (open == open_.end() || !FileAt(open->second.path).no_room_to_rewrite) {
    return true;
  }
  last_failure_ = {"No space left on device"};
  return false;
}

bool MemoryPlatform::FileDataAt(NativeFile file, std::int64_t offset,
                                std::int64_t& begin, std::int64_t& end) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  if (open == open_.end()) return false;
  const File& found = FileAt(open->second.path);
  const auto size = static_cast<std::int64_t>(found.bytes.size());
  begin = offset;
  for (const auto& [from, to] : found.holes) {
    if (from <= begin && begin < to) begin = to;
  }
  begin = std::min(std::max(begin, offset), std::max(size, offset));
  end = std::max(size, begin);
  for (const auto& [from, to] : found.holes) {
    if (from >= begin && from < end) end = from;
  }
  return true;
}

std::int32_t MemoryPlatform::FileWrite(NativeFile file, const void* source,
                                       std::int32_t count) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  const Fault fault = Enter(Call(CallKind::kWrite, path, count));
  if (open == open_.end()) return 0;
  const std::int32_t written =
      WriteAt(open->second, open->second.position, source, count, fault);
  open->second.position += static_cast<std::size_t>(written);
  return written;
}

std::int64_t MemoryPlatform::FileSize(NativeFile file) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  if (Enter(Call(CallKind::kSize, path)).fail || open == open_.end()) return -1;
  auto found = files_.find(path);
  if (found == files_.end()) return 0;
  if (found->second.apparent_size >= 0) return found->second.apparent_size;
  return static_cast<std::int64_t>(found->second.bytes.size());
}

bool MemoryPlatform::FileClose(NativeFile file) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  const bool failed = Enter(Call(CallKind::kClose, path)).fail;
  if (open == open_.end()) return false;
  open_.erase(open);  // a failed close still lets go of the file
  return !failed;
}

bool MemoryPlatform::FileFlush(NativeFile file) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  if (Enter(Call(CallKind::kFlush, path)).fail || open == open_.end()) {
    return false;
  }
  auto found = files_.find(path);
  if (found == files_.end()) return false;
  found->second.durable = found->second.bytes;
  found->second.durable_from = ++flushes_;
  return true;
}

std::uint64_t MemoryPlatform::FileFlushStart(NativeFile file) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  if (Enter(Call(CallKind::kFlush, path)).fail || open == open_.end()) {
    return 0;
  }
  auto found = files_.find(path);
  if (found == files_.end()) return 0;
  // What a power loss could take until the wait: the bytes stay as they
  // were flushed last, however long ago.
  const std::uint64_t order = ++flushes_;
  started_flushes_[order] = {path, found->second.bytes, order};
  return order;
}

bool MemoryPlatform::FileFlushWait(std::uint64_t ticket) {
  Lock lock(mutex_);
  auto started = started_flushes_.find(ticket);
  const std::string path =
      started == started_flushes_.end() ? "" : started->second.path;
  if (Enter(Call(CallKind::kFlush, path)).fail ||
      started == started_flushes_.end()) {
    return false;
  }
  const StartedFlush flush = std::move(started->second);
  started_flushes_.erase(started);
  auto found = files_.find(flush.path);
  if (found == files_.end()) return false;
  if (found->second.durable_from < flush.order) {
    found->second.durable = flush.bytes;
    found->second.durable_from = flush.order;
  }
  return true;
}

bool MemoryPlatform::FilesFlush(const std::vector<NativeFile>& files) {
  // As on POSIX, a flush of the files' file system: one call for them all.
  // Only the files named become durable, which is all a caller may count on.
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kFlush, "")).fail) return false;
  for (const NativeFile file : files) {
    auto open = open_.find(file);
    if (open == open_.end()) return false;
    auto found = files_.find(open->second.path);
    if (found == files_.end()) return false;
    found->second.durable = found->second.bytes;
    found->second.durable_from = ++flushes_;
  }
  return true;
}

std::string MemoryPlatform::StateFolder(bool create) {
  Lock lock(mutex_);
  if (create && state_foreign_ != nullptr) return {};
  if (create && !state_folder_.empty()) AddFolder(state_folder_);
  return state_folder_;
}

bool MemoryPlatform::StateFolderIsOwn(const std::string&) {
  Lock lock(mutex_);
  if (state_foreign_ == nullptr) return true;
  last_failure_ = {state_foreign_, false, false, true};
  return false;
}

FileIdentity MemoryPlatform::IdentityOfFile(const std::string& path) const {
  Lock lock(mutex_);
  // Stable for a path, so that a world copied from another keeps it.
  std::uint64_t index = 1469598103934665603u;
  for (const char c : path) {
    index = (index ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  auto found = files_.find(path);
  if (found != files_.end()) index += found->second.generation;
  return {1, index};
}

bool MemoryPlatform::FileRemove(const std::string& path) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kRemove, path)).fail) return false;
  RemoveFile(path);
  return true;
}

bool MemoryPlatform::FileCopyAccess(NativeFile from, NativeFile to) {
  Lock lock(mutex_);
  auto source = open_.find(from);
  auto copy = open_.find(to);
  if (source == open_.end() || copy == open_.end() ||
      Enter(Call(CallKind::kCopyAccess, copy->second.path)).fail) {
    return false;
  }
  FileAt(copy->second.path).mode = FileAt(source->second.path).mode;
  return true;
}

std::uint64_t MemoryPlatform::IdentityIndex(const std::string& path) {
  auto [found, added] = identities_.emplace(path, identities_.size() + 1);
  return found->second;
}

bool MemoryPlatform::FileIdentityOf(NativeFile file, FileIdentity& identity) {
  Lock lock(mutex_);
  auto open = open_.find(file);
  const std::string path = open == open_.end() ? "" : open->second.path;
  if (Enter(Call(CallKind::kIdentity, path)).fail || open == open_.end()) {
    return false;
  }
  identity = IdentityOfFile(path);
  return true;
}

bool MemoryPlatform::FolderIdentity(const std::string& folder_path,
                                    FileIdentity& identity) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kIdentity, folder_path)).fail ||
      folders_.count(folder_path) == 0) {
    return false;
  }
  identity = {1, IdentityIndex(folder_path)};
  return true;
}

void MemoryPlatform::Refresh(Listing& listing) {
  auto folder = folders_.find(listing.folder);
  if (folder == folders_.end()) return;
  listing.entries.clear();
  for (const std::string& name : folder->second) {
    const bool is_folder =
        name == "." || name == ".." ||
        folders_.count(listing.folder + name + separator_) != 0;
    listing.entries.emplace_back(
        name, is_folder ? EntryKind::kFolder : EntryKind::kFile);
  }
}

bool MemoryPlatform::Deliver(Listing& listing, ListingEntry& entry) {
  if (listing.next >= listing.entries.size()) return false;
  const auto& [name, kind] = listing.entries[listing.next++];
  entry.name = name.c_str();
  entry.kind = kind;
  return true;
}

NativeListing MemoryPlatform::ListFirst(const std::string& folder_path,
                                        ListingEntry& entry,
                                        ListingStart& start) {
  Lock lock(mutex_);
  start = ListingStart::kCannotList;
  last_failure_ = {"No such file or directory", false};
  if (Enter(Call(CallKind::kListFirst, folder_path)).fail) return nullptr;
  auto folder = folders_.find(folder_path);
  if (folder == folders_.end()) return nullptr;
  auto* listing = new Listing;
  listing->folder = folder_path;
  Refresh(*listing);
  if (!Deliver(*listing, entry)) {
    delete listing;
    start = ListingStart::kNothingFound;
    return nullptr;
  }
  listings_[listing] = listing;
  start = ListingStart::kListed;
  return listing;
}

bool MemoryPlatform::ListNext(NativeListing native, ListingEntry& entry) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kListNext)).fail) return false;
  auto found = listings_.find(native);
  if (found == listings_.end()) return false;
  // A real listing may show entries added since it began; new files come
  // last here.
  if (posix_) Refresh(*found->second);
  return Deliver(*found->second, entry);
}

void MemoryPlatform::ListClose(NativeListing native) {
  Lock lock(mutex_);
  Enter(Call(CallKind::kListClose));
  auto found = listings_.find(native);
  if (found == listings_.end()) return;
  delete found->second;
  listings_.erase(found);
}

bool MemoryPlatform::ConsoleWrite(const char* bytes, std::size_t count) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kConsoleWrite, "", static_cast<std::int64_t>(count)))
          .fail) {
    last_failure_ = {"No space left on device", false};
    return false;
  }
  output_.append(bytes, count);
  return true;
}

bool MemoryPlatform::DiagnosticWrite(const char* bytes, std::size_t count) {
  Lock lock(mutex_);
  errors_.append(bytes, count);
  return true;
}

void MemoryPlatform::ShowProgress(const std::string& text) {
  Lock lock(mutex_);
  progress_.push_back(text);
}

std::int64_t MemoryPlatform::MonotonicMilliseconds() {
  Lock lock(mutex_);
  return clock_ms_ += clock_step_ms_;
}

std::vector<std::string> MemoryPlatform::progress() const {
  Lock lock(mutex_);
  return progress_;
}

std::string MemoryPlatform::errors() const {
  Lock lock(mutex_);
  return errors_;
}

Failure MemoryPlatform::LastFailure() const {
  Lock lock(mutex_);
  return last_failure_;
}

PathKind MemoryPlatform::KindOfPath(const std::string& path) {
  Lock lock(mutex_);
  if (folders_.count(FolderKey(path)) != 0) return PathKind::kFolder;
  if (files_.count(path) != 0) return PathKind::kFile;
  last_failure_ = {"No such file or directory", false};
  return PathKind::kMissing;
}

int MemoryPlatform::ConsolePendingEvents() {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kPendingEvents)).fail) return -1;
  return static_cast<int>(input_.size() - input_next_);
}

bool MemoryPlatform::ConsoleReadEvent(InputEvent& event) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kReadEvent)).fail || input_next_ >= input_.size()) {
    return false;
  }
  event = input_[input_next_++];
  return true;
}

bool MemoryPlatform::ConsoleWaitForInput() {
  Lock lock(mutex_);
  ++input_waits_;
  // Nothing more will ever be queued while the run goes on.
  return !Enter(Call(CallKind::kWaitForInput)).fail &&
         input_next_ < input_.size();
}

void MemoryPlatform::SetConsoleEventHandler(ConsoleEventHandler handler) {
  Lock lock(mutex_);
  handler_ = std::move(handler);
}

void MemoryPlatform::RaiseConsoleEventAsync(ConsoleEvent event) {
  Lock lock(mutex_);
  // The handler runs without the platform's lock, as it may wait for the
  // main flow, which needs the platform meanwhile.
  event_threads_.emplace_back([this, event, handler = handler_] {
    if (!handler || !handler(event)) process_ended_ = true;
  });
}

void MemoryPlatform::JoinEventThreads() {
  std::vector<std::thread> threads;
  {
    Lock lock(mutex_);
    threads.swap(event_threads_);
  }
  for (auto& thread : threads) thread.join();
}

void* MemoryPlatform::BlockAllocate(std::size_t size) {
  Lock lock(mutex_);
  if (Enter(Call(CallKind::kBlockAllocate, "", static_cast<std::int64_t>(size)))
          .fail ||
      size > block_limit_) {
    return nullptr;
  }
  void* block = std::calloc(size, 1);
  if (block != nullptr) blocks_[block] = size;
  return block;
}

void MemoryPlatform::BlockRelease(void* block, std::size_t size) {
  Lock lock(mutex_);
  Enter(Call(CallKind::kBlockRelease, "", static_cast<std::int64_t>(size)));
  blocks_.erase(block);
  std::free(block);
}

bool MemoryPlatform::NameMatches(const std::string& pattern,
                                 std::string_view name) const {
  return fnmatch(pattern.c_str(), std::string(name).c_str(), 0) == 0;
}

namespace {

class DeclaredInMemory final : public CharsetDeclarations {
 public:
  explicit DeclaredInMemory(std::map<std::string, CharsetDeclaration> declared)
      : declared_(std::move(declared)) {}
  CharsetDeclaration DeclaredFor(const std::string& path) override {
    const auto found = declared_.find(path);
    return found != declared_.end() ? found->second : CharsetDeclaration{};
  }

 private:
  std::map<std::string, CharsetDeclaration> declared_;
};

}  // namespace

std::unique_ptr<CharsetDeclarations> MemoryPlatform::OpenCharsetDeclarations() {
  if (declared_.empty()) return nullptr;
  return std::make_unique<DeclaredInMemory>(declared_);
}

}  // namespace sarnelux

// A platform that keeps its files, folders and console in memory, for tests.
//
// Every call is logged, and a hook sees each one before it runs: it may
// change the world (remove a file, raise a console event) and may make the
// call fail, or deliver only part of a read or write. Files can be made
// read-only, held open for writing by another program, or refuse to be
// replaced (as Windows refuses for hidden and system files).
//
// Listings behave as on Windows: a listing shows the folder as it was when
// it began. SetPosixBehaviour makes them behave as the POSIX layer's may: a
// listing may show a file created after it began.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace sarnelux {

enum class CallKind {
  kOpen,
  kRead,
  kWrite,
  kSize,
  kClose,
  kListFirst,
  kListNext,
  kListClose,
  kConsoleWrite,
  kPendingEvents,
  kReadEvent,
  kWaitForInput,
  kBlockAllocate,
  kBlockRelease,
  kIdentity,
  kRemove,
  kTruncate,
  kFlush,
  kCopyAccess,
};

struct PlatformCall {
  CallKind kind;
  std::string path;        // the file or folder, where the call names one
  std::int64_t count = 0;  // bytes asked for, where the call moves bytes
  OpenDisposition disposition = OpenDisposition::kReadExisting;
};

struct Fault {
  bool fail = false;
  std::int32_t partial = -1;  // >= 0: a read or write moves only this much
};

class MemoryPlatform final : public Platform {
 public:
  struct File {
    std::string bytes;
    unsigned mode = 0644;  // permissions, as on POSIX
    // On a full file system that copies every block written.
    bool no_room_to_rewrite = false;
    // Holes, [begin, end) in order: they read as the zeros `bytes` holds
    // there, and a write takes away what it covers.
    std::vector<std::pair<std::int64_t, std::int64_t>> holes;
    bool read_only = false;
    bool refuses_replace = false;     // hidden or system on Windows
    bool held_by_other = false;       // open for writing elsewhere
    std::int64_t apparent_size = -1;  // >= 0: the size reported instead
    // >= 0: no byte lands at or past this offset, as under a file-size
    // limit; a write across it moves what lies below it and falls short.
    std::int64_t write_limit = -1;
    // What a power loss could not take away: the bytes as of the last
    // flush (or as the file was added).
    std::string durable;
    // Which flush `durable` comes from: an older one that ends later does
    // not take it back.
    std::uint64_t durable_from = 0;
    // Set apart files that are not the same file for all their path.
    std::uint64_t generation = 0;
    // Not nullptr: a record another user could have written, and why (as
    // the platform's check of a record file tells it).
    const char* foreign = nullptr;
  };
  using CallHook = std::function<Fault(std::size_t index, const PlatformCall&)>;

  explicit MemoryPlatform(char separator = '/') : separator_(separator) {}
  ~MemoryPlatform() override;

  // The world.
  void AddFolder(const std::string& path);
  // A folder whose listing yields no entry at all, not even "." and "..",
  // as an empty drive root on Windows.
  void AddBareFolder(const std::string& path) { folders_[FolderKey(path)]; }
  File& AddFile(const std::string& path, const std::string& bytes);
  void RemoveFile(const std::string& path);
  bool HasFile(const std::string& path) const;
  File& FileAt(const std::string& path);
  std::vector<std::string> FilePaths() const;  // every file, sorted
  void SetArguments(CommandLine command_line) {
    command_line_ = std::move(command_line);
  }
  void QueueInput(const InputEvent& event) { input_.push_back(event); }
  void SetCallHook(CallHook hook) { hook_ = std::move(hook); }
  void SetBlockLimit(std::size_t bytes) { block_limit_ = bytes; }
  void SetPosixBehaviour() { posix_ = true; }
  void SetConventions(ConsoleConventions conventions) {
    conventions_ = conventions;
  }
  void SetKeyWaitUseful(bool useful) { key_wait_useful_ = useful; }
  // What the world's projects declare for a file, as .editorconfig would.
  void DeclareCharset(const std::string& path, CharsetDeclaration declared) {
    declared_[path] = std::move(declared);
  }
  void SetProgressShowable(bool showable) { progress_showable_ = showable; }
  void SetClockStep(std::int64_t ms) { clock_step_ms_ = ms; }
  // Every text shown as progress, in order ("" took it away).
  std::vector<std::string> progress() const;
  // Where StateFolder points; "" for none. By default "state" and
  // "sarnelux" below the root of the world's paths.
  void SetStateFolder(std::string folder) { state_folder_ = std::move(folder); }
  // The state folder, or a step on the way to it, is another user's to
  // change: StateFolderIsOwn says so, for this reason.
  void SetStateFolderForeign(const char* why) { state_foreign_ = why; }
  // The identity a file has, by its path and generation.
  FileIdentity IdentityOfFile(const std::string& path) const;

  // Runs the installed console-event handler on a thread of its own, as
  // Windows does. When the handler returns false the process counts as
  // ended: from then on every call fails and output is lost.
  void RaiseConsoleEventAsync(ConsoleEvent event);
  void JoinEventThreads();
  bool process_ended() const { return process_ended_; }

  // What happened.
  std::string output() const;
  std::string errors() const;  // the diagnostics written
  std::vector<PlatformCall> calls() const;
  std::size_t open_files() const;
  std::size_t open_listings() const { return listings_.size(); }
  std::size_t held_blocks() const { return blocks_.size(); }
  int console_opens() const { return console_opens_; }
  int console_closes() const { return console_closes_; }
  bool has_event_handler() const { return static_cast<bool>(handler_); }
  int input_waits() const { return input_waits_; }

  // Platform.
  char PathSeparator() const override { return separator_; }
  CommandLine GetArguments() override { return command_line_; }
  ConsoleConventions Conventions() const override { return conventions_; }
  Failure LastFailure() const override;
  PathKind KindOfPath(const std::string& path) override;
  NativeFile FileOpen(const std::string& path,
                      OpenDisposition disposition) override;
  std::int32_t FileRead(NativeFile file, void* destination,
                        std::int32_t count) override;
  std::int32_t FileWrite(NativeFile file, const void* source,
                         std::int32_t count) override;
  std::int32_t FileReadAt(NativeFile file, std::int64_t offset,
                          void* destination, std::int32_t count) override;
  std::int32_t FileWriteAt(NativeFile file, std::int64_t offset,
                           const void* source, std::int32_t count) override;
  bool FileTruncate(NativeFile file, std::int64_t length) override;
  std::int64_t FileSize(NativeFile file) override;
  bool FileClose(NativeFile file) override;
  bool FileFlush(NativeFile file) override;
  bool FilesFlush(const std::vector<NativeFile>& files) override;
  std::uint64_t FileFlushStart(NativeFile file) override;
  bool FileFlushWait(std::uint64_t ticket) override;
  bool FileIdentityOf(NativeFile file, FileIdentity& identity) override;
  bool FileRemove(const std::string& path) override;
  bool FileCopyAccess(NativeFile from, NativeFile to) override;
  bool FileRoomToRewrite(NativeFile file) override;
  bool FileGiveBack(NativeFile file, std::int64_t offset,
                    std::int64_t count) override;
  bool FileDataAt(NativeFile file, std::int64_t offset, std::int64_t& begin,
                  std::int64_t& end) override;
  std::string StateFolder(bool create) override;
  bool StateFolderIsOwn(const std::string& folder) override;
  std::size_t FilesToHold() override { return 1 << 16; }
  // The world's paths are all taken from its root.
  std::string AbsolutePath(const std::string& path) override { return path; }
  NativeListing ListFirst(const std::string& folder_path, ListingEntry& entry,
                          ListingStart& start) override;
  bool ListNext(NativeListing listing, ListingEntry& entry) override;
  void ListClose(NativeListing listing) override;
  bool FolderIdentity(const std::string& folder_path,
                      FileIdentity& identity) override;
  bool NameMatches(const std::string& pattern,
                   std::string_view name) const override;
  // The declarations DeclareCharset made; nullptr until one was made.
  std::unique_ptr<CharsetDeclarations> OpenCharsetDeclarations() override;
  void ConsoleOpen() override { ++console_opens_; }
  void ConsoleClose() override { ++console_closes_; }
  bool ConsoleWrite(const char* bytes, std::size_t count) override;
  bool DiagnosticWrite(const char* bytes, std::size_t count) override;
  bool KeyWaitUseful() override { return key_wait_useful_; }
  bool ProgressShowable() override { return progress_showable_; }
  void ShowProgress(const std::string& text) override;
  // The clock moves by its step at every reading, and by nothing else.
  std::int64_t MonotonicMilliseconds() override;
  int ConsolePendingEvents() override;
  bool ConsoleReadEvent(InputEvent& event) override;
  bool ConsoleWaitForInput() override;
  void SetConsoleEventHandler(ConsoleEventHandler handler) override;
  // The process counts as ended; the calls that follow all fail.
  void HoldUntilProcessEnds() override { ++holds_; }
  void EnterGuard() override { guard_.lock(); }
  void LeaveGuard() override { guard_.unlock(); }
  int holds() const { return holds_; }
  void* BlockAllocate(std::size_t size) override;
  void BlockRelease(void* block, std::size_t size) override;

 private:
  struct OpenFile {
    std::string path;
    std::size_t position = 0;
    bool can_read = false;
    bool can_write = false;
  };
  struct Listing {
    std::string folder;
    std::vector<std::pair<std::string, EntryKind>> entries;
    std::size_t next = 0;
  };

  Fault Enter(const PlatformCall& call);
  std::int32_t ReadAt(const OpenFile& open, std::size_t offset,
                      void* destination, std::int32_t count,
                      const Fault& fault);
  std::int32_t WriteAt(OpenFile& open, std::size_t offset, const void* source,
                       std::int32_t count, const Fault& fault);
  std::string FolderKey(const std::string& path) const;
  std::string ParentKey(const std::string& path) const;
  void AddEntry(const std::string& parent, const std::string& name);
  bool Deliver(Listing& listing, ListingEntry& entry);
  void Refresh(Listing& listing);

  mutable std::recursive_mutex mutex_;
  std::recursive_mutex guard_;  // apart: the handler waits on it, not mutex_
  char separator_;
  bool posix_ = false;
  CommandLine command_line_;
  std::uint64_t IdentityIndex(const std::string& path);

  // Flushes started and not yet waited for: the file, its bytes then, and
  // the flush's place in the order of all flushes.
  struct StartedFlush {
    std::string path;
    std::string bytes;
    std::uint64_t order = 0;
  };
  std::map<std::uint64_t, StartedFlush> started_flushes_;
  std::uint64_t flushes_ = 0;
  std::map<std::string, File> files_;
  std::map<std::string, std::uint64_t> identities_;
  std::map<std::string, std::vector<std::string>> folders_;  // key ends in /
  std::map<NativeFile, OpenFile> open_;
  NativeFile next_handle_ = 100;
  std::map<NativeListing, Listing*> listings_;
  std::map<std::string, CharsetDeclaration> declared_;
  std::map<void*, std::size_t> blocks_;
  std::size_t block_limit_ = std::size_t{1} << 30;
  std::string output_;
  std::string errors_;
  ConsoleConventions conventions_;
  bool key_wait_useful_ = true;
  bool progress_showable_ = false;
  std::vector<std::string> progress_;
  std::int64_t clock_ms_ = 0;
  std::int64_t clock_step_ms_ = 0;
  Failure last_failure_;
  std::vector<InputEvent> input_;
  std::size_t input_next_ = 0;
  int console_opens_ = 0;
  int console_closes_ = 0;
  int input_waits_ = 0;
  std::atomic<int> holds_{0};
  std::vector<PlatformCall> calls_;
  std::string state_folder_ =
      std::string("state") + separator_ + "sarnelux" + separator_;
  const char* state_foreign_ = nullptr;
  CallHook hook_;
  ConsoleEventHandler handler_;
  std::vector<std::thread> event_threads_;
  std::atomic<bool> process_ended_{false};
};

}  // namespace sarnelux

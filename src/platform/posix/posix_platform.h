// The platform layer over POSIX (tested on Linux).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_gate.h"

namespace sarnelux {

// Whether a link is followed: only when its owner is the user running the
// tool or owns what it points to, the rule Linux applies to links in shared
// folders (fs.protected_symlinks). A tree's owner can then make a run change
// nothing that they could not change themselves.
bool MayFollowLink(uid_t link_owner, uid_t target_owner);

// Why a record file can not be this user's own run's alone (see
// Platform::StateFolderIsOwn); nullptr when it can.
const char* RecordRefusal(const struct stat& info);

// True when what an open reached is what the name in folder holds now, or
// what a link there may lead to (see MayFollowLink): between a listing and
// an open, a tree's owner could have put a link where a file or folder was,
// and steered the run outside the tree; a link swapped in after the open
// shows too.
bool ReachedAsNamed(int folder, const char* name, const struct stat& opened);

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv);
  ~PosixPlatform() override;

  char PathSeparator() const override { return '/'; }
  CommandLine GetArguments() override;
  ConsoleConventions Conventions() const override { return {"\n", true}; }
  Failure LastFailure() const override { return last_failure_; }
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
  std::size_t FilesToHold() override;
  std::string AbsolutePath(const std::string& path) override;
  NativeListing ListFirst(const std::string& folder_path, ListingEntry& entry,
                          ListingStart& start) override;
  bool ListNext(NativeListing listing, ListingEntry& entry) override;
  void ListClose(NativeListing listing) override;
  bool HeadReadAhead(const std::string& path, unsigned char* head,
                     std::int32_t& count) override;
  bool FolderIdentity(const std::string& folder_path,
                      FileIdentity& identity) override;
  void FilterListings(const EntryFilter* filter) override;
  bool NameMatches(const std::string& pattern,
                   std::string_view name) const override;
  std::unique_ptr<CharsetDeclarations> OpenCharsetDeclarations() override;

  void ConsoleOpen() override;
  void ConsoleClose() override;
  bool ConsoleWrite(const char* bytes, std::size_t count) override;
  bool DiagnosticWrite(const char* bytes, std::size_t count) override;
  bool KeyWaitUseful() override;
  bool ProgressShowable() override { return progress_showable_; }
  void ShowProgress(const std::string& text) override;
  std::int64_t MonotonicMilliseconds() override;
  int ConsolePendingEvents() override;
  bool ConsoleReadEvent(InputEvent& event) override;
  bool ConsoleWaitForInput() override;
  void SetConsoleEventHandler(ConsoleEventHandler handler) override;
  void HoldUntilProcessEnds() override;
  void EnterGuard() override;
  void LeaveGuard() override;

  void* BlockAllocate(std::size_t size) override;
  void BlockRelease(void* block, std::size_t size) override;

  // Ends the process at once, as ExitProcess does on Windows.
  [[noreturn]] static void EndProcess(int status);

 private:
  bool ReadInputByte(unsigned char& byte);
  bool WriteWhole(int fd, const char* bytes, std::size_t count);
  // Notes why the call that is failing does: errno, or a rule of the tool's.
  void NoteFailure(int error);
  void NoteHeldOff(const char* reason);
  // Why an open for writing was refused, when the system said EACCES: the
  // file may simply be read-only, as a run by root finds it by hand.
  void NoteWriteRefused(const std::string& path, int error);
  bool WaitReadable(int timeout_ms, short& revents);
  // Runs the console-event handler for a signal noted meanwhile, unless the
  // main flow holds the guard; ends the process unless the handler says the
  // event is handled.
  void AnswerPendingSignal();
  struct OpenListing {
    std::string path;  // ends with '/'
    GateFolder* folder = nullptr;
    GateEntry* current = nullptr;  // handed out last; backs ListingEntry::name
  };
  bool Advance(OpenListing& listing, ListingEntry& entry);
  GateFolder* InnermostFolder() const;
  void ForgetIdentifiedFolder();
  // What the gate source did ahead for this path, if it is the entry the
  // walk is at: the descriptor it opened, or kAnsweredFile when it read the
  // first bytes already; -1 otherwise.
  int TakeOpenedAhead(const std::string& path);
  // The innermost listing's current entry, if path names it.
  GateEntry* ListedEntry(const std::string& path) const;
  // Opens a file for its gate: one listed as a file never through a link
  // put in its place since, one reached through a link only as far as
  // MayFollowLink allows.
  int OpenListedForReading(const std::string& path, int flags);

  // The folder to resolve a path against, and the name to resolve there.
  int FolderOf(const std::string& path, const char*& name) const;
  int OpenAt(const std::string& path, int flags, mode_t mode = 0666);
  // A folder of the innermost listing, by its name there (a trailing '/'
  // allowed), opened as the free function of that name does; notes why when
  // it cannot be.
  int OpenListedFolder(int parent, const char* name);
  // Counts the file among those open for writing.
  void NoteWriter(int fd);

  std::vector<std::string> args_;
  Failure last_failure_;
  bool input_is_terminal_ = false;
  bool output_is_terminal_ = false;
  bool progress_showable_ = false;
  bool output_closed_ = false;  // standard output was closed at the start
  bool input_ended_ = false;
  int lookahead_ = -1;  // a byte read past an escape sequence's start
  ConsoleEventHandler handler_;
  bool signals_installed_ = false;
  int guard_depth_ = 0;
  // Every file written since it was opened. While there is none,
  // no file can be left half-written, and a console event may end the
  // process even where the main flow holds the guard.
  std::vector<int> writers_;
  std::vector<int> records_;    // open records, which are never writers
  std::string current_folder_;  // ends with '/'; empty until asked
  // The descriptor whose last read met the end of its file: asking again
  // would only hear that once more.
  int at_end_fd_ = -1;
  // The open listings, innermost last. A file of the innermost folder is
  // opened relative to it, sparing the kernel the walk down the whole path
  // for every file.
  std::vector<std::unique_ptr<OpenListing>> listings_;
  // Lists the folders and does the gate's work ahead of the walk.
  std::unique_ptr<GateSource> gate_;
  int gate_fd_ = -1;  // opened by the walk for its gate, not read yet
  // The folder FolderIdentity opened, kept for the listing that follows.
  int identified_fd_ = -1;
  std::string identified_path_;
  // A gate file whose first bytes the gate source read ahead: the walk
  // "opens" it as kAnsweredFile and reads these bytes, without a descriptor.
  static constexpr int kAnsweredFile = -2;
  struct AnsweredFile {
    bool open = false;
    int count = 0;
    int taken = 0;
    unsigned char head[kGateBytes] = {};
  } answered_;
  // What the open for writing learned of its file, until it is written:
  // spares asking the kernel again for the size and the identity.
  struct KnownFile {
    int fd = -1;
    std::int64_t size = 0;
    FileIdentity identity;
    std::int64_t room = 0;  // bytes of the disk it takes
  } known_;
  // The volumes found to write blocks in place: what the room a rewrite
  // needs is never asked of again.
  std::vector<std::uint64_t> written_in_place_;
};

}  // namespace sarnelux

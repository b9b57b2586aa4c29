// The platform layer over POSIX (tested on Linux).
#pragma once

#include <dirent.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sarnelux {

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv);
  ~PosixPlatform() override;

  char PathSeparator() const override { return '/'; }
  CommandLine GetArguments() override;

  NativeFile FileOpen(const std::string& path,
                      OpenDisposition disposition) override;
  std::int32_t FileRead(NativeFile file, void* destination,
                        std::int32_t count) override;
  std::int32_t FileWrite(NativeFile file, const void* source,
                         std::int32_t count) override;
  std::int64_t FileSize(NativeFile file) override;
  bool FileClose(NativeFile file) override;
  bool FileIdentityOf(NativeFile file, FileIdentity& identity) override;
  bool FileRemove(const std::string& path) override;

  NativeListing ListFirst(const std::string& folder_path, ListingEntry& entry,
                          ListingStart& start) override;
  bool ListNext(NativeListing listing, ListingEntry& entry) override;
  void ListClose(NativeListing listing) override;
  bool FolderIdentity(const std::string& folder_path,
                      FileIdentity& identity) override;

  void ConsoleOpen() override;
  void ConsoleClose() override;
  void ConsoleWrite(const char* bytes, std::size_t count) override;
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

  // An entry of a listing, with the file's descriptor when it was opened
  // ahead of the walk.
  struct ListedEntry {
    std::string name;
    EntryKind kind = EntryKind::kFile;
    int fd = -1;
    bool opened_ahead = false;  // tried once, whether or not it opened
  };

 private:
  bool ReadInputByte(unsigned char& byte);
  bool WaitReadable(int timeout_ms, short& revents);
  // Runs the console-event handler for a signal noted meanwhile, unless the
  // main flow holds the guard; ends the process unless the handler says the
  // event is handled.
  void AnswerPendingSignal();
  struct OpenListing {
    std::string path;  // ends with '/'
    DIR* dir = nullptr;
    ListedEntry current;            // handed out last; backs ListingEntry::name
    std::deque<ListedEntry> ahead;  // read, not yet handed out
    bool exhausted = false;
  };
  void SetUpReadAhead();
  bool Advance(OpenListing& listing, ListingEntry& entry);
  void ReadAhead(OpenListing& listing);
  void ForgetAhead(ListedEntry& entry);
  // The descriptor opened ahead for this path, if it is the entry the walk
  // is at; -1 otherwise.
  int TakeOpenedAhead(const std::string& path);

  // The folder to resolve a path against, and the name to resolve there.
  int FolderOf(const std::string& path, const char*& name) const;
  int OpenAt(const std::string& path, int flags);
  struct Replacing;
  Replacing* FindReplacing(int fd);
  // Lets go of the lock that kept another run off the last file opened for
  // update: the walk has moved on from it.
  void ReleaseUpdateLock();

  std::vector<std::string> args_;
  bool input_is_terminal_ = false;
  bool input_ended_ = false;
  int lookahead_ = -1;  // a byte read past an escape sequence's start
  ConsoleEventHandler handler_;
  bool signals_installed_ = false;
  int guard_depth_ = 0;
  // Files opened to be replaced. They are written over from the start and
  // cut to length when closed, and meanwhile behave as if emptied at open:
  // emptying a file first makes ext4 free its blocks and force the new ones
  // out at close, which costs several times the rewrite itself. A file that
  // a write fell short on is not cut: beyond the bytes that landed it still
  // holds its old ones, and it stays as long as it was.
  // Written with pwrite from its own offset, which spares an lseek both to
  // start (the descriptor may be the one the file was read through) and to
  // find where to cut.
  struct Replacing {
    int fd = -1;
    off_t written = 0;
    bool fell_short = false;
  };
  std::vector<Replacing> replacing_;
  // Every file open for writing (replaced or created). While there is none,
  // no file can be left half-written, and a console event may end the
  // process even where the main flow holds the guard.
  std::vector<int> writers_;
  // The last file opened for update, locked (flock) against other runs of
  // the tool from that open until the walk moves on, so that the lock spans
  // the rewrite and its repairs although the descriptor is closed in
  // between; -1 when none. While the caller holds it open, update_open_.
  // Opened for reading and writing, it also serves the opens that replace
  // the same file: written over in place, it needs no descriptor of its own.
  int update_lock_ = -1;
  bool update_open_ = false;
  std::string update_path_;
  // The descriptor whose last read met the end of its file: asking again
  // would only hear that once more.
  int at_end_fd_ = -1;
  // The open listings, innermost last. A file of the innermost folder is
  // opened relative to it, sparing the kernel the walk down the whole path
  // for every file.
  std::vector<std::unique_ptr<OpenListing>> listings_;
  // Read-ahead (see posix_listing.cpp): how many entries each listing reads
  // ahead once it is on, and how many descriptors may be open ahead at once,
  // all listings together.
  int prefetch_depth_ = 32;
  int prefetch_budget_ = 0;
  int prefetched_ = 0;
  bool prefetching_ = false;  // reads keep finding data that is not cached
  int uncached_reads_ = 0;    // in a row, since the last one that was cached
  int gate_fd_ = -1;          // opened for reading; its read tells cold data
  // What the open for writing learned of its file, until it is written:
  // spares asking the kernel again for the size and the identity.
  struct KnownFile {
    int fd = -1;
    std::int64_t size = 0;
    FileIdentity identity;
  } known_;
};

}  // namespace sarnelux

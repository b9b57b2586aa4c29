// The platform layer over POSIX (tested on Linux).
#pragma once

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

 private:
  bool ReadInputByte(unsigned char& byte);
  bool WaitReadable(int timeout_ms, short& revents);
  // Runs the console-event handler for a signal noted meanwhile, unless the
  // main flow holds the guard; ends the process unless the handler says the
  // event is handled.
  void AnswerPendingSignal();
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
  struct Replacing {
    int fd = -1;
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
  int update_lock_ = -1;
  bool update_open_ = false;
  // The open listings, innermost last, as (folder path, DIR*). A file of
  // the innermost folder is opened relative to it, sparing the kernel the
  // walk down the whole path for every file.
  std::vector<std::pair<std::string, void*>> listings_;
  // What the open for writing learned of its file, until it is written:
  // spares asking the kernel again for the size and the identity.
  struct KnownFile {
    int fd = -1;
    std::int64_t size = 0;
    FileIdentity identity;
  } known_;
};

}  // namespace sarnelux

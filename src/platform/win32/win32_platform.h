// The platform layer over the Windows API (kernel32; advapi32 for owners and
// access lists), for the 32-bit ANSI program and its 64-bit build.
#pragma once

#include <string>

#include "platform/platform.h"

namespace sarnelux {

// Why a record held open as `file` (a HANDLE) cannot be only this user's
// own (see Platform::StateFolderIsOwn); nullptr when it can.
const char* RecordRefusal(void* file);
// Why a record this user may not open for writing is refused: what
// RecordRefusal finds, or that it is closed to this user.
const char* ClosedRecordRefusal(const std::wstring& path);

class Win32Platform final : public Platform {
 public:
  Win32Platform() = default;
  ~Win32Platform() override;

  char PathSeparator() const override { return '\\'; }
  CommandLine GetArguments() override;
  ConsoleConventions Conventions() const override { return {"\r\n", false}; }
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
  std::size_t FilesToHold() override;
  std::string AbsolutePath(const std::string& path) override;
  NativeListing ListFirst(const std::string& folder_path, ListingEntry& entry,
                          ListingStart& start) override;
  bool ListNext(NativeListing listing, ListingEntry& entry) override;
  void ListClose(NativeListing listing) override;
  bool FolderIdentity(const std::string& folder_path,
                      FileIdentity& identity) override;
  // The Windows program's classic command line names no patterns.
  bool NameMatches(const std::string& /*pattern*/,
                   std::string_view /*name*/) const override {
    return false;
  }
  // No EditorConfig library is built for Windows: the program refuses /E.
  std::unique_ptr<CharsetDeclarations> OpenCharsetDeclarations() override {
    return nullptr;
  }

  void ConsoleOpen() override;
  void ConsoleClose() override;
  bool ConsoleWrite(const char* bytes, std::size_t count) override;
  // The program's console is where everything it has to say goes.
  bool DiagnosticWrite(const char* bytes, std::size_t count) override {
    return ConsoleWrite(bytes, count);
  }
  // The console is the program's own: someone sees it.
  bool KeyWaitUseful() override { return true; }
  bool ProgressShowable() override { return own_console_; }
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

 private:
  // The tool's own code for a folder or record that another user could
  // have written, for LastFailure to tell why.
  static constexpr unsigned long kForeignState = 0x20000000 | 2;
  void Refuse(const char* why) {
    last_error_ = kForeignState;
    refusal_ = why;
  }

  void* input_ = nullptr;   // HANDLE
  void* output_ = nullptr;  // HANDLE
  unsigned original_output_code_page_ = 0;
  // The console is the program's own, opened for it (not one it shares
  // with the program that started it): its title is the run's to use.
  bool own_console_ = false;
  bool title_saved_ = false;
  std::string original_title_;
  unsigned long last_error_ = 0;  // of the last call that failed
  const char* refusal_ = "";      // with kForeignState
};

}  // namespace sarnelux

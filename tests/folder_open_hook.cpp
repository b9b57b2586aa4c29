// The program under test with a moment of the test's choosing: just before
// the listed folder named in SARNELUX_HOOK_FOLDER is first opened, it runs
// SARNELUX_HOOK_COMMAND, once. A tree changed there is changed exactly
// between the listing and the open, with no race left to chance.
#include <atomic>
#include <cstdlib>
#include <cstring>

extern "C" void SarneluxBeforeFolderOpen(int, const char* name) {
  // Folders may be opened ahead of the walk on threads of their own.
  static std::atomic<bool> done = false;
  const char* folder = std::getenv("SARNELUX_HOOK_FOLDER");
  const char* command = std::getenv("SARNELUX_HOOK_COMMAND");
  if (folder == nullptr || command == nullptr ||
      std::strcmp(folder, name) != 0 || done.exchange(true)) {
    return;
  }
  if (std::system(command) != 0) std::abort();
}

// The program under test with a moment of the test's choosing: just before
// the listed folder named in SARNELUX_HOOK_FOLDER is first opened, or the
// file named (whole path) in SARNELUX_HOOK_FILE is opened to be rewritten,
// it runs SARNELUX_HOOK_COMMAND, once. A tree changed there is changed
// exactly at that moment, with no race left to chance.
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> done = false;

void RunOnce(const char* variable, const char* name) {
  const char* chosen = std::getenv(variable);
  const char* command = std::getenv("SARNELUX_HOOK_COMMAND");
  if (chosen == nullptr || command == nullptr ||
      std::strcmp(chosen, name) != 0 || done.exchange(true)) {
    return;
  }
  if (std::system(command) != 0) std::abort();
}

}  // namespace

// Folders may be opened ahead of the walk on threads of their own.
extern "C" void SarneluxBeforeFolderOpen(int, const char* name) {
  RunOnce("SARNELUX_HOOK_FOLDER", name);
}

extern "C" void SarneluxBeforeFileUpdate(const char* path) {
  RunOnce("SARNELUX_HOOK_FILE", path);
}

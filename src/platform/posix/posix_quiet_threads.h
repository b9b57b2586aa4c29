// Threads of the tool's own that never take a signal.
//
// Signals are the main flow's to answer (posix_console.cpp): a helper thread
// that took one would run the handler where the main flow cannot see it.
// Where a limit on processes lets fewer threads start than asked, the run
// goes on with those that did; the caller decides what none at all means.
#pragma once

#include <signal.h>

#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace sarnelux {

template <typename Work>
void StartQuietThreads(std::vector<std::thread>& threads, int count,
                       const Work& work) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  for (int i = 0; i < count; ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace sarnelux

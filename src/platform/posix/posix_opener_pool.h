// Files' first bytes read by threads of our own: open, read, close.
//
// Where every call is a round trip to a daemon (a FUSE file system), a
// request handed to io_uring goes to one of the kernel's workers and comes
// back through another switch of tasks; threads that make the three calls
// themselves wait once per call. The gate pipeline queues its files here
// instead of on the ring there (posix_gate.cpp chooses).
//
// Beside a warm tree's walk, one thread shares the calls with the walk
// itself: the thread takes the newest jobs, a batch at a time, and the
// walk makes the oldest one's calls (RunOne) while it would wait for it,
// so that each of two cores does half the kernel's work and the two meet
// at the lock once a batch.
//
// Bounded: the threads hold one descriptor each, and jobs wait in a queue
// no longer than the pipeline's depth. A job names its file relative to a
// folder's descriptor, which the caller keeps open until the job is done.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sarnelux {

class OpenerPool {
 public:
  struct Job {
    int folder_fd = -1;
    std::string name;
    int slot = -1;
    unsigned char* head = nullptr;  // kGateBytes, the caller's
  };
  struct Done {
    int slot = -1;
    int opened = 0;  // < 0: the open's error
    int read = 0;    // bytes read, < 0: the read's error
  };

  enum class Order {
    kOldestFirst,  // one job at a time, in the order queued
    kNewestFirst,  // a batch at a time, leaving the oldest to RunOne
  };

  explicit OpenerPool(int threads, Order order = Order::kOldestFirst);
  ~OpenerPool();
  OpenerPool(const OpenerPool&) = delete;
  OpenerPool& operator=(const OpenerPool&) = delete;

  // None where the system would start no thread: the pool is then of no
  // use, and the caller takes another road.
  int threads() const { return static_cast<int>(threads_.size()); }
  Order order() const { return order_; }

  // Queued jobs wait for Submit, so that one wake-up serves many.
  void Queue(Job job);
  void Submit();
  // Moves the jobs done so far to out (cleared first).
  void Take(std::vector<Done>& out);
  // Waits until a job is done (slot >= 0: that slot's job) or the slice
  // has passed: each wake-up costs the waiter a switch of tasks, and the
  // jobs after the one it waits for are of no use to it yet.
  void Wait(std::chrono::nanoseconds slice, int slot = -1);
  // As Wait, without giving up the core: for a wait known to be short,
  // which sleeping would make as long as waking a core takes.
  void Spin(std::chrono::nanoseconds most) const;
  // Makes the calls of the oldest job no thread has begun, on the
  // caller's thread; false when there is none.
  bool RunOne();
  // Jobs no thread has started are done at once, as cancelled.
  void CancelQueued();

 private:
  void Work();
  static Done Run(const Job& job);

  const Order order_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_signal_;
  std::deque<Job> waiting_;  // queued, not yet submitted
  std::deque<Job> jobs_;     // submitted, not yet started
  std::vector<Done> done_;
  std::atomic<bool> any_done_{false};  // done_ is not empty
  int awaited_ = -1;  // the slot a caller waits for, if any
  bool awaited_done_ = false;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace sarnelux

#include "platform/posix/posix_opener_pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/posix/posix_gate.h"
#include "platform/posix/posix_quiet_threads.h"

namespace sarnelux {

OpenerPool::OpenerPool(int threads) {
  StartQuietThreads(threads_, threads, [this] { Work(); });
}

OpenerPool::~OpenerPool() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void OpenerPool::Queue(Job job) { waiting_.push_back(std::move(job)); }

void OpenerPool::Submit() {
  if (waiting_.empty()) return;
  std::size_t count = 0;
  {
    const std::lock_guard lock(mutex_);
    count = waiting_.size();
    for (Job& job : waiting_) jobs_.push_back(std::move(job));
  }
  waiting_.clear();
  // One thread woken for each job: the others may still be busy, and wake
  // none that would find the queue empty.
  for (std::size_t i = 0; i < count && i < threads_.size(); ++i) {
    work_.notify_one();
  }
}

void OpenerPool::Take(std::vector<Done>& out) {
  out.clear();
  const std::lock_guard lock(mutex_);
  out.swap(done_);
}

void OpenerPool::Wait(std::chrono::nanoseconds slice) {
  std::unique_lock lock(mutex_);
  done_signal_.wait_for(lock, slice, [this] { return !done_.empty(); });
}

void OpenerPool::CancelQueued() {
  std::deque<Job> cancelled = std::move(waiting_);
  waiting_.clear();
  const std::lock_guard lock(mutex_);
  for (Job& job : jobs_) cancelled.push_back(std::move(job));
  jobs_.clear();
  for (const Job& job : cancelled) {
    done_.push_back(Done{job.slot, -ECANCELED, -ECANCELED});
  }
  if (!cancelled.empty()) done_signal_.notify_all();
}

void OpenerPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (stop_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    // As the ring opens it: never through a link put in its place, and
    // without waiting for a writer where a FIFO stands.
    Done done{job.slot, 0, 0};
    const int fd =
        openat(job.folder_fd, job.name.c_str(),
               O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      done.opened = -errno;
      done.read = -ECANCELED;
    } else {
      const ssize_t got = read(fd, job.head, kGateBytes);
      done.read = got < 0 ? -errno : static_cast<int>(got);
      close(fd);
    }
    lock.lock();
    done_.push_back(done);
    done_signal_.notify_one();
  }
}

}  // namespace sarnelux

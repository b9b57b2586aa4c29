// Flushes that go on in the background, through an io_uring of their own:
// fdatasync as a request the kernel's workers carry out, while the rewrite
// writes its next region. A request holds its own reference to the file,
// so closing the descriptor meanwhile (a console event) is safe. Without
// io_uring, or where it is refused, each flush is done at once.
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/posix/posix_platform.h"

#ifdef SARNELUX_HAVE_LIBURING
#include <liburing.h>
#endif

namespace sarnelux {
namespace {

// A ticket whose flush was done at once, and succeeded.
constexpr std::uint64_t kFlushedAtOnce = 1;

#ifdef SARNELUX_HAVE_LIBURING
class FlushRing {
 public:
  FlushRing() { ready_ = io_uring_queue_init(kEntries, &ring_, 0) == 0; }
  ~FlushRing() {
    if (ready_) io_uring_queue_exit(&ring_);
  }
  FlushRing(const FlushRing&) = delete;
  FlushRing& operator=(const FlushRing&) = delete;

  // The ticket of a flush under way; 0 when none could be started.
  std::uint64_t Start(int fd) {
    if (!ready_) return 0;
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
    if (sqe == nullptr) return 0;
    io_uring_prep_fsync(sqe, fd, IORING_FSYNC_DATASYNC);
    const std::uint64_t ticket = ++last_ticket_;
    io_uring_sqe_set_data64(sqe, ticket);
    if (io_uring_submit(&ring_) != 1) {
      ready_ = false;  // the request may be queued still: use the ring no more
      return 0;
    }
    files_[ticket] = fd;
    return ticket;
  }

  // The flush's result; a request the ring refused (a seccomp profile, a
  // kernel without the operation) is done at once instead. A flush that
  // failed is never tried again: the kernel reports a lost write once.
  bool Wait(std::uint64_t ticket, PosixPlatform& platform) {
    while (done_.count(ticket) == 0) {
      io_uring_cqe* cqe = nullptr;
      const int waited = io_uring_wait_cqe(&ring_, &cqe);
      if (waited == -EINTR) continue;
      if (waited < 0) return false;
      done_[io_uring_cqe_get_data64(cqe)] = cqe->res;
      io_uring_cqe_seen(&ring_, cqe);
    }
    const int result = done_[ticket];
    const int fd = files_[ticket];
    done_.erase(ticket);
    files_.erase(ticket);
    if (result == -EPERM || result == -EINVAL || result == -EOPNOTSUPP ||
        result == -ENOSYS) {
      ready_ = false;
      return platform.FileFlush(static_cast<NativeFile>(fd));
    }
    return result == 0;
  }

 private:
  static constexpr unsigned kEntries = 8;
  io_uring ring_{};
  bool ready_ = false;
  // Tickets above the one for flushes done at once.
  std::uint64_t last_ticket_ = kFlushedAtOnce;
  std::map<std::uint64_t, int> done_;   // ticket: the request's result
  std::map<std::uint64_t, int> files_;  // ticket: its descriptor
};

FlushRing& Ring() {
  static FlushRing ring;
  return ring;
}
#endif

}  // namespace

std::uint64_t PosixPlatform::FileFlushStart(NativeFile file) {
#ifdef SARNELUX_HAVE_LIBURING
  if (const std::uint64_t ticket = Ring().Start(static_cast<int>(file))) {
    return ticket;
  }
#endif
  return FileFlush(file) ? kFlushedAtOnce : 0;
}

bool PosixPlatform::FileFlushWait(std::uint64_t ticket) {
  if (ticket == kFlushedAtOnce) return true;
#ifdef SARNELUX_HAVE_LIBURING
  return ticket != 0 && Ring().Wait(ticket, *this);
#else
  return false;
#endif
}

}  // namespace sarnelux

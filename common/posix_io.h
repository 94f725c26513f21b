// posix_io.h - the one place for the small wrappers round system calls that the libraries and the
// daemons share: owners of descriptors, streams, directories and malloc'ed memory, the EINTR
// retry, whole reads and writes, monotonic time, sleeping, and waiting for a descriptor until a
// deadline. Header-only, so that both the static and the shared libraries can use it without
// exporting anything.
//
// Never retry close() after EINTR: on Linux the descriptor is released either way and may already
// have been reused by the time a retry runs.
#ifndef ORV_POSIX_IO_H_
#define ORV_POSIX_IO_H_

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace orv {

// Repeats a system call while it fails with EINTR. The call must report failure as -1.
template <typename F>
auto RetryOnEintr(F call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Owns a file descriptor; closes it on destruction.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;  // a destructor must not disturb the caller's errno
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(FILE *f) const {
    int saved = errno;
    fclose(f);
    errno = saved;
  }
};
// Owns a stdio stream. Where the result of fclose matters (a written file), release() the stream
// and close it explicitly.
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR *d) const {
    int saved = errno;
    closedir(d);
    errno = saved;
  }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
// Owns memory from malloc (texts handed across the C boundary are malloc'ed).
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Milliseconds on the monotonic clock, which no step of the wall clock moves.
inline int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline void SleepMs(long ms) {
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&wait, nullptr);
}

// A point on the monotonic clock by which something must be done; Never() waits without end.
class Deadline {
 public:
  static Deadline In(int64_t ms) { return Deadline(MonotonicMs() + (ms < 0 ? 0 : ms)); }
  static Deadline Never() { return Deadline(-1); }
  bool never() const { return at_ < 0; }
  // What is left, in milliseconds for poll(): -1 for no deadline, 0 once it has passed.
  int LeftMs() const {
    if (at_ < 0) return -1;
    int64_t left = at_ - MonotonicMs();
    return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
  }
  bool Passed() const { return at_ >= 0 && at_ <= MonotonicMs(); }

 private:
  explicit Deadline(int64_t at) : at_(at) {}
  int64_t at_;
};

// Waits until fd is ready for events (or has hung up) before the deadline. An interrupted wait
// goes on with only what is left, so signals cannot extend it. 1 ready; 0 the deadline passed
// (errno ETIMEDOUT); -1 poll failed. poll rather than select: select cannot watch a descriptor
// numbered FD_SETSIZE or above.
inline int PollUntil(int fd, short events, const Deadline &deadline) {
  struct pollfd p = {fd, events, 0};
  int ready = RetryOnEintr([&] { return poll(&p, 1, deadline.LeftMs()); });
  if (ready == 0) errno = ETIMEDOUT;
  return ready > 0 ? 1 : ready;
}

// Writes all of count bytes; false with errno set (EIO for a write that wrote nothing).
inline bool WriteAll(int fd, const void *buf, size_t count) {
  const char *p = static_cast<const char *>(buf);
  while (count > 0) {
    ssize_t n = RetryOnEintr([&] { return write(fd, p, count); });
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly count bytes, waiting for each piece until the deadline (a non-blocking descriptor
// is waited for too). False: errno ETIMEDOUT when the deadline passed first, 0 when the peer
// closed first, else the read's error.
inline bool ReadFull(int fd, void *buf, size_t count, const Deadline &deadline) {
  char *p = static_cast<char *>(buf);
  while (count > 0) {
    if (!deadline.never() && PollUntil(fd, POLLIN, deadline) != 1) return false;
    ssize_t n = RetryOnEintr([&] { return read(fd, p, count); });
    if (n < 0 && errno == EAGAIN) {
      if (PollUntil(fd, POLLIN, deadline) != 1) return false;
      continue;
    }
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Holds SIGPIPE back from this thread for its lifetime: a write to a socket or pipe whose reader
// has gone must fail with EPIPE, not end the process. The disposition is shared by every thread and
// other threads may be asking at the same moment, so only this thread's mask is changed; a SIGPIPE
// that the write raised is taken off the pending set before the mask is put back.
class ScopedBlockSigpipe {
 public:
  ScopedBlockSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
    sigset_t pending;
    pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~ScopedBlockSigpipe() {
    if (!blocked_) return;
    int saved = errno;
    sigset_t pending;
    if (!pendingBefore_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const struct timespec now = {0, 0};
      RetryOnEintr([&] { return sigtimedwait(&pipe_, nullptr, &now); });
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = saved;
  }
  ScopedBlockSigpipe(const ScopedBlockSigpipe &) = delete;
  ScopedBlockSigpipe &operator=(const ScopedBlockSigpipe &) = delete;

 private:
  sigset_t pipe_, previous_;
  bool blocked_, pendingBefore_;
};

}  // namespace orv

#endif  // ORV_POSIX_IO_H_

// posix_io.h - the one place for the small wrappers round system calls that the libraries and the
// daemons share: owners of descriptors, streams, directories and malloc'ed memory, and the EINTR
// retry. Header-only, so that both the static and the shared libraries can use it without
// exporting anything.
//
// Never retry close() after EINTR: on Linux the descriptor is released either way and may already
// have been reused by the time a retry runs.
#ifndef ORV_POSIX_IO_H_
#define ORV_POSIX_IO_H_

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
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

}  // namespace orv

#endif  // ORV_POSIX_IO_H_

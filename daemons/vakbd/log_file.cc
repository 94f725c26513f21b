// log_file.cc - the checks a file passes before vakbd logs into it.
#include "log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_io.h"

namespace vakbd {

const daemons::LogStyle kLogStyle = {"", 1024, true, true};
const char kLogHeader[] = "# vakbd log\n";

namespace {

// Decides whether an opened file may become the log; writes the header into an empty one.
bool AcceptLogFile(int fd, const char **why) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *why = strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return false;
  }
  const size_t headerLength = sizeof kLogHeader - 1;
  if (st.st_size == 0) {
    if (!orv::WriteAll(fd, kLogHeader, headerLength)) {
      *why = "cannot write to the file";
      return false;
    }
    return true;
  }
  char head[sizeof kLogHeader];
  ssize_t n = orv::RetryOnEintr([&] { return pread(fd, head, headerLength, 0); });
  if (n != static_cast<ssize_t>(headerLength) || memcmp(head, kLogHeader, headerLength) != 0) {
    *why = "an existing file that is not a vakbd log";
    return false;
  }
  return true;
}

}  // namespace

bool StartLog(daemons::DaemonLog *log, const char *path, const char **why) {
  if (path == nullptr || path[0] != '/') {
    // The daemon works in "/", so a relative name would not mean what its sender meant.
    *why = "not an absolute path";
    return false;
  }
  // Read access only to check the header of an existing file.
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader forever and stop the
  // whole daemon; the file is then refused as not regular.
  orv::UniqueFd fd(orv::RetryOnEintr([&] {
    return open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                0600);
  }));
  if (!fd.valid()) {
    *why = errno == ELOOP ? "the name is a symbolic link" : strerror(errno);
    return false;
  }
  if (!AcceptLogFile(fd.get(), why)) return false;
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *why = strerror(errno);
    return false;
  }
  if (!log->Use(fd.release(), path)) {
    *why = "out of memory";
    return false;
  }
  return true;
}

}  // namespace vakbd

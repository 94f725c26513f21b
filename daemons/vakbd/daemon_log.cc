// daemon_log.cc - log file handling and line formatting.
#include "daemon_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "posix_io.h"

namespace vakbd {

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
    if (write(fd, kLogHeader, headerLength) != static_cast<ssize_t>(headerLength)) {
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

bool Log::Start(const char *path, const char **why) {
  if (path == nullptr || path[0] != '/') {
    // The daemon works in "/", so a relative name would not mean what its sender meant.
    *why = "not an absolute path";
    return false;
  }
  char *copy = strdup(path);
  if (copy == nullptr) {
    *why = "out of memory";
    return false;
  }
  orv::MallocPtr<char> owned(copy);
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
  Stop();
  fd_ = fd.release();
  path_ = owned.release();
  return true;
}

void Log::Stop() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  free(path_);
  path_ = nullptr;
}

void Log::Write(const char *format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

void Log::Debug(const char *format, ...) {
  if (!debug_) return;
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

void Log::WriteV(const char *format, va_list args) {
  if (fd_ < 0) return;
  char line[1024];
  time_t now = time(nullptr);
  struct tm local;
  size_t used = 0;
  if (localtime_r(&now, &local) != nullptr) {
    used = strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S ", &local);
  }
  int n = vsnprintf(line + used, sizeof line - used, format, args);
  if (n < 0) return;
  used += static_cast<size_t>(n);
  if (used > sizeof line - 2) {
    // Over-long lines are cut, and marked so that a reader knows.
    used = sizeof line - 5;
    memcpy(line + used, "...", 3);
    used += 3;
  }
  line[used++] = '\n';
  // One write per line, so lines from a restarted daemon on the same file never interleave.
  // A full disk must not stop the service: the line is lost.
  ssize_t ignored = write(fd_, line, used);
  (void)ignored;
}

void Sanitize(const char *text, char *out, size_t outSize) {
  static const char kHex[] = "0123456789abcdef";
  if (outSize < 4) {
    out[0] = '\0';
    return;
  }
  const size_t limit = outSize - 4;  // room kept for "..." and the NUL
  size_t used = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
    char piece[4];
    size_t length = 0;
    if (*p == '\\') {
      piece[length++] = '\\';
      piece[length++] = '\\';
    } else if (*p >= 0x20 && *p < 0x7f) {
      piece[length++] = static_cast<char>(*p);
    } else {
      piece[length++] = '\\';
      piece[length++] = 'x';
      piece[length++] = kHex[*p >> 4];
      piece[length++] = kHex[*p & 0xf];
    }
    if (used + length > limit) {
      memcpy(out + used, "...", 3);
      used += 3;
      break;
    }
    memcpy(out + used, piece, length);
    used += length;
  }
  out[used] = '\0';
}

}  // namespace vakbd

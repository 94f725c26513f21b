// daemon_log.cc - log files and line formatting of both daemons.
#include "daemon_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

#include "posix_io.h"

namespace daemons {

namespace {

const size_t kLongestLine = 8192, kShortestLine = 64;

// Writes the time of a line into out; returns its length (0 if it cannot be had).
size_t FormatTime(bool zoned, char *out, size_t size) {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  if (!zoned) return strftime(out, size, "%Y-%m-%d %H:%M:%S ", &local);
  // strftime's %z is "+0100"; ISO 8601's extended form, like the date and time, is "+01:00".
  char offset[16];
  size_t used = strftime(out, size, "%Y-%m-%dT%H:%M:%S", &local);
  if (used == 0 || strftime(offset, sizeof offset, "%z", &local) != 5) return used;
  int n = snprintf(out + used, size - used, "%.3s:%.2s ", offset, offset + 3);
  return n > 0 && static_cast<size_t>(n) < size - used ? used + static_cast<size_t>(n) : used;
}

}  // namespace

DaemonLog::DaemonLog(const LogStyle &style)
    : lineSize_(style.lineSize < kShortestLine  ? kShortestLine
                : style.lineSize > kLongestLine ? kLongestLine
                                                : style.lineSize),
      markCut_(style.markCut),
      zoned_(style.zoned) {
  snprintf(tag_, sizeof tag_, "%s", style.tag);
}

DaemonLog::~DaemonLog() {
  Close();
  free(fallback_);
}

bool DaemonLog::SetFallback(const char *path) {
  char *copy = strdup(path);
  if (copy == nullptr) return false;
  free(fallback_);
  fallback_ = copy;
  return true;
}

bool DaemonLog::Open(const char *path) {
  int fd = orv::RetryOnEintr(
      [&] { return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); });
  return fd >= 0 && Use(fd, path);
}

bool DaemonLog::Use(int fd, const char *path) {
  orv::UniqueFd owned(fd);
  char *copy = strdup(path);
  if (copy == nullptr) return false;
  Close();
  fd_ = owned.release();
  path_ = copy;
  return true;
}

void DaemonLog::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  free(path_);
  path_ = nullptr;
}

const char *DaemonLog::path() const {
  return path_ != nullptr ? path_ : fallback_ != nullptr ? fallback_ : "none";
}

void DaemonLog::Write(const char *format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

void DaemonLog::Debug(const char *format, ...) {
  if (!debug_) return;
  va_list args;
  va_start(args, format);
  WriteV(format, args);
  va_end(args);
}

void DaemonLog::WriteV(const char *format, va_list args) {
  if (fd_ < 0 && (fallback_ == nullptr || !Open(fallback_)) && echoFd_ < 0) return;
  char line[kLongestLine];
  size_t used = FormatTime(zoned_, line, lineSize_);
  int n = snprintf(line + used, lineSize_ - used, "%s", tag_);
  if (n > 0) used += static_cast<size_t>(n);
  if (used < lineSize_) {
    n = vsnprintf(line + used, lineSize_ - used, format, args);
    if (n < 0) return;
    used += static_cast<size_t>(n);
  }
  if (used > lineSize_ - 2) {
    used = lineSize_ - 2;
    if (markCut_) {
      used -= 3;
      memcpy(line + used, "...", 3);
      used += 3;
    }
  }
  line[used++] = '\n';
  // One write per line, so lines from a restarted daemon on the same file never interleave.
  // A full disk must not stop the service: the line is lost.
  for (int fd : {fd_, echoFd_}) {
    if (fd < 0) continue;
    ssize_t ignored = write(fd, line, used);
    (void)ignored;
  }
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

}  // namespace daemons

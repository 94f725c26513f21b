// daemon_log.cc - the log file of vakcompatd.
#include "daemon_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <utility>

namespace vakcompatd {

DaemonLog::DaemonLog(std::string defaultPath)
    : defaultPath_(std::move(defaultPath)), path_(defaultPath_) {}

DaemonLog::~DaemonLog() {
  if (fd_ >= 0) close(fd_);
}

bool DaemonLog::Open(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

bool DaemonLog::Start(const std::string &path) {
  if (Open(path)) return true;
  int err = errno;
  Error("cannot open log file %s: %s", path.c_str(), strerror(err));
  return false;
}

void DaemonLog::Stop() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  path_ = defaultPath_;
}

void DaemonLog::Error(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

void DaemonLog::Debug(const char *format, ...) {
  if (!debug_) return;
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

void DaemonLog::Write(const char *format, va_list args) {
  if (fd_ < 0 && !Open(path_)) return;  // nowhere to log: the error is dropped
  char line[8192];
  time_t now = time(nullptr);
  struct tm local;
  size_t used = strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &local));
  int n = snprintf(line + used, sizeof line - used, " vakcompatd[%ld]: ", (long)getpid());
  if (n > 0) used += static_cast<size_t>(n);
  if (used < sizeof line) {
    n = vsnprintf(line + used, sizeof line - used, format, args);
    if (n > 0) used += static_cast<size_t>(n);
  }
  // An over-long line is cut, keeping room for its line end.
  if (used > sizeof line - 2) used = sizeof line - 2;
  line[used++] = '\n';
  ssize_t ignored = write(fd_, line, used);
  (void)ignored;
}

}  // namespace vakcompatd

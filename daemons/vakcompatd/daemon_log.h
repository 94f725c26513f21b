// daemon_log.h - the log file of vakcompatd: its own errors always, and requests and replies
// when debug mode is on.
#ifndef VAKCOMPATD_DAEMON_LOG_H_
#define VAKCOMPATD_DAEMON_LOG_H_

#include <stdarg.h>

#include <string>

namespace vakcompatd {

class DaemonLog {
 public:
  // Logs into defaultPath until Start names another file.
  explicit DaemonLog(std::string defaultPath);
  ~DaemonLog();
  DaemonLog(const DaemonLog &) = delete;
  DaemonLog &operator=(const DaemonLog &) = delete;

  void Error(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // Written only in debug mode.
  void Debug(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void SetDebug(bool on) { debug_ = on; }

  // Continues the log in the named file (appending). A file that cannot be opened is reported in
  // the current log, which stays in use; returns false then.
  bool Start(const std::string &path);
  // Goes back to the default file.
  void Stop();
  const std::string &path() const { return path_; }

 private:
  void Write(const char *format, va_list args);
  bool Open(const std::string &path);

  std::string defaultPath_;
  std::string path_;
  int fd_ = -1;  // opened on the first line, so a quiet daemon leaves no file behind
  bool debug_ = false;
};

}  // namespace vakcompatd

#endif  // VAKCOMPATD_DAEMON_LOG_H_

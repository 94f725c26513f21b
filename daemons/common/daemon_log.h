// daemon_log.h - the log file of both daemons: timestamped lines written whole, a verbose (debug)
// mode, and the cleaning of texts that came from a peer.
//
// Which files may become a log is each daemon's own rule: vakbd checks a requested file before it
// hands it over (Use), vakcompatd appends to whatever it is given (Open).
#ifndef VAK_DAEMONS_DAEMON_LOG_H_
#define VAK_DAEMONS_DAEMON_LOG_H_

#include <stdarg.h>
#include <stddef.h>

namespace daemons {

// How a daemon's lines look: "<date> <time> <tag><text>", or with zoned
// "<date>T<time><offset> <tag><text>" (ISO 8601, e.g. "2026-03-01T14:05:09+01:00"), which reads
// the same wherever the reader is.
struct LogStyle {
  const char *tag;     // e.g. "vakcompatd[42]: ", or ""
  size_t lineSize;     // longest line, its newline included; a longer one is cut
  bool markCut;        // whether a cut line ends in "..." so that a reader knows
  bool zoned = false;  // whether the time carries its offset from UTC
};

class DaemonLog {
 public:
  explicit DaemonLog(const LogStyle &style);
  ~DaemonLog();
  DaemonLog(const DaemonLog &) = delete;
  DaemonLog &operator=(const DaemonLog &) = delete;

  // Logs into path while no other file is in use; it is opened (as Open does) on the first line,
  // so a quiet daemon leaves no file behind. False when out of memory.
  bool SetFallback(const char *path);
  // Continues the log in path, opened for appending (created with mode 0644). On failure the
  // current log stays and errno says why.
  bool Open(const char *path);
  // Continues the log in fd, which the log now owns and which is known as path. The previous file
  // is closed. False when out of memory (fd is closed then, and the previous file stays).
  bool Use(int fd, const char *path);
  // Closes the file in use: the log goes back to the fallback, or nowhere.
  void Close();
  void SetDebug(bool on) { debug_ = on; }
  // Also writes every line to fd (not owned; -1: nowhere), whatever file is in use or none:
  // standard error of a daemon run in the foreground.
  void EchoTo(int fd) { echoFd_ = fd; }

  bool active() const { return fd_ >= 0; }
  int fd() const { return fd_; }  // the file in use, -1 when none
  bool debug() const { return debug_; }
  // The file in use, else the fallback, else "none".
  const char *path() const;

  // Appends one timestamped line (a newline is added). Nothing happens without a log file or echo.
  void Write(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // As Write, in debug mode only.
  void Debug(const char *format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void WriteV(const char *format, va_list args);

  char tag_[64];
  size_t lineSize_;
  bool markCut_;
  bool zoned_;
  int fd_ = -1;
  int echoFd_ = -1;
  char *path_ = nullptr;
  char *fallback_ = nullptr;
  bool debug_ = false;
};

// Copies text into out (size > 0), NUL-terminated, with every byte that is not printable ASCII
// written as \xHH and a backslash as \\; cut short with "..." when out is too small. Requests reach
// a log from any peer: a hostile one cannot start a new line or plant control characters.
void Sanitize(const char *text, char *out, size_t outSize);

}  // namespace daemons

#endif  // VAK_DAEMONS_DAEMON_LOG_H_

// daemon_log.h - the daemon's optional log file: timestamped lines, and a verbose (debug) mode.
//
// Requests reach the log from any peer, so every text that came from the network goes through
// Sanitize first: a hostile request cannot start a new line or plant control characters.
#ifndef VAKBD_DAEMON_LOG_H_
#define VAKBD_DAEMON_LOG_H_

#include <stdarg.h>
#include <stddef.h>

namespace vakbd {

// First line of every log file. An existing, non-empty file is appended to only when it begins
// with this line: the daemon runs with its user's rights, and a name given in error must not
// make it append text to that user's other files.
extern const char kLogHeader[];

class Log {
 public:
  Log() = default;
  ~Log() { Stop(); }
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;

  // Opens path for appending: absolute paths only, a final symbolic link is not followed, a new
  // file gets mode 0600, and only regular files are accepted. On success the previous log (if any)
  // is closed and true is returned; on failure the previous log stays and *why says what failed.
  bool Start(const char *path, const char **why);
  void Stop();
  void EnableDebug() { debug_ = true; }

  bool active() const { return fd_ >= 0; }
  bool debug() const { return debug_; }
  const char *path() const { return path_ != nullptr ? path_ : "none"; }

  // Appends one timestamped line (a newline is added). Nothing happens without a log file.
  void Write(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // As Write, in debug mode only.
  void Debug(const char *format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void WriteV(const char *format, va_list args);

  int fd_ = -1;
  char *path_ = nullptr;
  bool debug_ = false;
};

// Copies text into out (size > 0), NUL-terminated, with every byte that is not printable ASCII
// written as \xHH and a backslash as \\; cut short with "..." when out is too small.
void Sanitize(const char *text, char *out, size_t outSize);

}  // namespace vakbd

#endif  // VAKBD_DAEMON_LOG_H_

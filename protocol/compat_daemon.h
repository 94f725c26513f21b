// compat_daemon.h - the Compatibility Daemon protocol (vakcompatd, a child over two pipes):
// message kinds and keywords, the version exchange and the form of the requests.
//
// The client opens with "VersionReq" and expects "VakCompatDVersion 2"; then, in order:
//   "Lock \"path\" \"reason\" pid" -> "GotLock TRUE" | "GotLock FALSE \"<reason>\""
//   "Unlock \"path\" pid"        -> "DidUnLock TRUE" | "DidUnLock FALSE \"<reason>\""
//   "ReportLog"                 -> "LogInfo <log file path>"
//   "StartLog <file>", "StopLog", "Debug", "Die" -> no reply
// A refusal whose reason ends in words starting at its last capital R with "Requested lock" says
// that another process holds the file; no other reason does.
#ifndef VAK_PROTOCOL_COMPAT_DAEMON_H_
#define VAK_PROTOCOL_COMPAT_DAEMON_H_

#include "messages.h"

// Message kinds of the Compatibility Daemon protocol.
enum {
  kCdLock = 0,
  kCdUnlock = 1,
  kCdVersionReq = 2,
  kCdDie = 3,
  kCdStartLog = 4,
  kCdStopLog = 5,
  kCdReportLog = 6,
  kCdDebug = 7,
  kCdGotLock = 8,
  kCdDidUnLock = 9,
  kCdVersion = 10,
  kCdLogInfo = 11
};

enum { kCompatProtocolVersion = 2 };

// Position just after the keyword, or NULL (kind untouched).
const char *vakCompatDParseMsg(const char *message, int *kind);

namespace protocol {

extern const Dialect kCompatDaemon;
extern const char kCdAlreadyLockedMarker[];  // "Requested lock"

// The requests with arguments, from malloc (NULL when out of memory). Paths and reasons go
// unescaped: the daemon takes the path to the last double quote (Unlock) or to the first `" "`.
char *NewLockRequest(const char *filePath, const char *reason, unsigned long processId);
char *NewUnlockRequest(const char *filePath, unsigned long processId);

}  // namespace protocol

#endif  // VAK_PROTOCOL_COMPAT_DAEMON_H_

// request.h - recognising one request of the Boolean Daemon protocol.
//
// Keywords are recognised by the protocol's own parser (bool_daemon.h), the one the client uses.
// Only the arguments a request needs are examined; whatever follows them is ignored.
#ifndef VAKBD_REQUEST_H_
#define VAKBD_REQUEST_H_

#include <stdint.h>

#include "bool_daemon.h"

namespace vakbd {

// The request kinds of the protocol.
enum class RequestKind {
  kInvalid = -1,  // unknown keyword, a reply keyword, or arguments that do not parse: no reply
  kProcAlive = kBdProcAlive,
  kDie = kBdDie,
  kStartLog = kBdStartLog,
  kStopLog = kBdStopLog,
  kReportLog = kBdReportLog,
  kDebug = kBdDebug,
  kNull = kBdNull,
};

struct Request {
  RequestKind kind = RequestKind::kInvalid;
  uint64_t pid = 0;               // ProcAlive: never 0
  int64_t creationTime = 0;       // ProcAlive: seconds since the epoch
  const char *logFile = nullptr;  // StartLog: points into the parsed text, never empty
};

// Parses a NUL-terminated request text. The result may point into text.
Request ParseRequest(const char *text);

// Keyword of a kind, for the log.
const char *RequestName(RequestKind kind);

}  // namespace vakbd

#endif  // VAKBD_REQUEST_H_

// request.h - recognising one request of the Boolean Daemon protocol.
//
// Keywords are recognised as the client's parser recognises them: after leading white space, the
// first keyword (in the protocol's order) that the text begins with, case-sensitively. Only the
// arguments a request needs are examined; whatever follows them is ignored.
#ifndef VAKBD_REQUEST_H_
#define VAKBD_REQUEST_H_

#include <stdint.h>

namespace vakbd {

enum class RequestKind {
  kInvalid,  // unknown keyword, a reply keyword, or arguments that do not parse: no reply
  kProcAlive,
  kDie,
  kStartLog,
  kStopLog,
  kReportLog,
  kDebug,
  kNull,
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

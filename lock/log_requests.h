// log_requests.h - the StartLog and ReportLog exchanges, the same for both daemon clients: only
// the transport, the statuses and the texts differ.
#ifndef VAK_LOG_REQUESTS_H_
#define VAK_LOG_REQUESTS_H_

#include <stddef.h>

#include "messages.h"

namespace vak {

// Builds "StartLog <name>" in request[size]. VAK_NOT_OK without a message for no name at all;
// VAK_NOT_OK with tooLongFormat (given the longest name that fits) for one too long to send.
int StartLogRequest(const char *logFileName, char *request, size_t size, const char *tooLongFormat,
                    char **errMsg);

// How a client reports a ReportLog reply that is not one, and a copy it cannot make.
struct LogInfoErrors {
  int badStatus;
  const char *badMsg;
  bool quietOutOfMemory;  // only the status, no message, when the copy cannot be made
};
// Hands the text of a LogInfo reply to the caller (*logInfo, a new text; dropped when logInfo is
// NULL).
int TakeLogInfo(const protocol::Dialect &dialect, const char *reply, const LogInfoErrors &errors,
                char **logInfo, char **errMsg);

}  // namespace vak

#endif  // VAK_LOG_REQUESTS_H_

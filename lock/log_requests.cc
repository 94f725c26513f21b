// log_requests.cc - the StartLog and ReportLog exchanges of both daemon clients.
#include "log_requests.h"

#include <stdlib.h>
#include <string.h>

#include "status.h"
#include "vak.h"

namespace vak {

int StartLogRequest(const char *logFileName, char *request, size_t size, const char *tooLongFormat,
                    char **errMsg) {
  if (logFileName == nullptr || *logFileName == '\0') return VAK_NOT_OK;
  if (protocol::FormatStartLog(logFileName, request, size)) return VAK_OK;
  // Refused before the daemon is involved: a cut name would start a log in the wrong file.
  return vak::FormatErrorMsg(VAK_NOT_OK, errMsg, tooLongFormat, protocol::LongestLogName(size));
}

int TakeLogInfo(const protocol::Dialect &dialect, const char *reply, const LogInfoErrors &errors,
                char **logInfo, char **errMsg) {
  const char *rest = protocol::LogInfoOf(dialect, reply);
  if (rest == nullptr) return vak::AllocErrorMsg(errors.badStatus, errors.badMsg, errMsg);
  char *copy = strdup(rest);  // the separating blank is part of what the caller gets
  if (copy == nullptr) {
    if (!errors.quietOutOfMemory) return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
    vakReturnStatusValue = VAK_OUT_OF_MEMORY;
    return VAK_OUT_OF_MEMORY;
  }
  if (logInfo != nullptr) {
    *logInfo = copy;
  } else {
    free(copy);
  }
  return VAK_OK;
}

}  // namespace vak

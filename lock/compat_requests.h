// compat_requests.h - requests to the Compatibility Daemon and the judgement of its replies. Built
// on compat_process.h (the child and its pipes); the messages are in the protocol's
// compat_daemon.h.
#ifndef VAK_COMPAT_REQUESTS_H_
#define VAK_COMPAT_REQUESTS_H_

#include "compat_daemon.h"

int vakCompatDWriteLock(const char *filePath, const char *reason, unsigned long processId,
                        char **errMsg);
int vakCompatDUnLock(const char *filePath, unsigned long processId, char **errMsg);
int vakCompatDLockResponse(int expectedKind, char **errMsg);

namespace vak {

// The control requests of vak.h (vakCompatDTerminate and the others), each sent to the
// Compatibility Daemon after the process's one vakCompatDInit; ReportLog hands the daemon's log
// information to *logInfo (a new text).
int CompatTerminate(char **errMsg);
int CompatStartLog(const char *logFileName, char **errMsg);
int CompatStopLog(char **errMsg);
int CompatSetDebugMode(char **errMsg);
int CompatReportLog(char **logInfo, char **errMsg);

}  // namespace vak

#endif  // VAK_COMPAT_REQUESTS_H_

// compat_requests.h - requests to the Compatibility Daemon and the judgement of its replies.
#ifndef VAK_COMPAT_REQUESTS_H_
#define VAK_COMPAT_REQUESTS_H_

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

// Position just after the keyword, or NULL (kind untouched).
const char *vakCompatDParseMsg(const char *message, int *kind);
int vakCompatDWriteLock(const char *filePath, const char *reason, unsigned long processId,
                        char **errMsg);
int vakCompatDUnLock(const char *filePath, unsigned long processId, char **errMsg);
int vakCompatDLockResponse(int expectedKind, char **errMsg);

#endif  // VAK_COMPAT_REQUESTS_H_

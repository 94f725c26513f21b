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

#endif  // VAK_COMPAT_REQUESTS_H_

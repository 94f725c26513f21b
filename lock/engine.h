// engine.h - helpers around the edit lock control engine (vakEditLockControl, in vak.h).
#ifndef VAK_ENGINE_H_
#define VAK_ENGINE_H_

#include "vak.h"

// Most calls of the engine in all: the first and at most 10 retries after EINTR.
enum { kEngineMaxCalls = 11 };

// vakEditLockControl under the retry rule: called again while it returns VAK_SYS_ERROR with errno
// EINTR, at most kEngineMaxCalls calls in all. Messages of retried attempts are released; the
// last attempt's status and message are returned.
int vakEditLockControlRetry(const char *filePath, const char *reason, unsigned int action,
                            int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                            char **errMsg);

#endif  // VAK_ENGINE_H_

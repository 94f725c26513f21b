// engine.h - the edit lock control engine's entries besides vakEditLockControl (in vak.h): the
// EINTR retry rule, and the engine on a lock-stake path already resolved.
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

// The engine on lockStakePath, the lock-stake file that vakGetLockStakeFile resolved for
// filePath (which the caller's text and the checks of the request still use): the same results
// as vakEditLockControl(filePath, ...) when its resolution yields lockStakePath, without
// resolving again.
int vakiEditLockControlOnStake(const char *lockStakePath, const char *filePath, const char *reason,
                               unsigned int action, ProcessIdentity *ownerFilter,
                               LockStake **details, char **errMsg);
// The same under the retry rule of vakEditLockControlRetry.
int vakiEditLockControlOnStakeRetry(const char *lockStakePath, const char *filePath,
                                    const char *reason, unsigned int action,
                                    ProcessIdentity *ownerFilter, LockStake **details,
                                    char **errMsg);

#endif  // VAK_ENGINE_H_

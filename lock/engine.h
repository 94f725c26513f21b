// engine.h - the edit lock control engine (vakEditLockControl and the detail queries of vak.h hand
// over to it): one entry that takes, steals, confirms, inspects and releases the Edit Lock of a
// file, the EINTR retry rule, and the engine on a lock-stake path already resolved.
#ifndef VAK_ENGINE_H_
#define VAK_ENGINE_H_

#include "vak.h"

// Most calls of the engine in all: the first and at most 10 retries after EINTR.
enum { kEngineMaxCalls = 11 };

// The engine under the retry rule: called again while it returns VAK_SYS_ERROR with errno EINTR,
// at most kEngineMaxCalls calls in all. Messages of retried attempts are released; the last
// attempt's status and message are returned.
int vakEditLockControlRetry(const char *filePath, const char *reason, unsigned int action,
                            int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                            char **errMsg);

namespace vak {

// vakEditLockControl: one attempt, on an initialised library (owner tests need its identity).
int EditLockControl(const char *filePath, const char *reason, unsigned int action, int noFollow,
                    ProcessIdentity *ownerFilter, LockStake **details, char **errMsg);

// The engine on lockStakePath, the lock-stake file that vakGetLockStakeFile resolved for
// filePath (which the caller's text and the checks of the request still use): the same results
// as EditLockControl(filePath, ...) when its resolution yields lockStakePath, without resolving
// again.
int EditLockControlOnStake(const char *lockStakePath, const char *filePath, const char *reason,
                           unsigned int action, ProcessIdentity *ownerFilter, LockStake **details,
                           char **errMsg);
// The same under the retry rule of vakEditLockControlRetry.
int EditLockControlOnStakeRetry(const char *lockStakePath, const char *filePath, const char *reason,
                                unsigned int action, ProcessIdentity *ownerFilter,
                                LockStake **details, char **errMsg);

// vakGetEditLockDetailsEx: initialises the library on first use, then GET_DETAILS under the retry
// rule.
int GetEditLockDetails(const char *filePath, LockStake **details, int noFollow, char **errMsg);
// vakLockStakeDetails: the details and the resolved lock-stake path in one new record; it relies
// on an earlier initialisation, as the engine does.
int LockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg);

}  // namespace vak

#endif  // VAK_ENGINE_H_

// engine.cc - the edit lock control engine: one entry point that takes, steals, confirms, inspects
// and releases the Edit Lock of a file. It resolves the file's lock-stake file, reads it and
// decides, by the action and the current owner (and, where it matters, the owner's liveness),
// what to change; replace.h makes the change on disk.
#include "engine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "init.h"
#include "own_text.h"
#include "posix_io.h"
#include "replace.h"
#include "resolve.h"
#include "stake_snapshot.h"
#include "status.h"

namespace {

const char kOwnerIndeterminateMsg[] =
    "The status of the Edit Lock owner could not be conclusively determined";
const char kNotInitialisedMsg[] =
    "The Edit Lock library has not been initialised: the caller's identity is unknown.";

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

int Invariant(char **errMsg) {
  return vakAllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

// Hands the message of a failure to the caller's slot, or releases it when there is no slot.
void PassMessage(char **from, char **errMsg) {
  if (*from == nullptr) return;
  if (errMsg != nullptr) {
    *errMsg = *from;
    *from = nullptr;
  } else {
    vakReleaseErrorMsg(from);
  }
}

// An administrator's release: the file goes, whoever owns it and whatever it holds.
int RemoveOutright(const char *lockStakePath, char **errMsg) {
  if (unlink(lockStakePath) != 0 && errno != ENOENT) return SysError(errMsg);
  return VAK_OK;
}

bool EndsWith(const char *text, const char *tail) {
  size_t length = strlen(text), tailLength = strlen(tail);
  return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

// Devices that every program may write to freely are never locked.
bool IsDevicePath(const char *path) {
  if (strcmp(path, "/dev/null") == 0 || strcmp(path, "/dev/zero") == 0) return true;
  return strncmp(path, "/devices/", 9) == 0 && (EndsWith(path, "null") || EndsWith(path, "zero"));
}

bool NeedsIdentity(unsigned int action) {
  return action == GET_LOCK || action == STEAL_LOCK || action == CONFIRM_LOCK ||
         action == RELEASE_LOCK;
}

// Same host name (exactly) and same process identifier; the creation time is not compared, so a
// process keeps its locks across a re-initialisation.
bool SameProcess(const ProcessIdentity *a, const ProcessIdentity *b) {
  return a != nullptr && b != nullptr && a->hostName != nullptr && b->hostName != nullptr &&
         a->processId == b->processId && strcmp(a->hostName, b->hostName) == 0;
}

// GET_LOCK over another process's lock and RELEASE_DEAD_LOCK both depend on the owner's liveness.
int ActOnLiveness(unsigned int action, const char *lockStakePath, const char *filePath,
                  const char *reason, const StakeSnapshot &read, char **errMsg) {
  int alive = -1;
  int status = vakIsProcessAlive(read.Owner(), &alive, errMsg);
  if (status != VAK_OK) return status;
  switch (alive) {
    case VAK_PROC_ALIVE:
      return AlreadyLocked(errMsg);
    case VAK_PROC_INDETERMINATE:
      return vakAllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kOwnerIndeterminateMsg, errMsg);
    case VAK_PROC_NOT_ALIVE: {
      // A take-over starts a fresh history: the dead owner's sections are dropped.
      OwnText text;
      status = text.Format(filePath, reason, nullptr, errMsg);
      if (status != VAK_OK) return status;
      return ChangeUnderDirlock(lockStakePath, text, read, action == RELEASE_DEAD_LOCK, errMsg);
    }
    default:
      return Invariant(errMsg);
  }
}

int ActOnPresent(const char *lockStakePath, const char *filePath, const char *reason,
                 unsigned int action, const ProcessIdentity *ownerFilter, StakeSnapshot *read,
                 orv::UniqueFd fd, LockStake **details, char **errMsg) {
  const ProcessIdentity *owner = read->Owner();
  const bool mine = NeedsIdentity(action) && SameProcess(owner, vakInitInfo->processId);
  switch (action) {
    case GET_DETAILS:
      *details = read->ReleaseChain();
      return VAK_OK;
    case GET_LOCK:
      if (mine) return VAK_OK;
      return ActOnLiveness(action, lockStakePath, filePath, reason, *read, errMsg);
    case STEAL_LOCK: {
      if (mine) return VAK_OK;
      // Every section read, the current owner first, follows the thief as former owners.
      OwnText text;
      int status = text.Format(filePath, reason, read->chain, errMsg);
      if (status != VAK_OK) return status;
      return ChangeUnderDirlock(lockStakePath, text, *read, false, errMsg);
    }
    case CONFIRM_LOCK:
      if (mine) return VAK_OK;
      return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
    case RELEASE_LOCK:
      if (mine) return ReleaseOwn(lockStakePath, *read, std::move(fd), errMsg);
      return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
    case FORCE_RELEASE_LOCK:
      if (ownerFilter == nullptr || SameProcess(owner, ownerFilter)) {
        return RemoveOutright(lockStakePath, errMsg);
      }
      return VAK_OK;
    case RELEASE_DEAD_LOCK:
      return ActOnLiveness(action, lockStakePath, filePath, reason, *read, errMsg);
    default:
      return Invariant(errMsg);
  }
}

int ActOnAbsent(const char *lockStakePath, const char *filePath, const char *reason,
                unsigned int action, char **errMsg) {
  switch (action) {
    case GET_DETAILS:
    case CONFIRM_LOCK:
      return vakAllocErrorMsg(VAK_FILE_NOT_LOCKED, vakNoEditLockMsg, errMsg);
    case RELEASE_LOCK:
    case FORCE_RELEASE_LOCK:
    case RELEASE_DEAD_LOCK:
      return VAK_OK;
    case GET_LOCK:
    case STEAL_LOCK: {
      OwnText text;
      int status = text.Format(filePath, reason, nullptr, errMsg);
      if (status != VAK_OK) return status;
      return FirstLock(lockStakePath, text, errMsg);
    }
    default:
      return Invariant(errMsg);
  }
}

}  // namespace

extern "C" int vakEditLockControl(const char *filePath, const char *reason, unsigned int action,
                                  int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                                  char **errMsg) {
  if (filePath == nullptr) return vakAllocErrorMsg(VAK_NOT_OK, "NULL file path supplied", errMsg);
  if (IsDevicePath(filePath)) return VAK_OK;
  if (vakIsLockStakeFileName(filePath)) {
    return vakAllocErrorMsg(VAK_LOCK_STAKE_FILE_NOT_LOCKABLE,
                            "Lock-Stake files cannot be manipulated for Edit", errMsg);
  }
  if (action == GET_DETAILS) {
    if (details == nullptr) {
      return vakAllocErrorMsg(VAK_NOT_OK,
                              "Internal error: Request is: GET_DETAILS. But a NULL "
                              "lockStakeDetails has been passed.",
                              errMsg);
    }
    *details = nullptr;
  }
  // Owner tests compare with the caller's identity, which only initialisation provides.
  if (NeedsIdentity(action) && (vakInitInfo == nullptr || vakInitInfo->processId == nullptr)) {
    return vakAllocErrorMsg(VAK_NOT_OK, kNotInitialisedMsg, errMsg);
  }

  char *resolved = nullptr;
  int status = vakGetLockStakeFile(filePath, noFollow, &resolved, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> lockStakePath(resolved);

  // Only an action that may replace or remove the file by what it read needs its text; a release
  // of one's own lock also keeps the file open, to take the dirlock with that very file.
  const bool changes = action == GET_LOCK || action == STEAL_LOCK || action == RELEASE_LOCK ||
                       action == RELEASE_DEAD_LOCK;
  StakeSnapshot read;
  orv::UniqueFd fd;
  char *readMsg = nullptr;
  status = ReadSnapshot(lockStakePath.get(), &read, &readMsg,
                        action == RELEASE_LOCK ? &fd : nullptr, changes);
  if (status == kSnapshotAbsent) {
    return ActOnAbsent(lockStakePath.get(), filePath, reason, action, errMsg);
  }
  if (status == kSnapshotOpenFailed) {
    // Unreadable: only the administrative release may act on a file it cannot read.
    if (action == FORCE_RELEASE_LOCK) return RemoveOutright(lockStakePath.get(), errMsg);
    return SysError(errMsg);
  }
  if (status == VAK_MALFORMED_LOCK_STAKE_FILE && action == FORCE_RELEASE_LOCK) {
    vakReleaseErrorMsg(&readMsg);
    return RemoveOutright(lockStakePath.get(), errMsg);
  }
  if (status != VAK_OK) {
    PassMessage(&readMsg, errMsg);
    return status;
  }
  status = ActOnPresent(lockStakePath.get(), filePath, reason, action, ownerFilter, &read,
                        std::move(fd), details, errMsg);
  int saved = errno;
  read.Reset();
  errno = saved;
  return status;
}

int vakEditLockControlRetry(const char *filePath, const char *reason, unsigned int action,
                            int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                            char **errMsg) {
  for (int call = 1;; ++call) {
    char *msg = nullptr;
    errno = 0;
    int status = vakEditLockControl(filePath, reason, action, noFollow, ownerFilter, details,
                                    errMsg != nullptr ? &msg : nullptr);
    if (status != VAK_SYS_ERROR || errno != EINTR || call >= kEngineMaxCalls) {
      PassMessage(&msg, errMsg);
      return status;
    }
    vakReleaseErrorMsg(&msg);
  }
}

extern "C" int vakGetEditLockDetailsEx(const char *filePath, LockStake **details, int noFollow,
                                       char **errMsg) {
  int status = vakInit(nullptr, vakDefaultLockingMode, errMsg);
  if (status != VAK_OK) return status;
  return vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, noFollow, nullptr, details,
                                 errMsg);
}

extern "C" int vakGetEditLockDetails(const char *filePath, LockStake **details, char **errMsg) {
  return vakGetEditLockDetailsEx(filePath, details, 0, errMsg);
}

// When the second resolution fails (the file changed between the two), the record and the chain
// are freed and the failure is returned; the caller never receives a half-filled record.
extern "C" int vakLockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg) {
  if (info == nullptr) {
    return vakAllocErrorMsg(VAK_NOT_OK, "Internal error: a NULL lockStakeInfo has been passed.",
                            errMsg);
  }
  *info = nullptr;
  LockStake *chain = nullptr;
  int status = vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, 0, nullptr, &chain, errMsg);
  if (status != VAK_OK) return status;
  LockStakeInfo *record = static_cast<LockStakeInfo *>(calloc(1, sizeof *record));
  if (record == nullptr) {
    vakFreeLockStake(chain);
    return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  }
  record->lockStake = chain;
  status = vakGetLockStakeFile(filePath, 0, &record->lockStakeFilePath, nullptr, nullptr, errMsg);
  if (status != VAK_OK) {
    vakFreeLockStakeInfo(record);
    return status;
  }
  *info = record;
  return VAK_OK;
}

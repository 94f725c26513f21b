// engine.cc - the edit lock control engine: one entry point that takes, steals, confirms, inspects
// and releases the Edit Lock of a file. It checks the request, resolves the file's lock-stake file
// once, reads it, tells what it found, and does what the decision table (engine/decision_table.h)
// says for the action and that finding; engine/act.h carries the step out.
#include "engine.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "engine/act.h"
#include "engine/decision_table.h"
#include "init.h"
#include "liveness.h"
#include "posix_io.h"
#include "resolve.h"
#include "stake/stake_records.h"
#include "stake/stake_snapshot.h"
#include "status.h"

namespace {

const char kNotInitialisedMsg[] =
    "The Edit Lock library has not been initialised: the caller's identity is unknown.";

// The outcome of CheckRequest that lets the engine go on.
constexpr int kRequestAccepted = -1000;

bool EndsWith(const char *text, const char *tail) {
  size_t length = strlen(text), tailLength = strlen(tail);
  return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

// Devices that every program may write to freely are never locked.
bool IsDevicePath(const char *path) {
  if (strcmp(path, "/dev/null") == 0 || strcmp(path, "/dev/zero") == 0) return true;
  return strncmp(path, "/devices/", 9) == 0 && (EndsWith(path, "null") || EndsWith(path, "zero"));
}

// The checks made before anything is resolved or read: kRequestAccepted, or the engine's result.
int CheckRequest(const char *filePath, const ActionRow &row, LockStake **details, char **errMsg) {
  if (filePath == nullptr) return vak::AllocErrorMsg(VAK_NOT_OK, "NULL file path supplied", errMsg);
  if (IsDevicePath(filePath)) return VAK_OK;
  if (vak::IsLockStakeFileName(filePath)) {
    return vak::AllocErrorMsg(VAK_LOCK_STAKE_FILE_NOT_LOCKABLE,
                              "Lock-Stake files cannot be manipulated for Edit", errMsg);
  }
  if (row.action == GET_DETAILS) {
    if (details == nullptr) {
      return vak::AllocErrorMsg(VAK_NOT_OK,
                                "Internal error: Request is: GET_DETAILS. But a NULL "
                                "lockStakeDetails has been passed.",
                                errMsg);
    }
    *details = nullptr;
  }
  // Owner tests compare with the caller's identity, which only initialisation provides.
  if (row.comparesOwner && (vakInitInfo == nullptr || vakInitInfo->processId == nullptr)) {
    return vak::AllocErrorMsg(VAK_NOT_OK, kNotInitialisedMsg, errMsg);
  }
  return kRequestAccepted;
}

// The finding of another process's lock, by its owner's liveness where the row depends on it.
// VAK_OK with *found set; else the failure of the liveness question.
int TellOther(const ActionRow &row, const StakeSnapshot &read, Found *found, char **errMsg) {
  *found = Found::kLiveOther;
  if (!row.AsksLiveness()) return VAK_OK;
  int alive = -1;
  int status = vak::IsProcessAlive(read.Owner(), &alive, errMsg);
  if (status != VAK_OK) return status;
  switch (alive) {
    case VAK_PROC_ALIVE:
      return VAK_OK;
    case VAK_PROC_NOT_ALIVE:
      *found = Found::kDeadOther;
      return VAK_OK;
    case VAK_PROC_INDETERMINATE:
      *found = Found::kUndecidedOther;
      return VAK_OK;
    default:
      return vak::Invariant(errMsg);
  }
}

// Reads the lock-stake file, tells what it holds and acts by the row.
int Decide(const char *lockStakePath, const char *filePath, const char *reason,
           const ActionRow &row, ProcessIdentity *ownerFilter, LockStake **details, char **errMsg) {
  StakeSnapshot read;
  orv::UniqueFd fd;
  char *readMsg = nullptr;
  int readStatus =
      ReadSnapshot(lockStakePath, &read, &readMsg, row.keepsOpen ? &fd : nullptr, row.readsText);
  Found found;
  int status = VAK_OK;
  if (readStatus == kSnapshotAbsent) {
    found = Found::kNoLock;
  } else if (readStatus == kSnapshotOpenFailed) {
    found = Found::kUnreadable;
  } else if (readStatus == VAK_MALFORMED_LOCK_STAKE_FILE) {
    found = Found::kMalformed;
  } else if (readStatus != VAK_OK) {
    vak::PassMessage(&readMsg, errMsg);
    return readStatus;
  } else if (row.comparesOwner && SameProcess(read.Owner(), vakInitInfo->processId)) {
    found = Found::kOwnLock;
  } else {
    status = TellOther(row, read, &found, errMsg);
  }
  if (status == VAK_OK) {
    const StepContext context = {lockStakePath, filePath, reason,     ownerFilter,
                                 &read,         &fd,      readStatus, &readMsg};
    status = Act(row.At(found), context, details, errMsg);
  }
  int saved = errno;
  vakReleaseErrorMsg(&readMsg);
  read.Reset();
  errno = saved;
  return status;
}

// Calls engine() under the retry rule of vakEditLockControlRetry; engine takes the message slot.
template <typename Engine>
int RetryOnInterruption(Engine engine, char **errMsg) {
  for (int call = 1;; ++call) {
    char *msg = nullptr;
    errno = 0;
    int status = engine(errMsg != nullptr ? &msg : nullptr);
    if (status != VAK_SYS_ERROR || errno != EINTR || call >= kEngineMaxCalls) {
      vak::PassMessage(&msg, errMsg);
      return status;
    }
    vakReleaseErrorMsg(&msg);
  }
}

}  // namespace

namespace vak {

int EditLockControl(const char *filePath, const char *reason, unsigned int action, int noFollow,
                    ProcessIdentity *ownerFilter, LockStake **details, char **errMsg) {
  const ActionRow &row = RowFor(action);
  int status = CheckRequest(filePath, row, details, errMsg);
  if (status != kRequestAccepted) return status;
  char *resolved = nullptr;
  status = vakGetLockStakeFile(filePath, noFollow, &resolved, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> lockStakePath(resolved);
  return Decide(lockStakePath.get(), filePath, reason, row, ownerFilter, details, errMsg);
}

int EditLockControlOnStake(const char *lockStakePath, const char *filePath, const char *reason,
                           unsigned int action, ProcessIdentity *ownerFilter, LockStake **details,
                           char **errMsg) {
  const ActionRow &row = RowFor(action);
  int status = CheckRequest(filePath, row, details, errMsg);
  if (status != kRequestAccepted) return status;
  return Decide(lockStakePath, filePath, reason, row, ownerFilter, details, errMsg);
}

int EditLockControlOnStakeRetry(const char *lockStakePath, const char *filePath, const char *reason,
                                unsigned int action, ProcessIdentity *ownerFilter,
                                LockStake **details, char **errMsg) {
  return RetryOnInterruption(
      [&](char **msg) {
        return EditLockControlOnStake(lockStakePath, filePath, reason, action, ownerFilter, details,
                                      msg);
      },
      errMsg);
}

int GetEditLockDetails(const char *filePath, LockStake **details, int noFollow, char **errMsg) {
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  return vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, noFollow, nullptr, details,
                                 errMsg);
}

// When the second resolution fails (the file changed between the two), the record and the chain
// are freed and the failure is returned; the caller never receives a half-filled record.
int LockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg) {
  if (info == nullptr) {
    return AllocErrorMsg(VAK_NOT_OK, "Internal error: a NULL lockStakeInfo has been passed.",
                         errMsg);
  }
  *info = nullptr;
  LockStake *chain = nullptr;
  int status = vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, 0, nullptr, &chain, errMsg);
  if (status != VAK_OK) return status;
  LockStakeInfo *record = static_cast<LockStakeInfo *>(calloc(1, sizeof *record));
  if (record == nullptr) {
    FreeLockStake(chain);
    return OutOfMemory(errMsg);
  }
  record->lockStake = chain;
  status = vakGetLockStakeFile(filePath, 0, &record->lockStakeFilePath, nullptr, nullptr, errMsg);
  if (status != VAK_OK) {
    FreeLockStakeInfo(record);
    return status;
  }
  *info = record;
  return VAK_OK;
}

}  // namespace vak

int vakEditLockControlRetry(const char *filePath, const char *reason, unsigned int action,
                            int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                            char **errMsg) {
  return RetryOnInterruption(
      [&](char **msg) {
        return vak::EditLockControl(filePath, reason, action, noFollow, ownerFilter, details, msg);
      },
      errMsg);
}

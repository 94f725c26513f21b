// edit_lock_api.cc - the Edit Lock operations for applications: each initialises the library on
// first use, runs the engine under the EINTR retry rule and keeps the held-lock registry, so that
// the exit handler can release what the process still holds. In compatibility mode, get and
// release also take and give back the old-style lock through the Compatibility Daemon.
#include "edit_lock_api.h"

#include <stdlib.h>

#include "compat_requests.h"
#include "engine.h"
#include "init.h"
#include "registry.h"
#include "status.h"
#include "vak.h"

namespace {

bool CompatibilityMode() {
  return vakEnv != nullptr && vakEnv->lockingMode == VAK_COMPAT_LOCKING;
}

unsigned long OwnPid() {
  return (unsigned long)vakInitInfo->processId->processId;
}

// Records a lock just taken, and hands the exit handler its release (from now on the exit has
// something to do). If the registry cannot record it (out of memory), the lock is given back, so
// that the caller never holds a lock that its exit would not release.
int Register(const char *filePath, int noFollow, char **errMsg) {
  vak::SetExitRelease(vakHashTableReleaseAllEditLocks);
  if (RegistryRecordLock(filePath, noFollow)) return VAK_OK;
  vakEditLockControlRetry(filePath, nullptr, RELEASE_LOCK, noFollow, nullptr, nullptr, nullptr);
  return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
}

int CompatGet(const char *filePath, const char *reason, int noFollow, char **errMsg) {
  int status = vakCompatDWriteLock(filePath, reason, OwnPid(), errMsg);
  if (status != VAK_OK) return status;
  char *engineMsg = nullptr;
  status =
      vakEditLockControlRetry(filePath, reason, GET_LOCK, noFollow, nullptr, nullptr, &engineMsg);
  if (status != VAK_OK) {
    // Give the old-style lock back; if that fails too, its failure is the one reported.
    char *unlockMsg = nullptr;
    int unlockStatus = vakCompatDUnLock(filePath, OwnPid(), &unlockMsg);
    char **keep = unlockStatus != VAK_OK ? &unlockMsg : &engineMsg;
    char **drop = unlockStatus != VAK_OK ? &engineMsg : &unlockMsg;
    vakReleaseErrorMsg(drop);
    if (errMsg != nullptr) {
      *errMsg = *keep;
    } else {
      vakReleaseErrorMsg(keep);
    }
    return unlockStatus != VAK_OK ? unlockStatus : status;
  }
  return Register(filePath, noFollow, errMsg);
}

// The exit's release of one recorded lock, by the path recorded when it was taken; the
// old-style lock goes by the path it was taken with. The registry itself is kept by the caller.
int ReleaseHeld(const RegistryEntry &held, int noFollow) {
  int status = vakEditLockControlRetry(held.releasePath, nullptr, RELEASE_LOCK, noFollow, nullptr,
                                       nullptr, nullptr);
  if (status == VAK_OK && CompatibilityMode()) vakCompatDUnLock(held.filePath, OwnPid(), nullptr);
  return status;
}

}  // namespace

namespace vak {

int GetEditLock(const char *filePath, const char *reason, int noFollow, char **errMsg) {
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  if (CompatibilityMode()) return CompatGet(filePath, reason, noFollow, errMsg);
  status = vakEditLockControlRetry(filePath, reason, GET_LOCK, noFollow, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;
  return Register(filePath, noFollow, errMsg);
}

int StealEditLock(const char *filePath, const char *reason, int noFollow, char **errMsg) {
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  if (CompatibilityMode()) {
    return vak::AllocErrorMsg(VAK_NOT_OK, "Stealing is not permitted in the Compatibility Mode",
                              errMsg);
  }
  status =
      vakEditLockControlRetry(filePath, reason, STEAL_LOCK, noFollow, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;
  return Register(filePath, noFollow, errMsg);
}

int ReleaseEditLock(const char *filePath, int noFollow, char **errMsg) {
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  status =
      vakEditLockControlRetry(filePath, nullptr, RELEASE_LOCK, noFollow, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;  // the registry keeps the entry: the exit tries again
  if (CompatibilityMode()) status = vakCompatDUnLock(filePath, OwnPid(), errMsg);
  RegistryForgetLock(filePath, noFollow);
  return status;
}

int ConfirmEditLock(const char *filePath, int noFollow, char **errMsg) {
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  return vakEditLockControlRetry(filePath, nullptr, CONFIRM_LOCK, noFollow, nullptr, nullptr,
                                 errMsg);
}

}  // namespace vak

void vakHashTableReleaseAllEditLocks(void) {
  RegistryReleaseEach(ReleaseHeld);
}

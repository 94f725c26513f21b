// replace.cc - first locks, replacements and releases on disk (see replace.h).
#include "replace/replace.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "replace/dirlock.h"
#include "replace/exclusive.h"
#include "replace/side_file.h"
#include "init.h"
#include "status.h"

namespace {

// Step 4 of a removal: the dirlock's holder removes the lock-stake file, then gives the dirlock
// back.
int RemoveUnderDirlock(const char *lockStakePath, const char *dirlock, char **errMsg) {
  if (unlink(lockStakePath) != 0 && errno != ENOENT) {
    int status = vak::SysError(errMsg);
    DropDirlock(dirlock);
    return status;
  }
  return unlink(dirlock) == 0 ? VAK_OK : vak::SysError(errMsg);
}

// Step 3: the lock-stake file read again under the dirlock, and what to do. A released file
// is taken (or left gone) as a first lock would; a changed one means another process decided
// first.
int ReplaceIfUnchanged(const char *lockStakePath, const char *dirlock, const StakeSnapshot &read,
                       bool removeOnly, char **errMsg) {
  StakeSnapshot now;
  char *readMsg = nullptr;
  int status = ReadSnapshot(lockStakePath, &now, &readMsg);
  if (status != VAK_OK && status != kSnapshotAbsent && status != kSnapshotOpenFailed &&
      status != VAK_MALFORMED_LOCK_STAKE_FILE) {
    // The file could not be read (memory, a failing read): that failure is the result.
    DropDirlock(dirlock);
    vak::PassMessage(&readMsg, errMsg);
    return status;
  }
  vakReleaseErrorMsg(&readMsg);
  if (status == kSnapshotAbsent) {
    // Released meanwhile: the lock is free, and a link is as exclusive as a first lock.
    int err = removeOnly ? 0 : MakeLink(dirlock, lockStakePath);
    DropDirlock(dirlock);
    if (err == EEXIST) return vak::AlreadyLocked(errMsg);
    errno = err;
    return err == 0 ? VAK_OK : vak::SysError(errMsg);
  }
  if (status == kSnapshotOpenFailed) {
    status = vak::SysError(errMsg);
    DropDirlock(dirlock);
    return status;
  }
  if (status != VAK_OK || !now.SameText(read)) {
    DropDirlock(dirlock);
    return vak::AlreadyLocked(errMsg);
  }
  if (removeOnly) return RemoveUnderDirlock(lockStakePath, dirlock, errMsg);
  // One step: readers see the old lock or the new one, never none, and the dirlock is given
  // back by the same call.
  if (rename(dirlock, lockStakePath) != 0) {
    status = vak::SysError(errMsg);
    DropDirlock(dirlock);
    return status;
  }
  return VAK_OK;
}

}  // namespace

int FirstLock(const char *lockStakePath, const OwnText &text, char **errMsg) {
  SideFile side;
  int status = side.Create(lockStakePath, text.data(), text.length(), errMsg);
  if (status != VAK_OK) return status;
  int err = side.LinkTo(lockStakePath);
  if (err == EEXIST) return vak::AlreadyLocked(errMsg);
  if (err != 0) {
    errno = err;
    return vak::SysError(errMsg);
  }
  // Linked by name: a side file of the same name from another host's process with the same
  // identifier may have been linked instead. Then the lock is that process's, not the caller's.
  if ((side.contentOnly() || !ProcUsable()) &&
      !HoldsText(lockStakePath, text.data(), text.length())) {
    return vak::AlreadyLocked(errMsg);
  }
  return VAK_OK;
}

int ChangeUnderDirlock(const char *lockStakePath, const OwnText &text, const StakeSnapshot &read,
                       bool removeOnly, char **errMsg) {
  orv::MallocPtr<char> dirlock(DirlockName(lockStakePath));
  if (dirlock == nullptr) return vak::OutOfMemory(errMsg);
  SideFile side;
  int status = side.Create(lockStakePath, text.data(), text.length(), errMsg);
  if (status != VAK_OK) return status;
  DirlockRequest request;
  request.lockStakePath = lockStakePath;
  request.dirlock = dirlock.get();
  request.side = &side;
  status = AcquireDirlock(request, errMsg);
  if (status == kDirlockSourceGone) return vak::AlreadyLocked(errMsg);
  if (status != VAK_OK) return status;
  side.Remove();  // the text lives on under the dirlock
  return ReplaceIfUnchanged(lockStakePath, dirlock.get(), read, removeOnly, errMsg);
}

int ReleaseOwn(const char *lockStakePath, const StakeSnapshot &read, orv::UniqueFd fd,
               char **errMsg) {
  orv::MallocPtr<char> dirlock(DirlockName(lockStakePath));
  if (dirlock == nullptr) return vak::OutOfMemory(errMsg);
  StakeSnapshot current;
  const StakeSnapshot *mine = &read;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    DirlockRequest request;
    request.lockStakePath = lockStakePath;
    request.dirlock = dirlock.get();
    request.stakeFd = fd.get();
    request.stakeText = mine->text;
    request.stakeLength = mine->length;
    request.waitForLiveHolder = true;
    int status = AcquireDirlock(request, errMsg);
    // The dirlock is this very lock-stake file, and no one else can change the file now. The
    // descriptor goes first, so that the unlink removes the file outright on a network file
    // system instead of setting an open file aside.
    if (status == VAK_OK) {
      fd.reset();
      return RemoveUnderDirlock(lockStakePath, dirlock.get(), errMsg);
    }
    if (status != kDirlockSourceGone) return status;
    // The file read is no longer there: released by someone, or replaced by a thief.
    char *readMsg = nullptr;
    status = ReadSnapshot(lockStakePath, &current, &readMsg, &fd);
    vakReleaseErrorMsg(&readMsg);
    if (status == kSnapshotAbsent) return VAK_OK;
    if (status != VAK_OK || !SameProcess(current.Owner(), vakInitInfo->processId)) {
      return vak::NotOwner(errMsg);
    }
    mine = &current;
  }
  return vak::NotOwner(errMsg);
}

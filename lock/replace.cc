// replace.cc - first locks, replacements and releases on disk (see replace.h).
#include "replace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dirlock.h"
#include "init.h"
#include "side_file.h"
#include "status.h"

namespace {

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

// "<lockStakePath>.dirlock", from malloc.
char *DirlockName(const char *lockStakePath) {
  size_t size = strlen(lockStakePath) + sizeof ".dirlock";
  char *name = static_cast<char *>(malloc(size));
  if (name != nullptr) snprintf(name, size, "%s.dirlock", lockStakePath);
  return name;
}

// Gives the dirlock back after a failure, keeping the failure's errno.
void DropDirlock(const char *dirlock) {
  int saved = errno;
  unlink(dirlock);
  errno = saved;
}

bool OwnedByCaller(const StakeSnapshot &snap) {
  const ProcessIdentity *owner = snap.Owner();
  const ProcessIdentity *me = vakInitInfo->processId;
  return owner != nullptr && owner->hostName != nullptr && owner->processId == me->processId &&
         strcmp(owner->hostName, me->hostName) == 0;
}

}  // namespace

int FirstLock(const char *lockStakePath, const OwnText &text, char **errMsg) {
  SideFile side;
  int status = side.Create(lockStakePath, text.data(), text.length(), errMsg);
  if (status != VAK_OK) return status;
  int err = side.LinkTo(lockStakePath);
  if (err == EEXIST) return AlreadyLocked(errMsg);
  if (err != 0) {
    errno = err;
    return SysError(errMsg);
  }
  if (side.contentOnly()) {
    // Linked by name: a side file of the same name from another host's process with the same
    // identifier may have been linked instead. Then the lock is that process's, not the caller's.
    StakeSnapshot made;
    if (ReadSnapshot(lockStakePath, &made, nullptr) != VAK_OK ||
        !made.SameText(text.data(), text.length())) {
      return AlreadyLocked(errMsg);
    }
  }
  return VAK_OK;
}

int ChangeUnderDirlock(const char *lockStakePath, const OwnText &text, const StakeSnapshot &read,
                       bool removeOnly, char **errMsg) {
  orv::MallocPtr<char> dirlock(DirlockName(lockStakePath));
  if (dirlock == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  SideFile side;
  int status = side.Create(lockStakePath, text.data(), text.length(), errMsg);
  if (status != VAK_OK) return status;
  DirlockRequest request;
  request.lockStakePath = lockStakePath;
  request.dirlock = dirlock.get();
  request.side = &side;
  status = AcquireDirlock(request, errMsg);
  if (status == kDirlockSourceGone) return AlreadyLocked(errMsg);
  if (status != VAK_OK) return status;
  side.Remove();  // the text lives on under the dirlock

  StakeSnapshot now;
  char *readMsg = nullptr;
  status = ReadSnapshot(lockStakePath, &now, &readMsg);
  if (status != VAK_OK && status != kSnapshotAbsent && status != kSnapshotOpenFailed &&
      status != VAK_MALFORMED_LOCK_STAKE_FILE) {
    // The file could not be read (memory, a failing read): that failure is the result.
    DropDirlock(dirlock.get());
    if (errMsg != nullptr) {
      *errMsg = readMsg;
    } else {
      vakReleaseErrorMsg(&readMsg);
    }
    return status;
  }
  vakReleaseErrorMsg(&readMsg);
  if (status == kSnapshotAbsent) {
    // Released meanwhile: the lock is free, and a link is as exclusive as a first lock.
    int err = removeOnly ? 0 : MakeLink(dirlock.get(), lockStakePath);
    DropDirlock(dirlock.get());
    if (err == EEXIST) return AlreadyLocked(errMsg);
    errno = err;
    return err == 0 ? VAK_OK : SysError(errMsg);
  }
  if (status == kSnapshotOpenFailed) {
    status = SysError(errMsg);
    DropDirlock(dirlock.get());
    return status;
  }
  if (status != VAK_OK || !now.SameText(read)) {
    // Another process has changed the lock since it was read: that one decided first.
    DropDirlock(dirlock.get());
    return AlreadyLocked(errMsg);
  }
  if (removeOnly) {
    if (unlink(lockStakePath) != 0 && errno != ENOENT) {
      status = SysError(errMsg);
      DropDirlock(dirlock.get());
      return status;
    }
    return unlink(dirlock.get()) == 0 ? VAK_OK : SysError(errMsg);
  }
  // One step: readers see the old lock or the new one, never none, and the dirlock is given
  // back by the same call.
  if (rename(dirlock.get(), lockStakePath) != 0) {
    status = SysError(errMsg);
    DropDirlock(dirlock.get());
    return status;
  }
  return VAK_OK;
}

int ReleaseOwn(const char *lockStakePath, const StakeSnapshot &read, orv::UniqueFd fd,
               char **errMsg) {
  orv::MallocPtr<char> dirlock(DirlockName(lockStakePath));
  if (dirlock == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
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
    if (status == VAK_OK) {
      // The dirlock is this very lock-stake file, and no one else can change the file now.
      if (unlink(lockStakePath) != 0 && errno != ENOENT) {
        status = SysError(errMsg);
        DropDirlock(dirlock.get());
        return status;
      }
      return unlink(dirlock.get()) == 0 ? VAK_OK : SysError(errMsg);
    }
    if (status != kDirlockSourceGone) return status;
    // The file read is no longer there: released by someone, or replaced by a thief.
    char *readMsg = nullptr;
    status = ReadSnapshot(lockStakePath, &current, &readMsg, &fd);
    vakReleaseErrorMsg(&readMsg);
    if (status == kSnapshotAbsent) return VAK_OK;
    if (status != VAK_OK || !OwnedByCaller(current)) {
      return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
    }
    mine = &current;
  }
  return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
}

// dirlock.cc - taking the dirlock (see dirlock.h), and giving it back after a failure.
#include "replace/dirlock.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "init.h"
#include "liveness.h"
#include "posix_io.h"
#include "replace/exclusive.h"
#include "replace/leftovers.h"
#include "stake/stake_snapshot.h"
#include "status.h"

namespace {

const char kDirlockIndeterminateMsg[] =
    "The status of the dirlock owner could not be conclusively determined";
// A release waits this long for a live holder to finish; a holder that names this very process
// (the lock-stake file linked by a release that then died, or that is about to give it back) is
// given this long before it counts as stale.
constexpr long kReleaseWaitMs = 10000, kSelfNamedWaitMs = 2000;
constexpr int kMaxAttempts = 400;

// Whether the holder's file is linked exactly (by its descriptor), asked once per take: on a
// network file system each question is a round trip. Without /proc the link goes by name, and
// what it made must be checked like any link by name.
bool LinksExactly(const DirlockRequest &r) {
  if (!ProcUsable()) return false;
  return r.side != nullptr ? !r.side->contentOnly() : !ContentOnly(r.stakeFd);
}

// Links the holder's text to the dirlock name; 0 or an errno (ENOENT: the source is gone).
int LinkSource(const DirlockRequest &r, bool exactly) {
  if (r.side != nullptr) return r.side->LinkTo(r.dirlock);
  if (exactly) {
    // Exactly the file read: if a thief has replaced it since, it has no name left and this fails.
    return LinkDescriptor(r.stakeFd, r.dirlock);
  }
  return MakeLink(r.lockStakePath, r.dirlock);
}

// The dirlock was taken by linking to it: where links go by name, check that it holds the text
// this process meant to link (a side file with the same name, made by a process with the same
// identifier on another host, or a lock-stake file replaced in between, would not).
bool HoldsOurText(const DirlockRequest &r, bool exactly) {
  if (exactly) return true;
  return r.side != nullptr ? HoldsText(r.dirlock, r.side->text(), r.side->length())
                           : HoldsText(r.dirlock, r.stakeText, r.stakeLength);
}

}  // namespace

int AcquireDirlock(const DirlockRequest &r, char **errMsg) {
  const int64_t start = orv::MonotonicMs();
  long pause = 2;
  int64_t selfNamedSince = -1;
  SideFile announcement;  // a release's, made only when it must clear a stale dirlock
  const bool exactly = LinksExactly(r);
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    int err = LinkSource(r, exactly);
    if (err == 0) {
      if (HoldsOurText(r, exactly)) return VAK_OK;
      unlink(r.dirlock);
      return r.side != nullptr ? vak::AlreadyLocked(errMsg) : kDirlockSourceGone;
    }
    if (err == ENOENT) return kDirlockSourceGone;
    if (err != EEXIST) {
      errno = err;
      return vak::SysError(errMsg);
    }
    StakeSnapshot holder;
    int status = ReadSnapshot(r.dirlock, &holder, errMsg);
    if (status == kSnapshotAbsent) continue;
    if (status == kSnapshotOpenFailed) return vak::SysError(errMsg);
    if (status != VAK_OK) return status;  // an empty or malformed dirlock stays and blocks
    int alive = VAK_PROC_ALIVE;
    if (SameProcess(holder.Owner(), vakInitInfo->processId)) {
      // Not taken by this process: a release of this process's lock linked it (a thief's lock
      // read as this one's), and died or is about to give it back.
      if (selfNamedSince < 0) selfNamedSince = orv::MonotonicMs();
      if (orv::MonotonicMs() - selfNamedSince >= kSelfNamedWaitMs) alive = VAK_PROC_NOT_ALIVE;
    } else {
      status = vak::IsProcessAlive(holder.Owner(), &alive, errMsg);
      if (status != VAK_OK) return status;
    }
    if (alive == VAK_PROC_INDETERMINATE) {
      return vak::AllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kDirlockIndeterminateMsg, errMsg);
    }
    if (alive == VAK_PROC_ALIVE) {
      bool selfNamed = selfNamedSince >= 0;
      if (!selfNamed && (!r.waitForLiveHolder || orv::MonotonicMs() - start > kReleaseWaitMs)) {
        return vak::AlreadyLocked(errMsg);
      }
      orv::SleepMs(pause);
      pause = pause < 100 ? pause * 2 : pause;
      continue;
    }
    if (alive != VAK_PROC_NOT_ALIVE) return vak::Invariant(errMsg);
    // Stale: clear it, announced by the side file; a release announces itself by a link to its
    // own lock-stake file, whose text names this process, so that it needs no free space.
    const SideFile *mine = r.side;
    if (mine == nullptr) {
      status =
          announcement.CreateAsLink(r.lockStakePath, r.stakeFd, r.stakeText, r.stakeLength, errMsg);
      if (status == kSideFileSourceGone) return kDirlockSourceGone;
      if (status != VAK_OK) return status;
      mine = &announcement;
    }
    int failed = VAK_OK;
    Cleared cleared = ClearStale(r.lockStakePath, r.dirlock, *mine, holder, errMsg, &failed);
    announcement.Remove();
    if (cleared == Cleared::kFailed) return failed;
    if (cleared == Cleared::kGiveWay) {
      if (!r.waitForLiveHolder || orv::MonotonicMs() - start > kReleaseWaitMs)
        return vak::AlreadyLocked(errMsg);
      orv::SleepMs(pause);
      pause = pause < 100 ? pause * 2 : pause;
    }
    selfNamedSince = -1;
  }
  return vak::AlreadyLocked(errMsg);
}

char *DirlockName(const char *lockStakePath) {
  size_t size = strlen(lockStakePath) + sizeof ".dirlock";
  char *name = static_cast<char *>(malloc(size));
  if (name != nullptr) snprintf(name, size, "%s.dirlock", lockStakePath);
  return name;
}

void DropDirlock(const char *dirlock) {
  int saved = errno;
  unlink(dirlock);
  errno = saved;
}

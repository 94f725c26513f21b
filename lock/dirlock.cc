// dirlock.cc - taking the dirlock, and clearing one whose holder died (see dirlock.h).
#include "dirlock.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "init.h"
#include "own_text.h"
#include "posix_io.h"
#include "stake_snapshot.h"
#include "status.h"

namespace {

const char kDirlockIndeterminateMsg[] =
    "The status of the dirlock owner could not be conclusively determined";
// A release waits this long for a live holder to finish; a holder that names this very process
// (the lock-stake file linked by a release that then died, or that is about to give it back) is
// given this long before it counts as stale; a process clearing a stale dirlock waits this long
// for others that announced themselves to finish first.
constexpr long kReleaseWaitMs = 10000, kSelfNamedWaitMs = 2000, kClearWaitMs = 3000;
constexpr int kMaxAttempts = 400;
// A half-written side file older than this (by the file system's clock) was abandoned.
constexpr time_t kAbandonedSeconds = 10;

enum class Cleared { kRetry, kGiveWay, kFailed };

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(long ms) {
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&wait, nullptr);
}

// Hands a message to the caller's slot, or releases it when there is no slot.
void PassOn(char **from, char **errMsg) {
  if (errMsg != nullptr) {
    *errMsg = *from;
    *from = nullptr;
  } else {
    vakReleaseErrorMsg(from);
  }
}

bool SameProcess(const ProcessIdentity *a, const ProcessIdentity *b) {
  return a != nullptr && b != nullptr && a->hostName != nullptr && b->hostName != nullptr &&
         a->processId == b->processId && strcmp(a->hostName, b->hostName) == 0;
}

// Whether a process is known to be dead, asked as for any lock owner; a process whose liveness
// cannot be decided counts as live: it may still act.
bool KnownDead(const ProcessIdentity *process) {
  int alive = VAK_PROC_ALIVE;
  char *msg = nullptr;
  const bool dead =
      vakIsProcessAlive(process, &alive, &msg) == VAK_OK && alive == VAK_PROC_NOT_ALIVE;
  vakReleaseErrorMsg(&msg);
  return dead;
}

// Links the holder's text to the dirlock name; 0 or an errno (ENOENT: the source is gone).
int LinkSource(const DirlockRequest &r) {
  if (r.side != nullptr) return r.side->LinkTo(r.dirlock);
  if (!ContentOnly(r.stakeFd) && ProcUsable()) {
    // Exactly the file read: if a thief has replaced it since, it has no name left and this fails.
    return LinkDescriptor(r.stakeFd, r.dirlock);
  }
  return MakeLink(r.lockStakePath, r.dirlock);
}

bool LinkedExactly(const DirlockRequest &r) {
  return r.side != nullptr ? !r.side->contentOnly() : !ContentOnly(r.stakeFd);
}

// One side file of the same lock-stake file found by the scan.
struct Announcement {
  orv::MallocPtr<char> name;
  orv::MallocPtr<char> text;  // its text when read
  size_t length = 0;
  bool live = false;
  bool lowerRank = false;  // ranks before this process: this process gives way to it
};

// Whether entry is "<base>.<digits>".
bool IsSideFileOf(const char *entry, const char *base, size_t baseLength) {
  if (strncmp(entry, base, baseLength) != 0 || entry[baseLength] != '.') return false;
  const char *digits = entry + baseLength + 1;
  if (*digits == '\0') return false;
  for (; *digits != '\0'; ++digits) {
    if (*digits < '0' || *digits > '9') return false;
  }
  return true;
}

// Reads every other side file of the lock-stake file: false if the directory cannot be read.
bool Scan(const char *lockStakePath, const SideFile &mine, std::vector<Announcement> *found) {
  found->clear();
  const char *slash = strrchr(lockStakePath, '/');
  orv::MallocPtr<char> dir(slash == nullptr ? strdup(".")
                                            : strndup(lockStakePath, slash - lockStakePath + 1));
  if (dir == nullptr) return false;
  const char *base = slash == nullptr ? lockStakePath : slash + 1;
  const size_t baseLength = strlen(base);
  const time_t now = mine.written().tv_sec;
  const char *myName = strrchr(mine.name(), '/');
  myName = myName == nullptr ? mine.name() : myName + 1;
  orv::UniqueDir d(opendir(dir.get()));
  if (d == nullptr) return false;
  while (struct dirent *e = readdir(d.get())) {
    if (!IsSideFileOf(e->d_name, base, baseLength) || strcmp(e->d_name, myName) == 0) continue;
    Announcement a;
    size_t size = strlen(dir.get()) + strlen(e->d_name) + 1;
    a.name.reset(static_cast<char *>(malloc(size)));
    if (a.name == nullptr) return false;
    snprintf(a.name.get(), size, "%s%s", slash == nullptr ? "" : dir.get(), e->d_name);
    StakeSnapshot held;
    int status = ReadSnapshot(a.name.get(), &held, nullptr);
    if (status == kSnapshotAbsent) continue;
    if (status == kSnapshotOpenFailed) return false;  // whose it is cannot be told
    if (status != VAK_OK) {
      // Half-written: its writer reads the dirlock only once the text is complete, so it has not
      // looked yet and needs no waiting for. One left so for long was abandoned.
      if (status != kSnapshotOpenFailed && held.status.st_mtim.tv_sec != 0 &&
          held.status.st_mtim.tv_sec + kAbandonedSeconds < now) {
        found->push_back(std::move(a));
      }
      continue;
    }
    const ProcessIdentity *writer = held.Owner();
    // One of this very process is an earlier one's, left behind.
    a.live = !SameIdentity(writer, vakInitInfo->processId) && !KnownDead(writer);
    a.lowerRank = a.live && CompareIdentity(writer, vakInitInfo->processId) < 0;
    a.text.reset(held.text);
    a.length = held.length;
    held.text = nullptr;
    found->push_back(std::move(a));
  }
  return true;
}

// Clears the stale dirlock whose text is stale, announced by mine (see the header comment).
Cleared ClearStale(const DirlockRequest &r, const SideFile &mine, const StakeSnapshot &stale,
                   char **errMsg, int *failed) {
  std::vector<Announcement> others;
  const long start = NowMs();
  for (long pause = 5;; pause = pause < 80 ? pause * 2 : pause) {
    if (!Scan(r.lockStakePath, mine, &others)) {
      *failed = SysError(errMsg);
      return Cleared::kFailed;
    }
    bool live = false, giveWay = false;
    for (const Announcement &a : others) {
      live = live || a.live;
      giveWay = giveWay || a.lowerRank;
    }
    if (giveWay) return Cleared::kGiveWay;
    if (!live) break;
    // Only higher-ranked ones are about: they give way to this process or finish soon.
    if (NowMs() - start > kClearWaitMs) return Cleared::kGiveWay;
    SleepMs(pause);
  }
  // The announcement must still be this process's own: one removed by another process's clean-up
  // was invisible to the others' scans.
  StakeSnapshot check;
  char *msg = nullptr;
  int status = ReadSnapshot(mine.name(), &check, &msg);
  if (status == kSnapshotOpenFailed) status = SysError(&msg);
  if (status != VAK_OK && status != kSnapshotAbsent) {
    PassOn(&msg, errMsg);
    *failed = status;
    return Cleared::kFailed;
  }
  if (status != VAK_OK || !check.SameText(mine.text(), mine.length())) return Cleared::kGiveWay;
  status = ReadSnapshot(r.dirlock, &check, &msg);
  if (status == kSnapshotOpenFailed) {
    *failed = SysError(errMsg);
    return Cleared::kFailed;
  }
  vakReleaseErrorMsg(&msg);
  // Gone, changed or unreadable now: it is not the stale one any more.
  if (status != VAK_OK || !check.SameText(stale)) return Cleared::kRetry;
  if (unlink(r.dirlock) != 0 && errno != ENOENT) {
    *failed = SysError(errMsg);
    return Cleared::kFailed;
  }
  // Side files of dead writers go too, now that no other process is about to clear anything.
  for (const Announcement &a : others) {
    if (a.live) continue;
    StakeSnapshot now;
    int status = ReadSnapshot(a.name.get(), &now, nullptr);
    bool same = a.text != nullptr ? status == VAK_OK && now.SameText(a.text.get(), a.length)
                                  : status != VAK_OK && status != kSnapshotAbsent;
    if (same) unlink(a.name.get());
  }
  return Cleared::kRetry;
}

// The dirlock was taken by linking to it: where links go by name, check that it holds the text
// this process meant to link (a side file with the same name, made by a process with the same
// identifier on another host, or a lock-stake file replaced in between, would not).
bool HoldsOurText(const DirlockRequest &r) {
  if (LinkedExactly(r)) return true;
  StakeSnapshot now;
  if (ReadSnapshot(r.dirlock, &now, nullptr) != VAK_OK) return false;
  return r.side != nullptr ? now.SameText(r.side->text(), r.side->length())
                           : now.SameText(r.stakeText, r.stakeLength);
}

}  // namespace

int AcquireDirlock(const DirlockRequest &r, char **errMsg) {
  const long start = NowMs();
  long pause = 2, selfNamedSince = -1;
  SideFile announcement;  // a release's, made only when it must clear a stale dirlock
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    int err = LinkSource(r);
    if (err == 0) {
      if (HoldsOurText(r)) return VAK_OK;
      unlink(r.dirlock);
      return r.side != nullptr ? AlreadyLocked(errMsg) : kDirlockSourceGone;
    }
    if (err == ENOENT) return kDirlockSourceGone;
    if (err != EEXIST) {
      errno = err;
      return SysError(errMsg);
    }
    StakeSnapshot holder;
    int status = ReadSnapshot(r.dirlock, &holder, errMsg);
    if (status == kSnapshotAbsent) continue;
    if (status == kSnapshotOpenFailed) return SysError(errMsg);
    if (status != VAK_OK) return status;  // an empty or malformed dirlock stays and blocks
    int alive = VAK_PROC_ALIVE;
    if (SameProcess(holder.Owner(), vakInitInfo->processId)) {
      // Not taken by this process: a release of this process's lock linked it (a thief's lock
      // read as this one's), and died or is about to give it back.
      if (selfNamedSince < 0) selfNamedSince = NowMs();
      if (NowMs() - selfNamedSince >= kSelfNamedWaitMs) alive = VAK_PROC_NOT_ALIVE;
    } else {
      status = vakIsProcessAlive(holder.Owner(), &alive, errMsg);
      if (status != VAK_OK) return status;
    }
    if (alive == VAK_PROC_INDETERMINATE) {
      return vakAllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kDirlockIndeterminateMsg, errMsg);
    }
    if (alive == VAK_PROC_ALIVE) {
      bool selfNamed = selfNamedSince >= 0;
      if (!selfNamed && (!r.waitForLiveHolder || NowMs() - start > kReleaseWaitMs)) {
        return AlreadyLocked(errMsg);
      }
      SleepMs(pause);
      pause = pause < 100 ? pause * 2 : pause;
      continue;
    }
    if (alive != VAK_PROC_NOT_ALIVE) return vakAllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
    // Stale: clear it, announced by the side file; a release announces itself by a link to its
    // own lock-stake file, whose text names this process, so that it needs no free space.
    const SideFile *mine = r.side;
    if (mine == nullptr) {
      status = announcement.CreateAsLink(r.lockStakePath, r.stakeFd, r.stakeText, r.stakeLength,
                                         errMsg);
      if (status == kSideFileSourceGone) return kDirlockSourceGone;
      if (status != VAK_OK) return status;
      mine = &announcement;
    }
    int failed = VAK_OK;
    Cleared cleared = ClearStale(r, *mine, holder, errMsg, &failed);
    announcement.Remove();
    if (cleared == Cleared::kFailed) return failed;
    if (cleared == Cleared::kGiveWay) {
      if (!r.waitForLiveHolder || NowMs() - start > kReleaseWaitMs) return AlreadyLocked(errMsg);
      SleepMs(pause);
      pause = pause < 100 ? pause * 2 : pause;
    }
    selfNamedSince = -1;
  }
  return AlreadyLocked(errMsg);
}

namespace {

// A half-written side file whose time (by this host's clock) is older than this was abandoned:
// its writer writes the whole text right after the create. Removing a slow writer's file is safe
// (its link then fails, or its check of what it linked does); it only costs that writer a retry.
constexpr time_t kAbandonedLongAgo = 10;

void ClearDeadSideFile(const char *path) {
  StakeSnapshot held;
  int status = ReadSnapshot(path, &held, nullptr);
  if (status == kSnapshotAbsent || status == kSnapshotOpenFailed) return;
  if (status != VAK_OK) {
    if (held.status.st_mtim.tv_sec != 0 &&
        held.status.st_mtim.tv_sec + kAbandonedLongAgo < time(nullptr)) {
      unlink(path);
    }
    return;
  }
  if (SameIdentity(held.Owner(), vakInitInfo->processId) || !KnownDead(held.Owner())) return;
  StakeSnapshot now;
  if (ReadSnapshot(path, &now, nullptr) == VAK_OK && now.SameText(held)) unlink(path);
}

void ClearDeadDirlock(const char *dirlock, size_t lockStakeLength) {
  orv::MallocPtr<char> lockStakePath(strndup(dirlock, lockStakeLength));
  if (lockStakePath == nullptr) return;
  StakeSnapshot holder;
  if (ReadSnapshot(dirlock, &holder, nullptr) != VAK_OK) return;
  if (SameProcess(holder.Owner(), vakInitInfo->processId) || !KnownDead(holder.Owner())) return;
  // Announced by a side file naming this process, as a get that clears it would be.
  orv::MallocPtr<char> locked(
      strndup(lockStakePath.get(), lockStakeLength - VAK_LOCK_STAKE_FILE_SUFFIX_LENGTH));
  OwnText text;
  SideFile announcement;
  if (locked == nullptr || text.Format(locked.get(), nullptr, nullptr, nullptr) != VAK_OK ||
      announcement.Create(lockStakePath.get(), text.data(), text.length(), nullptr) != VAK_OK) {
    return;
  }
  DirlockRequest request;
  request.lockStakePath = lockStakePath.get();
  request.dirlock = dirlock;
  request.side = &announcement;
  int failed = VAK_OK;
  ClearStale(request, announcement, holder, nullptr, &failed);
}

}  // namespace

void ClearLeftover(const char *path) {
  if (vakInitInfo == nullptr || vakInitInfo->processId == nullptr) return;
  const char *marker = strstr(path, ".orvlck.");
  while (marker != nullptr && strstr(marker + 1, ".orvlck.") != nullptr) {
    marker = strstr(marker + 1, ".orvlck.");
  }
  if (marker == nullptr) return;
  const char *tail = marker + sizeof ".orvlck." - 1;
  const size_t lockStakeLength = static_cast<size_t>(tail - 1 - path);
  if (strcmp(tail, "dirlock") == 0) {
    ClearDeadDirlock(path, lockStakeLength);
  } else if (*tail != '\0' && strspn(tail, "0123456789") == strlen(tail)) {
    ClearDeadSideFile(path);
  }
}

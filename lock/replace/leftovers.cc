// leftovers.cc - clearing a stale dirlock under announcements, and telling and clearing what the
// sweeps meet of dead processes by name (see leftovers.h).
#include "replace/leftovers.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "init.h"
#include "posix_io.h"
#include "stake/own_text.h"
#include "resolve.h"
#include "status.h"

namespace {

// A process clearing a stale dirlock waits this long for others that announced themselves to
// finish first.
constexpr long kClearWaitMs = 3000;
// A half-written side file older than this (by the file system's clock) was abandoned.
constexpr time_t kAbandonedSeconds = 10;

// One side file of the same lock-stake file found by the scan.
struct Announcement {
  orv::MallocPtr<char> name;
  orv::MallocPtr<char> text;  // its text when read
  size_t length = 0;
  bool live = false;
  bool lowerRank = false;  // ranks before this process: this process gives way to it
};

// Whether text is one or more decimal digits: the tail of a side file's name.
bool AllDigits(const char *text) {
  return *text != '\0' && strspn(text, "0123456789") == strlen(text);
}

// Whether entry is "<base>.<digits>".
bool IsSideFileOf(const char *entry, const char *base, size_t baseLength) {
  return strncmp(entry, base, baseLength) == 0 && entry[baseLength] == '.' &&
         AllDigits(entry + baseLength + 1);
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

}  // namespace

Cleared ClearStale(const char *lockStakePath, const char *dirlock, const SideFile &mine,
                   const StakeSnapshot &stale, char **errMsg, int *failed) {
  std::vector<Announcement> others;
  const int64_t start = orv::MonotonicMs();
  for (long pause = 5;; pause = pause < 80 ? pause * 2 : pause) {
    if (!Scan(lockStakePath, mine, &others)) {
      *failed = vak::SysError(errMsg);
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
    if (orv::MonotonicMs() - start > kClearWaitMs) return Cleared::kGiveWay;
    orv::SleepMs(pause);
  }
  // The announcement must still be this process's own: one removed by another process's clean-up
  // was invisible to the others' scans.
  StakeSnapshot check;
  char *msg = nullptr;
  int status = ReadSnapshot(mine.name(), &check, &msg);
  if (status == kSnapshotOpenFailed) status = vak::SysError(&msg);
  if (status != VAK_OK && status != kSnapshotAbsent) {
    vak::PassMessage(&msg, errMsg);
    *failed = status;
    return Cleared::kFailed;
  }
  if (status != VAK_OK || !check.SameText(mine.text(), mine.length())) return Cleared::kGiveWay;
  status = ReadSnapshot(dirlock, &check, &msg);
  if (status == kSnapshotOpenFailed) {
    *failed = vak::SysError(errMsg);
    return Cleared::kFailed;
  }
  vakReleaseErrorMsg(&msg);
  // Gone, changed or unreadable now: it is not the stale one any more.
  if (status != VAK_OK || !check.SameText(stale)) return Cleared::kRetry;
  if (unlink(dirlock) != 0 && errno != ENOENT) {
    *failed = vak::SysError(errMsg);
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
      strndup(lockStakePath.get(), lockStakeLength - vak::kStakeSuffixLength));
  OwnText text;
  SideFile announcement;
  if (locked == nullptr || text.Format(locked.get(), nullptr, nullptr, nullptr) != VAK_OK ||
      announcement.Create(lockStakePath.get(), text.data(), text.length(), nullptr) != VAK_OK) {
    return;
  }
  int failed = VAK_OK;
  ClearStale(lockStakePath.get(), dirlock, announcement, holder, nullptr, &failed);
}

}  // namespace

Leftover ClassifyLeftover(const char *name, size_t *stakeLength) {
  const char *dot = strrchr(name, '.');
  const size_t suffixLength = static_cast<size_t>(vak::kStakeSuffixLength);
  if (dot == nullptr || static_cast<size_t>(dot - name) < suffixLength ||
      strncmp(dot - suffixLength, vak::kStakeSuffix, suffixLength) != 0) {
    return Leftover::kNone;
  }
  *stakeLength = static_cast<size_t>(dot - name);
  if (strcmp(dot + 1, "dirlock") == 0) return Leftover::kDirlock;
  return AllDigits(dot + 1) ? Leftover::kSideFile : Leftover::kNone;
}

void ClearLeftover(const char *path, Leftover kind, size_t lockStakeLength) {
  if (vakInitInfo == nullptr || vakInitInfo->processId == nullptr) return;
  if (kind == Leftover::kDirlock) {
    ClearDeadDirlock(path, lockStakeLength);
  } else if (kind == Leftover::kSideFile) {
    ClearDeadSideFile(path);
  }
}

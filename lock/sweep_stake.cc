// sweep_stake.cc - what a sweep does with a stake entry: resolves the file it locks (or takes the
// read-ahead's reading), reports or visits the lock, and releases it when the action says so.
#include "sweep_stake.h"

#include <stdio.h>
#include <string.h>

#include <utility>

#include "engine.h"
#include "posix_io.h"
#include "resolve.h"
#include "stake/stake_records.h"
#include "status.h"

int numberOfLockStakesFound = 0;

namespace vak {

namespace {

// Prints the report line of a lock that the engine read, by the owner filter; returns whether a
// line was printed (and so counted).
bool ReportOwner(const Walk &walk, const char *lockedPath, const LockStake *chain) {
  const ProcessIdentity *owner = chain->header->processId;
  const ProcessIdentity *filter = walk.filter;
  if (filter == nullptr) {
    printf(" %s %s %lu %ld \n", lockedPath, owner->hostName, (unsigned long)owner->processId,
           (long)owner->creationTime);
    return true;
  }
  if (filter->hostName == nullptr || owner->hostName == nullptr ||
      strcmp(filter->hostName, owner->hostName) != 0) {
    return false;
  }
  if (filter->processId == 0) {
    printf(" %s %lu %ld \n", lockedPath, (unsigned long)owner->processId,
           (long)owner->creationTime);
    return true;
  }
  if (filter->processId != owner->processId) return false;
  if (filter->creationTime == 0) {
    printf(" %s %ld \n", lockedPath, (long)owner->creationTime);
    return true;
  }
  if (filter->creationTime != owner->creationTime) return false;
  printf(" %s\n", lockedPath);
  return true;
}

// What a listing reports of a stake entry, from the engine's reading of it: a lock it could not
// read, a malformed lock-stake file, an owner, or nothing (no lock, a link's entry).
enum class Finding { kUnreadable, kMalformed, kOwned, kNothing };

Finding FindingOf(int status, bool wasLink, const LockStake *chain) {
  if (status != VAK_OK && status != VAK_FILE_NOT_LOCKED && status != VAK_DIR_NOT_LOCKABLE &&
      status != VAK_MALFORMED_LOCK_STAKE_FILE) {
    return Finding::kUnreadable;
  }
  if (status == VAK_MALFORMED_LOCK_STAKE_FILE && !wasLink) return Finding::kMalformed;
  if (status == VAK_OK && !wasLink && chain != nullptr) return Finding::kOwned;
  return Finding::kNothing;
}

// Prints the report line of a stake entry from the engine's reading of it, and counts it.
// Returns false when the entry is neither reported nor released.
bool ReportStake(const Walk &walk, const char *lockedPath, bool wasLink, int status,
                 const LockStake *chain, const char *msg) {
  switch (FindingOf(status, wasLink, chain)) {
    case Finding::kUnreadable:
      ++numberOfLockStakesFound;
      printf("Error reading %s%s. %s.\n", lockedPath, vak::kStakeSuffix,
             msg != nullptr ? msg : "");
      break;
    case Finding::kMalformed:
      if (walk.filter != nullptr) return false;
      ++numberOfLockStakesFound;
      printf(" %s HAS MALFORMED LOCK STAKE!!! \n", lockedPath);
      break;
    case Finding::kOwned:
      if (ReportOwner(walk, lockedPath, chain)) ++numberOfLockStakesFound;
      break;
    case Finding::kNothing:
      break;
  }
  return true;
}

// Hands what a listing would report of a stake entry to the walk's visitor.
void VisitStake(Walk *walk, const char *lockedPath, bool wasLink, int status,
                const LockStake *chain, const char *msg) {
  const Finding finding = FindingOf(status, wasLink, chain);
  if (finding == Finding::kNothing) return;
  const LockStake *owners = finding == Finding::kOwned ? chain : nullptr;
  ++walk->progress.locks;
  if (walk->visitor(lockedPath, status, owners, msg, walk->context) != 0) walk->stopped = true;
}

}  // namespace

// The locked file is resolved once: the report and the release act on the lock-stake path found,
// so the report reads the file once and the release reads it once more, as its own decision needs.
int SweepStakeEntry(Walk *walk, size_t entryLength, StakeAhead *ahead) {
  const size_t lockedLength = entryLength - vak::kStakeSuffixLength;
  const char *lockedPath = walk->path;
  char *msg = nullptr;
  LockStake *chain = nullptr;
  int wasLink = 0;
  int status;
  orv::MallocPtr<char> resolvedPath;
  const char *stakePath;  // the entry itself when read ahead: ahead keeps its path meanwhile
  if (ahead != nullptr && ahead->resolved) {
    stakePath = ahead->path.c_str();
    walk->path[lockedLength] = '\0';
    status = ahead->status;
    std::swap(chain, ahead->chain);
    std::swap(msg, ahead->msg);
  } else {
    walk->path[lockedLength] = '\0';  // the path now names the locked file
    char *resolved = nullptr;
    status = vakGetLockStakeFile(lockedPath, 0, &resolved, nullptr, &wasLink, &msg);
    vakReleaseErrorMsg(&msg);
    resolvedPath.reset(resolved);
    stakePath = resolved;
    if (status != VAK_OK) {
      // A locked name that is a directory (or a link to one) has no lock-stake file: such an
      // entry is not an Edit Lock, and it is left alone. Other resolution failures (hard links,
      // dangling or looping links) are skipped silently too.
      return VAK_OK;
    }
    walk->path[lockedLength] = vak::kStakeSuffix[0];  // put the suffix back
    if (strcmp(stakePath, walk->path) != 0) {
      remove(walk->path);  // a stake beside a link: its lock-stake file belongs beside the target
      return VAK_OK;
    }
    walk->path[lockedLength] = '\0';
    status = vak::EditLockControlOnStakeRetry(stakePath, lockedPath, nullptr, GET_DETAILS,
                                             nullptr, &chain, &msg);
  }

  bool reported = true;
  if (walk->visitor != nullptr) {
    VisitStake(walk, lockedPath, wasLink, status, chain, msg);
  } else {
    reported = ReportStake(*walk, lockedPath, wasLink, status, chain, msg);
  }
  vak::FreeLockStake(chain);
  vakReleaseErrorMsg(&msg);
  if (!reported || walk->action == GET_DETAILS) return VAK_OK;
  if (!IsReleaseAction(walk->action)) return VAK_NOT_OK;
  status = vak::EditLockControlOnStakeRetry(stakePath, lockedPath, nullptr, walk->action,
                                           walk->filter, nullptr, &msg);
  if (status != VAK_OK) {
    printf("Error releasing lock %s%s . %s\n", lockedPath, vak::kStakeSuffix,
           msg != nullptr ? msg : "");
    --numberOfLockStakesFound;
  }
  vakReleaseErrorMsg(&msg);
  return VAK_OK;
}

}  // namespace vak

// sweep_stake.h - the state of one sweep of a directory hierarchy, and what the sweep does with a
// stake entry (report, visit, release); the walk itself is in sweep.cc.
#ifndef VAK_SWEEP_STAKE_H_
#define VAK_SWEEP_STAKE_H_

#include <stddef.h>
#include <sys/types.h>

#include "sweep_ahead.h"
#include "vak.h"

// Edit Locks reported by the current operation; reset by each framing operation.
extern int numberOfLockStakesFound;

namespace vak {

// Every entry path, at any depth, holds at most kPathBufSize - 1 characters.
constexpr size_t kPathBufSize = 2048;

inline bool IsReleaseAction(unsigned int action) {
  return action == FORCE_RELEASE_LOCK || action == RELEASE_DEAD_LOCK;
}

inline bool IsValidAction(unsigned int action) {
  return action == GET_DETAILS || IsReleaseAction(action);
}

// State of one walk: the path buffer shared by all levels, the action and the owner filter; a
// walk with a visitor hands it each lock instead of printing, and stops when it says so. The
// options, the root's device (for oneFileSystem) and the progress are the visitor walk's.
struct Walk {
  char path[kPathBufSize];
  unsigned int action;
  ProcessIdentity *filter;
  VakEditLockVisitor visitor;
  void *context;
  bool stopped;
  VakVisitOptions options;
  dev_t rootDevice;
  VakSweepProgress progress;
};

// A stake entry whose name (suffix included) is walk->path[0 .. entryLength). Reports the lock
// of the file it stands for and releases it when the action says so. VAK_NOT_OK means the action
// is neither a report nor a release, which ends the whole walk. ahead, when given, is the entry's
// read-ahead: when it resolved, its reading stands for the resolution and the report's reading.
int SweepStakeEntry(Walk *walk, size_t entryLength, StakeAhead *ahead);

}  // namespace vak

#endif  // VAK_SWEEP_STAKE_H_

// act.h - carrying out one step of the engine's decision table on a lock-stake file that was read.
#ifndef VAK_ENGINE_ACT_H_
#define VAK_ENGINE_ACT_H_

#include "engine/decision_table.h"
#include "posix_io.h"
#include "stake/stake_snapshot.h"
#include "vak.h"

// What a step works on: the lock-stake file, the locked file's path and the reason (for the
// caller's own text), the text read and its still open descriptor (a release of one's own lock).
struct StepContext {
  const char *lockStakePath;
  const char *filePath;
  const char *reason;
  const ProcessIdentity *ownerFilter;
  StakeSnapshot *read;
  orv::UniqueFd *fd;
  int readStatus;  // the reader's failure and message, for kPassReadFailure
  char **readMsg;
};

// Carries out step: the engine's result, with its message in errMsg.
int Act(Step step, const StepContext &c, LockStake **details, char **errMsg);

#endif  // VAK_ENGINE_ACT_H_

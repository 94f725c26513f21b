// act.cc - the steps of the engine's decision table (see decision_table.h); replace.h makes the
// changes on disk.
#include "engine/act.h"

#include <errno.h>
#include <unistd.h>

#include <utility>

#include "replace/replace.h"
#include "stake/own_text.h"
#include "status.h"

namespace {

const char kOwnerIndeterminateMsg[] =
    "The status of the Edit Lock owner could not be conclusively determined";

// An administrator's release: the file goes, whoever owns it and whatever it holds.
int RemoveOutright(const char *lockStakePath, char **errMsg) {
  if (unlink(lockStakePath) != 0 && errno != ENOENT) return vak::SysError(errMsg);
  return VAK_OK;
}

// The caller's text: a take-over starts a fresh history (the dead owner's sections are dropped);
// a steal keeps every section read, the current owner first, as former owners.
int ChangeWithOwnText(const StepContext &c, LockStake *formerOwners, bool removeOnly,
                      char **errMsg) {
  OwnText text;
  int status = text.Format(c.filePath, c.reason, formerOwners, errMsg);
  if (status != VAK_OK) return status;
  return ChangeUnderDirlock(c.lockStakePath, text, *c.read, removeOnly, errMsg);
}

}  // namespace

int Act(Step step, const StepContext &c, LockStake **details, char **errMsg) {
  switch (step) {
    case Step::kDone:
      return VAK_OK;
    case Step::kNotLocked:
      return vak::NotLocked(errMsg);
    case Step::kAlreadyLocked:
      return vak::AlreadyLocked(errMsg);
    case Step::kNotOwner:
      return vak::NotOwner(errMsg);
    case Step::kUndecided:
      return vak::AllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kOwnerIndeterminateMsg, errMsg);
    case Step::kHandDetails:
      *details = c.read->ReleaseChain();
      return VAK_OK;
    case Step::kFirstLock: {
      OwnText text;
      int status = text.Format(c.filePath, c.reason, nullptr, errMsg);
      if (status != VAK_OK) return status;
      return FirstLock(c.lockStakePath, text, errMsg);
    }
    case Step::kTakeOver:
      return ChangeWithOwnText(c, nullptr, false, errMsg);
    case Step::kSteal:
      return ChangeWithOwnText(c, c.read->chain, false, errMsg);
    case Step::kRemoveDead:
      return ChangeWithOwnText(c, nullptr, true, errMsg);
    case Step::kReleaseOwn:
      return ReleaseOwn(c.lockStakePath, *c.read, std::move(*c.fd), errMsg);
    case Step::kRemoveOutright:
      return RemoveOutright(c.lockStakePath, errMsg);
    case Step::kRemoveIfOwnerMatches:
      if (c.ownerFilter != nullptr && !SameProcess(c.read->Owner(), c.ownerFilter)) return VAK_OK;
      return RemoveOutright(c.lockStakePath, errMsg);
    case Step::kPassReadFailure:
      vak::PassMessage(c.readMsg, errMsg);
      return c.readStatus;
    case Step::kSysError:
      return vak::SysError(errMsg);
    case Step::kInvariant:
      return vak::Invariant(errMsg);
  }
  return vak::Invariant(errMsg);
}

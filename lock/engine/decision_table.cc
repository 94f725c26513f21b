// decision_table.cc - the engine's decisions, one row per action (see decision_table.h).
#include "engine/decision_table.h"

namespace {

// The steps of decision_table.h, named short so that each row fits one line.
constexpr Step Done = Step::kDone, NotLkd = Step::kNotLocked, Locked = Step::kAlreadyLocked,
               NotOwn = Step::kNotOwner, Undec = Step::kUndecided, Detail = Step::kHandDetails,
               First = Step::kFirstLock, TakeOv = Step::kTakeOver, Steal = Step::kSteal,
               RmDead = Step::kRemoveDead, RelOwn = Step::kReleaseOwn,
               RmAll = Step::kRemoveOutright, RmIfOw = Step::kRemoveIfOwnerMatches,
               PassRd = Step::kPassReadFailure, SysErr = Step::kSysError, Inval = Step::kInvariant;
// The own-lock cell of an action that does not compare the owner: the caller's own lock is found
// as another process's there, so this cell is never used.
constexpr Step Never = Step::kInvariant;
// The flags of a row: whether it compares the owner, keeps the text read, keeps the file open.
constexpr bool Y = true, N = false;

// A failed read other than a malformed text (memory, a failing read) is the result of every
// action, before any cell is looked at.
// clang-format off
//                     owner text open  no      own     live    dead    undecided       un-
//  action             cmp.  kept kept  lock    lock    other   other   other   malformed readable
const ActionRow kRows[] = {
  {GET_LOCK,           Y, Y, N,  {First,  Done,   Locked, TakeOv, Undec,  PassRd, SysErr}},
  {STEAL_LOCK,         Y, Y, N,  {First,  Done,   Steal,  Steal,  Steal,  PassRd, SysErr}},
  {CONFIRM_LOCK,       Y, N, N,  {NotLkd, Done,   NotOwn, NotOwn, NotOwn, PassRd, SysErr}},
  {RELEASE_LOCK,       Y, Y, Y,  {Done,   RelOwn, NotOwn, NotOwn, NotOwn, PassRd, SysErr}},
  {FORCE_RELEASE_LOCK, N, N, N,  {Done,   Never,  RmIfOw, RmIfOw, RmIfOw, RmAll,  RmAll}},
  {RELEASE_DEAD_LOCK,  N, Y, N,  {Done,   Never,  Locked, RmDead, Undec,  PassRd, SysErr}},
  {GET_DETAILS,        N, N, N,  {NotLkd, Never,  Detail, Detail, Detail, PassRd, SysErr}},
};
const ActionRow kUnknownAction =
  {~0u,                N, N, N,  {Inval,  Never,  Inval,  Inval,  Inval,  PassRd, SysErr}};
// clang-format on

}  // namespace

bool ActionRow::AsksLiveness() const {
  return At(Found::kLiveOther) != At(Found::kDeadOther) ||
         At(Found::kLiveOther) != At(Found::kUndecidedOther);
}

const ActionRow &RowFor(unsigned int action) {
  for (const ActionRow &row : kRows) {
    if (row.action == action) return row;
  }
  return kUnknownAction;
}

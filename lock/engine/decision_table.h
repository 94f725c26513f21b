// decision_table.h - what the engine does, by the action asked and the lock it found: one row per
// action, one cell per state of the lock (decision_table.cc draws the table).
#ifndef VAK_ENGINE_DECISION_TABLE_H_
#define VAK_ENGINE_DECISION_TABLE_H_

#include "vak.h"

// The lock as the engine found it. Another process's lock is told live, dead or undecided only
// when the action's cells for those differ: the liveness question is asked only then.
enum class Found {
  kNoLock,          // no lock-stake file
  kOwnLock,         // it names the caller (told only by the actions that compare the owner)
  kLiveOther,       // another process's, alive
  kDeadOther,       // another process's, known to be dead
  kUndecidedOther,  // another process's, whose liveness cannot be decided
  kMalformed,       // not a lock-stake text
  kUnreadable,      // it cannot be opened (errno tells why)
  kCount
};

enum class Step {
  kDone,                  // VAK_OK, nothing changed
  kNotLocked,             // VAK_FILE_NOT_LOCKED
  kAlreadyLocked,         // VAK_FILE_ALREADY_LOCKED
  kNotOwner,              // VAK_NOT_EDIT_LOCK_OWNER
  kUndecided,             // VAK_PROCESS_STATUS_INDETERMINATE, the owner's liveness unknown
  kHandDetails,           // the chain read goes to the caller
  kFirstLock,             // the caller's text takes the free lock (FirstLock)
  kTakeOver,              // the caller's fresh text replaces a dead owner's (ChangeUnderDirlock)
  kSteal,                 // the caller's text, followed by every section read, replaces the lock
  kRemoveDead,            // a dead owner's lock is removed under the dirlock
  kReleaseOwn,            // the caller's own lock is removed (ReleaseOwn)
  kRemoveOutright,        // the file goes, whatever it holds (an administrator's release)
  kRemoveIfOwnerMatches,  // kRemoveOutright if the owner matches the filter (or none); else kDone
  kPassReadFailure,       // the reader's failure and message are the result
  kSysError,              // VAK_SYS_ERROR, by errno
  kInvariant,             // an action the engine does not know
};

struct ActionRow {
  unsigned int action;
  bool comparesOwner;  // tells the caller's own lock from others (needs the caller's identity)
  bool readsText;      // may replace or remove the file by the text read, so keeps that text
  bool keepsOpen;      // links the very file it read (the release of one's own lock)
  Step cells[static_cast<int>(Found::kCount)];

  Step At(Found found) const { return cells[static_cast<int>(found)]; }
  // Whether the cells of another process's lock depend on its liveness.
  bool AsksLiveness() const;
};

// The row of action; an action the engine does not know gets a row that reads the file and then
// answers kInvariant.
const ActionRow &RowFor(unsigned int action);

#endif  // VAK_ENGINE_DECISION_TABLE_H_

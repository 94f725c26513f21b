// dirlock.h - the dirlock "<lock-stake file>.dirlock": a token that only one process holds at a
// time, made by linking a complete lock-stake text of its holder to the name (link() fails with
// EEXIST for everyone else). Every change to an existing lock-stake file is made under it: a
// take-over, a steal, and the release of one's own lock; so a process that holds it and finds the
// lock-stake file still as it read it may replace or remove that file. A holder that dies leaves
// its dirlock behind; leftovers.h clears it.
#ifndef VAK_REPLACE_DIRLOCK_H_
#define VAK_REPLACE_DIRLOCK_H_

#include <stddef.h>

#include "replace/side_file.h"
#include "vak.h"

// Result of AcquireDirlock when its source (the lock-stake file, for a release) is gone.
enum { kDirlockSourceGone = -1 };

struct DirlockRequest {
  const char *lockStakePath = nullptr;
  const char *dirlock = nullptr;
  // The holder's text: the side file linked as the dirlock (and its announcement), or, for the
  // release of one's own lock, nullptr: the lock-stake file itself is linked (it holds the
  // owner's text already, and needs no free space).
  SideFile *side = nullptr;
  int stakeFd = -1;                 // release: the open lock-stake file
  const char *stakeText = nullptr;  // release: its text as read
  size_t stakeLength = 0;
  // A release waits for a live holder to finish (bounded); a get or a steal gives way at once.
  bool waitForLiveHolder = false;
};

// "<lockStakePath>.dirlock", from malloc (NULL for want of memory).
char *DirlockName(const char *lockStakePath);

// Takes the dirlock. VAK_OK: held (for a side file, its content is the side file's; for a
// release, the lock-stake file's as read). kDirlockSourceGone: the lock-stake file to link no
// longer exists as read. Else the status and message: VAK_FILE_ALREADY_LOCKED (a live holder, or
// another process is clearing a stale one), VAK_PROCESS_STATUS_INDETERMINATE, the dirlock's read
// failure (an empty or malformed dirlock stays and blocks), or a failed liveness question.
int AcquireDirlock(const DirlockRequest &request, char **errMsg);

// Gives the dirlock back after a failure, keeping the failure's errno.
void DropDirlock(const char *dirlock);

#endif  // VAK_REPLACE_DIRLOCK_H_

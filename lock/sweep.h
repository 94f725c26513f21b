// sweep.h - state of the directory-hierarchy sweeps (the operations are in vak.h).
#ifndef VAK_SWEEP_H_
#define VAK_SWEEP_H_

#include "vak.h"

// Edit Locks reported by the current operation; reset by each framing operation.
extern int numberOfLockStakesFound;

// The depth-first walk of dirPath with action (GET_DETAILS or a release) and an optional owner
// filter: prints the lock lines, neither framing nor resetting the count (vakSweepDirHier).
int SweepHierarchy(const char *dirPath, unsigned int action, ProcessIdentity *filter,
                   char **errMsg);

#endif  // VAK_SWEEP_H_

// sweep.h - state of the directory-hierarchy sweeps (the operations are in vak.h).
#ifndef VAK_SWEEP_H_
#define VAK_SWEEP_H_

// Edit Locks reported by the current operation; reset by each framing operation.
extern int numberOfLockStakesFound;

#endif  // VAK_SWEEP_H_

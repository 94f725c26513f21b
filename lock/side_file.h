// side_file.h - writing a new owner's lock stake and replacing a lock-stake file atomically
// through a side file and the dirlock.
#ifndef VAK_SIDE_FILE_H_
#define VAK_SIDE_FILE_H_

#include <stdio.h>

#include "vak.h"

// Writes the lock-stake text that makes the calling process the current owner, followed by the
// former owners (may be NULL). The caller's records are borrowed, not freed.
int vakWriteEditLock(FILE *out, LockStake *formerOwners, const char *lockedPath, const char *reason,
                     char **errMsg);
int vakOpenSideFileForWrite(const char *name, FILE **out, char **errMsg);
// Writes the complete side file "<lockStakePath>.<pid>"; on VAK_OK *sideFileName is a new text.
int vakGetSideFile(const char *lockStakePath, const char *reason, const char *lockedPath,
                   LockStake *formerOwners, char **sideFileName, char **errMsg);
// link(side, dirlock); unlink(side); unlink(stake); link(dirlock, stake); unlink(dirlock).
int vakMvSideFileToStakeFile(const char *sideFileName, const char *dirlockName,
                             const char *lockStakePath, char **errMsg);

#endif  // VAK_SIDE_FILE_H_

// side_file.h - writing a new owner's lock stake and replacing a lock-stake file atomically
// through a side file and the dirlock.
#ifndef VAK_SIDE_FILE_H_
#define VAK_SIDE_FILE_H_

#include <stdio.h>
#include <sys/stat.h>

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
// True when two statuses name the same file with the same content: the same inode, and the same
// size and modification time, which tell apart a new file that happens to reuse the inode number.
bool vakiSameFile(const struct stat *a, const struct stat *b);
// The same move, for a caller that decided on the lock-stake file it read (replaced: its fstat;
// replacedChain: what it read, whose owner section must still be there: a file system that
// numbers inodes by name can show a new file with the old one's status).
// Once the dirlock is held, a lock-stake file that is no longer that one (another process has
// replaced it since) makes the move give up with VAK_FILE_ALREADY_LOCKED; one that is gone was
// released, and the exclusive link of the move decides who gets the lock.
int vakMvSideFileOverStakeFile(const char *sideFileName, const char *dirlockName,
                               const char *lockStakePath, const struct stat *replaced,
                               const LockStake *replacedChain, char **errMsg);
// The move, or with removeOnly the removal of the lock-stake file, under the dirlock: a release
// on a file system that cannot tell files apart by their status excludes replacements this way.
int vakiUnderDirlock(const char *sideFileName, const char *dirlockName, const char *lockStakePath,
                     const struct stat *replaced, const LockStake *replacedChain, bool removeOnly,
                     char **errMsg);
// VAK_OK when the lock-stake file is still the one read (replaced: its status; read: its owner
// section, compared when not NULL) or is gone; VAK_FILE_ALREADY_LOCKED when another or a
// half-written one is there; else the failure to read it.
int vakiStillOwnedAsRead(const char *lockStakePath, const struct stat *replaced,
                         const LockStake *read, char **errMsg);
// The errno to act on after an exclusive create or a link of name failed with err: EEXIST when a
// generic failure (EPERM, EIO) left the name existing; -1 when it left no name, so that the
// attempt is worth repeating (at most kExclusiveAttempts in all; then err stands); else err.
int vakiExclusiveFailure(int err, const char *name);
constexpr int kExclusiveAttempts = 3;

#endif  // VAK_SIDE_FILE_H_

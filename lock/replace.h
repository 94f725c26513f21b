// replace.h - every change to a file's lock on disk, and the life cycle it follows:
//
//   unlocked --first lock--> locked --take-over (dead owner) / steal--> locked (new owner)
//      ^                       |
//      +------- release -------+  (the owner's, a dead owner's, or an administrator's)
//
// A first lock links a complete side file to the free lock-stake name, so the lock appears whole
// or not at all. Every other change is made while holding the dirlock (dirlock.h), after checking
// that the lock-stake file still holds exactly the text that the decision was made on: a
// take-over or steal renames the dirlock (its text the new owner's) over the lock-stake file, in
// one step; a release removes it. An administrator's forced release removes the file outright.
#ifndef VAK_REPLACE_H_
#define VAK_REPLACE_H_

#include "own_text.h"
#include "posix_io.h"
#include "stake_snapshot.h"
#include "vak.h"

// Makes the caller the owner of a free lock. VAK_FILE_ALREADY_LOCKED if another process was
// first.
int FirstLock(const char *lockStakePath, const OwnText &text, char **errMsg);

// Replaces the lock-stake file that was read (read) with text, or with removeOnly removes it.
// VAK_FILE_ALREADY_LOCKED if the file has changed since it was read or another process holds
// the dirlock.
int ChangeUnderDirlock(const char *lockStakePath, const OwnText &text, const StakeSnapshot &read,
                       bool removeOnly, char **errMsg);

// Removes the caller's own lock, read as read through the still open descriptor fd. Needs no
// free space. VAK_NOT_EDIT_LOCK_OWNER if another process has taken the lock since.
int ReleaseOwn(const char *lockStakePath, const StakeSnapshot &read, orv::UniqueFd fd,
               char **errMsg);

#endif  // VAK_REPLACE_H_

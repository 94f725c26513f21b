// replace.h - every change to a file's lock on disk, and the life cycle it follows:
//
//                       first lock (FirstLock): side file "<stake>.<pid>" --link--> "<stake>"
//     +----------+ ------------------------------------------------------> +--------+
//     | unlocked |                                                          | locked | <--+
//     +----------+ <------------------------------------------------------ +--------+    |
//                   release (ReleaseOwn; a dead owner's: ChangeUnderDirlock)    |         |
//                   under the dirlock: unlink "<stake>", then the dirlock;      +---------+
//                   forced release (administrator): unlink "<stake>" outright  take-over of a
//                                                                               dead owner's, or
//                                                                               steal: under the
//                                                                               dirlock, rename
//                                                                               it over "<stake>"
//   Under the dirlock ("<stake>.dirlock", dirlock.h):
//     1. a side file "<stake>.<pid>" holds the new text (side_file.h); a release of one's own lock
//        links "<stake>" itself instead, and so needs no free space;
//     2. it is linked to "<stake>.dirlock", exclusively (a dead holder's dirlock is cleared under
//        announcements first, leftovers.h); the side file goes;
//     3. "<stake>" is read again: if it is no longer the text decided on, the change is given up;
//     4. the dirlock is renamed over "<stake>" (one step: readers see the old lock or the new
//        one, never none), or "<stake>" and then the dirlock are unlinked.
//
// A first lock appears whole or not at all, and every other change is made only on the very text
// it was decided on. Creates and links follow exclusive.h, as network file systems allow them.
#ifndef VAK_REPLACE_REPLACE_H_
#define VAK_REPLACE_REPLACE_H_

#include "posix_io.h"
#include "stake/own_text.h"
#include "stake/stake_snapshot.h"
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

#endif  // VAK_REPLACE_REPLACE_H_

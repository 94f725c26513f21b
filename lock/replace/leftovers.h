// leftovers.h - what dead processes leave beside a lock-stake file (a stale dirlock, side files),
// and clearing it safely.
//
// Clearing a stale dirlock is the hard part: two processes that both found it stale must not
// both remove "it", since the second would remove the first one's fresh dirlock. So a process
// clears a stale dirlock only after announcing itself (its side file is complete before it looks)
// and then finding no other live announcement for the same lock-stake file; it then reads the
// dirlock again and removes it only if it is still the stale one. Of two processes that announce
// and then look, at least one sees the other, so at most one clears (the other waits for it, or
// gives way to the lower-ranked one); a dirlock that changed in between is never the stale one
// again, since its dead holder writes nothing more.
#ifndef VAK_REPLACE_LEFTOVERS_H_
#define VAK_REPLACE_LEFTOVERS_H_

#include "replace/side_file.h"
#include "stake/stake_snapshot.h"

enum class Cleared { kRetry, kGiveWay, kFailed };

// Clears the dirlock of lockStakePath whose text is stale, announced by mine. kRetry: it is gone
// (or it changed, and is no longer the stale one): try to take it again. kGiveWay: another
// process is about to clear it. kFailed: *failed is the status, with its message in errMsg.
Cleared ClearStale(const char *lockStakePath, const char *dirlock, const SideFile &mine,
                   const StakeSnapshot &stale, char **errMsg, int *failed);

// What the sweeps meet by name beside a lock-stake file "<stake>": a side file "<stake>.<digits>"
// or a dirlock "<stake>.dirlock".
enum class Leftover { kNone, kSideFile, kDirlock };

// The kind of a directory entry's name; for a side file or a dirlock, *stakeLength is the length
// of the lock-stake name it belongs to (the name up to its last dot). As cheap as a suffix test
// for any other name.
Leftover ClassifyLeftover(const char *name, size_t *stakeLength);

// For the sweeps: path is a leftover of that kind, beside the lock-stake file
// path[0 .. lockStakeLength). A side file whose writer is dead (or that was left half-written
// long ago) is removed; a dirlock whose holder is dead is cleared as a get would clear it.
// Nothing is reported; failures leave the file for the next process that meets it.
void ClearLeftover(const char *path, Leftover kind, size_t lockStakeLength);

#endif  // VAK_REPLACE_LEFTOVERS_H_

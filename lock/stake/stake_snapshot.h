// stake_snapshot.h - a lock-stake format file (lock-stake file, dirlock or side file) as one
// process read it: its parsed owner chain and its exact text. The text is what later checks
// compare against: "is this still the file I decided on?" is answered by content, which every
// file system reports faithfully, where inode numbers and link counts are not (sshfs makes up
// both).
#ifndef VAK_STAKE_SNAPSHOT_H_
#define VAK_STAKE_SNAPSHOT_H_

#include <stddef.h>
#include <sys/stat.h>

#include "posix_io.h"
#include "vak.h"

struct StakeSnapshot {
  StakeSnapshot() = default;
  StakeSnapshot(const StakeSnapshot &) = delete;
  StakeSnapshot &operator=(const StakeSnapshot &) = delete;
  ~StakeSnapshot() { Reset(); }
  void Reset();
  // Hands the chain to the caller (who frees it with vak::FreeLockStake).
  LockStake *ReleaseChain();
  const ProcessIdentity *Owner() const;
  bool SameText(const char *other, size_t otherLength) const;
  bool SameText(const StakeSnapshot &other) const { return SameText(other.text, other.length); }

  LockStake *chain = nullptr;
  char *text = nullptr;  // from malloc; the bytes as read, CR LF folded as the reader folds them
  size_t length = 0;
  struct stat status = {};
};

// Results of ReadSnapshot besides the statuses of the reader.
enum {
  kSnapshotAbsent = -1,      // no such file (also: it vanished while being read)
  kSnapshotOpenFailed = -2,  // the open failed otherwise; errno tells why
};

// Reads name into *snap: VAK_OK, kSnapshotAbsent, kSnapshotOpenFailed (errno set, no message),
// or the reader's failure with its message (VAK_MALFORMED_LOCK_STAKE_FILE, VAK_SYS_ERROR, ...).
// A name whose file another host has just replaced can fail with ESTALE (or EIO) on a network
// file system; such an open is tried again a few times, since the name now leads to the new file.
// keep (when given) receives the open descriptor; wantText false spares the copy of the text.
int ReadSnapshot(const char *name, StakeSnapshot *snap, char **errMsg,
                 orv::UniqueFd *keep = nullptr, bool wantText = true);

// Whether two identities name the same process (host, identifier and creation time).
bool SameIdentity(const ProcessIdentity *a, const ProcessIdentity *b);
// Same host name (exactly) and same process identifier; the creation time is not compared, so a
// process keeps its locks across a re-initialisation.
bool SameProcess(const ProcessIdentity *a, const ProcessIdentity *b);
// A total order of processes (host name, identifier, creation time): <0, 0 or >0.
int CompareIdentity(const ProcessIdentity *a, const ProcessIdentity *b);

#endif  // VAK_STAKE_SNAPSHOT_H_

// stake_snapshot.cc - reading a lock-stake format file whole, with its text kept for comparison.
#include "stake/stake_snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <utility>

#include "posix_io.h"
#include "stake/stake_file.h"
#include "stake/stake_records.h"
#include "status.h"

namespace {

// A stale handle or an I/O error on open is how GlusterFS reports a name that another client has
// just replaced; the name leads to the new file once the client has looked it up again.
constexpr int kOpenAttempts = 5;

bool SameText(const char *a, const char *b) {
  return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

}  // namespace

void StakeSnapshot::Reset() {
  vak::FreeLockStake(chain);
  chain = nullptr;
  free(text);
  text = nullptr;
  length = 0;
}

LockStake *StakeSnapshot::ReleaseChain() {
  LockStake *c = chain;
  chain = nullptr;
  return c;
}

const ProcessIdentity *StakeSnapshot::Owner() const {
  return chain != nullptr && chain->header != nullptr ? chain->header->processId : nullptr;
}

bool StakeSnapshot::SameText(const char *other, size_t otherLength) const {
  return text != nullptr && other != nullptr && length == otherLength &&
         memcmp(text, other, length) == 0;
}

int ReadSnapshot(const char *name, StakeSnapshot *snap, char **errMsg, orv::UniqueFd *keep,
                 bool wantText) {
  snap->Reset();
  for (int attempt = 1;; ++attempt) {
    // O_NONBLOCK: a FIFO planted under the name must not hang the caller; it reads as an empty,
    // hence malformed, file.
    orv::UniqueFd fd(open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT) return kSnapshotAbsent;
      if ((errno == ESTALE || errno == EIO) && attempt < kOpenAttempts) {
        orv::SleepMs(attempt);
        continue;
      }
      return kSnapshotOpenFailed;
    }
    char *readMsg = nullptr;
    int status = vak::ReadLockStakeFd(fd.get(), &snap->chain, &readMsg, &snap->status,
                                      wantText ? &snap->text : nullptr, &snap->length);
    // A network file system can fail the fstat or the read of a file that another host has just
    // released or replaced: the name is looked at again.
    if (vak::Vanished(status, errno)) {
      vakReleaseErrorMsg(&readMsg);
      snap->Reset();
      if (attempt < kOpenAttempts) continue;
      return kSnapshotAbsent;
    }
    if (keep != nullptr && status == VAK_OK) {
      *keep = std::move(fd);
    } else if (close(fd.release()) != 0 && status == VAK_OK) {
      snap->Reset();
      return vak::SysError(errMsg);
    }
    if (status != VAK_OK) vak::PassMessage(&readMsg, errMsg);
    return status;
  }
}

bool SameIdentity(const ProcessIdentity *a, const ProcessIdentity *b) {
  return a != nullptr && b != nullptr && a->processId == b->processId &&
         a->creationTime == b->creationTime && SameText(a->hostName, b->hostName);
}

bool SameProcess(const ProcessIdentity *a, const ProcessIdentity *b) {
  return a != nullptr && b != nullptr && a->hostName != nullptr && b->hostName != nullptr &&
         a->processId == b->processId && strcmp(a->hostName, b->hostName) == 0;
}

int CompareIdentity(const ProcessIdentity *a, const ProcessIdentity *b) {
  int byHost =
      strcmp(a->hostName != nullptr ? a->hostName : "", b->hostName != nullptr ? b->hostName : "");
  if (byHost != 0) return byHost;
  if (a->processId != b->processId) return a->processId < b->processId ? -1 : 1;
  if (a->creationTime != b->creationTime) return a->creationTime < b->creationTime ? -1 : 1;
  return 0;
}

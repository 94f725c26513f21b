// side_file.cc - the exclusive side file that carries a new lock-stake text (see side_file.h).
#include "replace/side_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "init.h"
#include "liveness.h"
#include "replace/exclusive.h"
#include "stake/stake_file.h"
#include "stake/stake_snapshot.h"
#include "status.h"

namespace {

// How long a name held by a live process with the same identifier is waited for, and how long a
// half-written side file must stay unchanged before it counts as abandoned: a writer writes its
// whole text with one call right after the create.
constexpr long kBusyWaitMs = 2000, kHalfWrittenMs = 1000;
constexpr int kMaxCreateAttempts = 64;

// What a name found taken holds, as far as its next creator is concerned.
enum class Taken { kGone, kMine, kBusy, kAbandoned, kFailed };

Taken Examine(const char *name, long *halfWrittenMs, char **errMsg, int *failed) {
  StakeSnapshot held;
  int status = ReadSnapshot(name, &held, nullptr);
  if (status == kSnapshotAbsent) return Taken::kGone;
  if (status == kSnapshotOpenFailed) {
    *failed = vak::SysError(errMsg);
    return Taken::kFailed;
  }
  if (status != VAK_OK) {
    // Empty or half-written: a writer with the same identifier may be between its create and its
    // write; one that stays so was killed there.
    return *halfWrittenMs >= kHalfWrittenMs ? Taken::kAbandoned : Taken::kBusy;
  }
  *halfWrittenMs = 0;
  const ProcessIdentity *writer = held.Owner();
  if (SameIdentity(writer, vakInitInfo->processId)) return Taken::kMine;
  // A writer whose liveness cannot be decided is left alone, as a live one.
  return KnownDead(writer) ? Taken::kAbandoned : Taken::kBusy;
}

}  // namespace

bool KnownDead(const ProcessIdentity *process) {
  int alive = VAK_PROC_ALIVE;
  char *msg = nullptr;
  const bool dead =
      vak::IsProcessAlive(process, &alive, &msg) == VAK_OK && alive == VAK_PROC_NOT_ALIVE;
  vakReleaseErrorMsg(&msg);
  return dead;
}

template <typename Make>
int SideFile::Claim(const char *lockStakePath, const char *text, size_t length, Make make,
                    bool linking, char **errMsg) {
  Remove();
  text_ = text;
  length_ = length;
  // Named by the identifier this process writes into its lock stakes; the identity's own is the
  // real one while the process is initialised (a fork leaves the child uninitialised).
  bool known = vakInited == 1 && vakInitInfo != nullptr && vakInitInfo->processId != nullptr;
  long pid =
      known ? static_cast<long>(vakInitInfo->processId->processId) : static_cast<long>(getpid());
  size_t size = strlen(lockStakePath) + 32;
  name_.reset(static_cast<char *>(malloc(size)));
  if (name_ == nullptr) return vak::OutOfMemory(errMsg);
  snprintf(name_.get(), size, "%s.%ld", lockStakePath, pid);

  long waitedMs = 0, halfWrittenMs = 0, pauseMs = 2;
  for (int attempt = 1;; ++attempt) {
    // A file system whose create and read disagree about the name (a stale entry) must not keep
    // this loop going for ever.
    if (attempt > kMaxCreateAttempts) {
      return vak::AlreadyLocked(errMsg);
    }
    int err = make();
    if (err == 0) break;
    if (err == ENOENT && linking) return kSideFileSourceGone;
    if (err != EEXIST) {
      errno = err;
      return vak::SysError(errMsg);
    }
    int failed = VAK_OK;
    switch (Examine(name_.get(), &halfWrittenMs, errMsg, &failed)) {
      case Taken::kGone:
        continue;
      case Taken::kFailed:
        return failed;
      case Taken::kMine:
      case Taken::kAbandoned:
        // Two processes that clear the same abandoned name can remove each other's new file: the
        // link of the one that lost it then fails, or (where links go by name) its check of what
        // it linked does.
        if (unlink(name_.get()) != 0 && errno != ENOENT) return vak::SysError(errMsg);
        continue;
      case Taken::kBusy:
        if (waitedMs >= kBusyWaitMs) return vak::AlreadyLocked(errMsg);
        orv::SleepMs(pauseMs);
        waitedMs += pauseMs;
        halfWrittenMs += pauseMs;
        pauseMs = pauseMs < 64 ? pauseMs * 2 : pauseMs;
        continue;
    }
  }
  owned_ = true;
  return VAK_OK;
}

int SideFile::Create(const char *lockStakePath, const char *text, size_t length, char **errMsg) {
  auto make = [this]() -> int {
    for (int attempt = 1;; ++attempt) {
      // O_NOFOLLOW: a symbolic link planted under the name must not make this process write
      // wherever it points.
      fd_.reset(open(name_.get(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (fd_.valid()) return 0;
      ExclusiveFailure failure = JudgeExclusiveFailure(errno, name_.get());
      if (failure.nameFree && attempt < kExclusiveAttempts) continue;
      return failure.nameFree ? EPERM : failure.err;
    }
  };
  int status = Claim(lockStakePath, text, length, make, false, errMsg);
  if (status != VAK_OK) return status;
  contentOnly_ = ContentOnly(fd_.get());
  // Every failure from here on removes the file created: an incomplete side file is of no use.
  if (fchmod(fd_.get(), 0666) != 0) {
    status = vak::SysError(errMsg);
    Remove();
    return status;
  }
  if (!orv::WriteAll(fd_.get(), text, length)) {
    // The text reaches the file in one write, where a stream would have written it at its flush:
    // reported as the failed flush it stands for.
    status = vak::FlushFailed(errMsg);
    Remove();
    return status;
  }
  return VAK_OK;
}

int SideFile::CreateAsLink(const char *lockStakePath, int sourceFd, const char *text, size_t length,
                           char **errMsg) {
  const bool byName = ContentOnly(sourceFd) || !ProcUsable();
  auto make = [&]() -> int {
    return byName ? MakeLink(lockStakePath, name_.get()) : LinkDescriptor(sourceFd, name_.get());
  };
  int status = Claim(lockStakePath, text, length, make, true, errMsg);
  if (status != VAK_OK) return status;
  contentOnly_ = byName;
  if (byName) {
    // Linked by name: the name may have led to another process's lock by then.
    if (!HoldsText(name_.get(), text, length)) {
      Remove();
      return kSideFileSourceGone;
    }
  }
  return VAK_OK;
}

struct timespec SideFile::written() const {
  struct stat st;
  if (fd_.valid() ? fstat(fd_.get(), &st) != 0 : !owned_ || lstat(name_.get(), &st) != 0) {
    return {0, 0};
  }
  // A side file made as a link keeps its source's modification time; the link changed its ctime.
  const bool changedLater =
      st.st_ctim.tv_sec > st.st_mtim.tv_sec ||
      (st.st_ctim.tv_sec == st.st_mtim.tv_sec && st.st_ctim.tv_nsec > st.st_mtim.tv_nsec);
  return changedLater ? st.st_ctim : st.st_mtim;
}

int SideFile::LinkTo(const char *to) {
  if (!owned_) return ENOENT;
  if (!contentOnly_ && ProcUsable()) return LinkDescriptor(fd_.get(), to);
  return MakeLink(name_.get(), to);
}

void SideFile::Remove() {
  // Closed before the unlink: a network file system keeps an open file's unlinked name alive
  // (FUSE renames it aside and removes it at the close, NFS likewise), two more round trips.
  fd_.reset();
  if (owned_) {
    int saved = errno;
    unlink(name_.get());
    errno = saved;
  }
  owned_ = false;
}

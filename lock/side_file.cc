// side_file.cc - writing a new owner's lock stake, and the exclusive side file that carries it.
#include "side_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "init.h"
#include "stake_file.h"
#include "stake_snapshot.h"
#include "status.h"

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
// Size of the buffer for the readable time of locking.
constexpr size_t kTimeBufferSize = 2047;
// How long a name held by a live process with the same identifier is waited for, and how long a
// half-written side file must stay unchanged before it counts as abandoned: a writer writes its
// whole text with one call right after the create.
constexpr long kBusyWaitMs = 2000, kHalfWrittenMs = 1000;
constexpr int kMaxCreateAttempts = 64;

// The readable time of the last locking, kept for the rest of its second: an application that
// locks many files in a burst formats the time once.
struct {
  time_t second = -1;
  char readable[kTimeBufferSize];
} lastTimeLocked;

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

void SleepMs(long ms) {
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&wait, nullptr);
}

// Writes all of text; false with errno set on failure.
bool WriteAll(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t n = orv::RetryOnEintr([&] { return write(fd, text, length); });
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// What a name found taken holds, as far as its next creator is concerned.
enum class Taken { kGone, kMine, kBusy, kAbandoned, kFailed };

Taken Examine(const char *name, long *halfWrittenMs, char **errMsg, int *failed) {
  StakeSnapshot held;
  int status = ReadSnapshot(name, &held, nullptr);
  if (status == kSnapshotAbsent) return Taken::kGone;
  if (status == kSnapshotOpenFailed) {
    *failed = SysError(errMsg);
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
  int alive = VAK_PROC_ALIVE;
  char *msg = nullptr;
  // A writer whose liveness cannot be decided is left alone, as a live one.
  if (vakIsProcessAlive(writer, &alive, &msg) != VAK_OK) alive = VAK_PROC_INDETERMINATE;
  vakReleaseErrorMsg(&msg);
  return alive == VAK_PROC_NOT_ALIVE ? Taken::kAbandoned : Taken::kBusy;
}

}  // namespace

bool ProcUsable() {
  static int usable = -1;
  if (usable < 0) usable = access("/proc/self/fd", X_OK) == 0;
  return usable == 1;
}

// Some network file systems (sftp, for one) have no word for "exists" and report a generic
// failure instead: a name that exists after such a failure was taken by someone else, and one
// that does not may have been taken and given up again in between.
int vakiExclusiveFailure(int err, const char *name) {
  if (err != EPERM && err != EIO) return err;
  struct stat existing;
  if (lstat(name, &existing) == 0) return EEXIST;
  return errno == ENOENT ? -1 : err;
}

bool ContentOnly(int fd) {
  struct statfs fs;
  return fstatfs(fd, &fs) != 0 || fs.f_type == kFuseSuperMagic;
}

int vakWriteEditLock(FILE *out, LockStake *formerOwners, const char *lockedPath, const char *reason,
                     char **errMsg) {
  if (vakInitInfo == nullptr || vakInitInfo->processId == nullptr) {
    return vakAllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
  }
  orv::MallocPtr<LockStake> stake(static_cast<LockStake *>(calloc(1, sizeof(LockStake))));
  orv::MallocPtr<LockStakeTrailer> trailer(
      static_cast<LockStakeTrailer *>(calloc(1, sizeof(LockStakeTrailer))));
  if (stake == nullptr || trailer == nullptr) {
    return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  }
  errno = 0;
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) return SysError(errMsg);
  if (now != lastTimeLocked.second) {
    struct tm local;
    lastTimeLocked.second = -1;
    if (localtime_r(&now, &local) == nullptr ||
        strftime(lastTimeLocked.readable, sizeof lastTimeLocked.readable, "%c %Z", &local) == 0) {
      return SysError(errMsg);
    }
    lastTimeLocked.second = now;
  }
  orv::MallocPtr<char> timeLocked(strdup(lastTimeLocked.readable));
  if (timeLocked == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);

  // Borrowed parts: the caller's reason and path, the process's own identity, the former owners.
  // They are only pointed at, never freed here.
  trailer->reason = const_cast<char *>(reason != nullptr ? reason : unspecifiedReasonMsg);
  trailer->filePathUsed = const_cast<char *>(lockedPath != nullptr ? lockedPath : "");
  trailer->timeLocked = timeLocked.get();
  stake->header = vakInitInfo;
  stake->trailer = trailer.get();
  stake->next = formerOwners;
  return vakWriteLockStakeInfo(lockedPath, out, stake.get(), errMsg);
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
  if (name_ == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  snprintf(name_.get(), size, "%s.%ld", lockStakePath, pid);

  long waitedMs = 0, halfWrittenMs = 0, pauseMs = 2;
  for (int attempt = 1;; ++attempt) {
    // A file system whose create and read disagree about the name (a stale entry) must not keep
    // this loop going for ever.
    if (attempt > kMaxCreateAttempts) {
      return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
    }
    int err = make();
    if (err == 0) break;
    if (err == ENOENT && linking) return kSideFileSourceGone;
    if (err != EEXIST) {
      errno = err;
      return SysError(errMsg);
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
        if (unlink(name_.get()) != 0 && errno != ENOENT) return SysError(errMsg);
        continue;
      case Taken::kBusy:
        if (waitedMs >= kBusyWaitMs) {
          return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
        }
        SleepMs(pauseMs);
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
      int err = vakiExclusiveFailure(errno, name_.get());
      if (err == -1 && attempt < kExclusiveAttempts) continue;
      return err == -1 ? EPERM : err;
    }
  };
  int status = Claim(lockStakePath, text, length, make, false, errMsg);
  if (status != VAK_OK) return status;
  contentOnly_ = ContentOnly(fd_.get());
  // Every failure from here on removes the file created: an incomplete side file is of no use.
  if (fchmod(fd_.get(), 0666) != 0) {
    status = SysError(errMsg);
    Remove();
    return status;
  }
  if (!WriteAll(fd_.get(), text, length)) {
    // The text reaches the file in one write, where a stream would have written it at its flush:
    // reported as the failed flush it stands for.
    status = vakFormatErrorMsg(VAK_NOT_OK, errMsg, "fflush failed. %s", strerror(errno));
    Remove();
    return status;
  }
  return VAK_OK;
}

int SideFile::CreateAsLink(const char *lockStakePath, int sourceFd, const char *text,
                           size_t length, char **errMsg) {
  const bool byName = ContentOnly(sourceFd) || !ProcUsable();
  auto make = [&]() -> int {
    return byName ? MakeLink(lockStakePath, name_.get()) : LinkDescriptor(sourceFd, name_.get());
  };
  int status = Claim(lockStakePath, text, length, make, true, errMsg);
  if (status != VAK_OK) return status;
  contentOnly_ = byName;
  if (byName) {
    // Linked by name: the name may have led to another process's lock by then.
    StakeSnapshot made;
    if (ReadSnapshot(name_.get(), &made, nullptr) != VAK_OK || !made.SameText(text, length)) {
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
  const bool changedLater = st.st_ctim.tv_sec > st.st_mtim.tv_sec ||
                            (st.st_ctim.tv_sec == st.st_mtim.tv_sec &&
                             st.st_ctim.tv_nsec > st.st_mtim.tv_nsec);
  return changedLater ? st.st_ctim : st.st_mtim;
}

namespace {

// link() by the given call, recognising what a network file system reports wrongly. A failure
// for a link that it did make (the reply was lost, and the retried call found the name taken):
// after any error but EEXIST, a new name that leads to the very file of the source (same device
// and inode; source is how to stat it) is the link this process asked for. A generic failure: see
// vakiExclusiveFailure.
template <typename Link, typename Source>
int LinkRecognisingLostReplies(Link makeLink, Source statSource, const char *to) {
  for (int attempt = 1;; ++attempt) {
    if (makeLink() == 0) return 0;
    int err = errno;
    struct stat source, made;
    if (err != EEXIST && statSource(&source) == 0 && lstat(to, &made) == 0 &&
        source.st_dev == made.st_dev && source.st_ino == made.st_ino) {
      return 0;
    }
    int decided = vakiExclusiveFailure(err, to);
    if (decided == -1 && attempt < kExclusiveAttempts) continue;
    return decided == -1 ? err : decided;
  }
}

}  // namespace

int MakeLink(const char *from, const char *to) {
  return LinkRecognisingLostReplies([&] { return link(from, to); },
                                    [&](struct stat *st) { return lstat(from, st); }, to);
}

int LinkDescriptor(int fd, const char *to) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return LinkRecognisingLostReplies(
      [&] { return linkat(AT_FDCWD, self, AT_FDCWD, to, AT_SYMLINK_FOLLOW); },
      [&](struct stat *st) { return fstat(fd, st); }, to);
}

int SideFile::LinkTo(const char *to) {
  if (!owned_) return ENOENT;
  if (!contentOnly_ && ProcUsable()) return LinkDescriptor(fd_.get(), to);
  return MakeLink(name_.get(), to);
}

void SideFile::Remove() {
  if (owned_) {
    int saved = errno;
    unlink(name_.get());
    errno = saved;
  }
  Forget();
}

void SideFile::Forget() {
  owned_ = false;
  fd_.reset();
}

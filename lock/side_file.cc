// side_file.cc - writing a new owner's lock stake, and replacing a lock-stake file so that no
// reader ever sees a half-written one: the new text is written to a side file that only this
// process uses, then moved into place under the dirlock. Exclusion between processes on any host
// rests on link() failing with EEXIST; every step of the move is one system call.
#include "side_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "init.h"
#include "posix_io.h"
#include "stake_file.h"
#include "status.h"

namespace {

// Size of the buffer for the readable time of locking.
constexpr size_t kTimeBufferSize = 2047;

// The readable time of the last locking, kept for the rest of its second: an application that
// locks many files in a burst formats the time once.
struct {
  time_t second = -1;
  char readable[kTimeBufferSize];
} lastTimeLocked;

// Removes a name after a failure without disturbing the errno of that failure.
void RemoveQuietly(const char *name) {
  int saved = errno;
  unlink(name);
  errno = saved;
}

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

// link(), and whether it made the link. A network file system can report a failure for a link
// that it did make (the reply was lost, and the retried call found the name taken): after any
// error but EEXIST, a new name that leads to the very file of the old one (same device and inode)
// is the link this process asked for. errno is kept when the link was not made.
bool MakeLink(const char *from, const char *to) {
  for (int attempt = 1;; ++attempt) {
    if (link(from, to) == 0) return true;
    int err = errno;
    struct stat source, made;
    if (err != EEXIST && lstat(from, &source) == 0 && lstat(to, &made) == 0 &&
        source.st_dev == made.st_dev && source.st_ino == made.st_ino) {
      return true;
    }
    int decided = vakiExclusiveFailure(err, to);
    if (decided == -1 && attempt < kExclusiveAttempts) continue;
    errno = decided == -1 ? err : decided;
    return false;
  }
}

bool SameText(const char *a, const char *b) {
  return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

}  // namespace

// The content is compared as well as the status because a file system that numbers inodes by
// name can give a new file the old one's status.
int vakiStillOwnedAsRead(const char *lockStakePath, const struct stat *replaced,
                         const LockStake *read, char **errMsg) {
  orv::UniqueFd fd(open(lockStakePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? VAK_OK : SysError(errMsg);
  LockStake *chain = nullptr;
  char *msg = nullptr;
  struct stat now;
  now.st_ino = 0;
  int status = vakiReadLockStakeFd(fd.get(), &chain, &msg, &now);
  if (vakiVanished(status, errno)) {
    vakReleaseErrorMsg(&msg);
    return VAK_OK;
  }
  if (now.st_ino != 0 && !vakiSameFile(&now, replaced)) {
    vakFreeLockStake(chain);
    vakReleaseErrorMsg(&msg);
    return AlreadyLocked(errMsg);
  }
  if (status == VAK_OK && read != nullptr && read->header != nullptr &&
      read->header->processId != nullptr) {
    const ProcessIdentity *was = read->header->processId;
    const ProcessIdentity *is = chain->header != nullptr ? chain->header->processId : nullptr;
    bool same = is != nullptr && was->processId == is->processId &&
                was->creationTime == is->creationTime && SameText(was->hostName, is->hostName) &&
                (read->trailer == nullptr || chain->trailer == nullptr ||
                 SameText(read->trailer->timeLocked, chain->trailer->timeLocked));
    status = same ? VAK_OK : VAK_FILE_ALREADY_LOCKED;
  }
  vakFreeLockStake(chain);
  if (status == VAK_MALFORMED_LOCK_STAKE_FILE) status = VAK_FILE_ALREADY_LOCKED;
  if (status == VAK_FILE_ALREADY_LOCKED) {
    vakReleaseErrorMsg(&msg);
    return AlreadyLocked(errMsg);
  }
  if (status != VAK_OK && errMsg != nullptr) {
    *errMsg = msg;
  } else {
    vakReleaseErrorMsg(&msg);
  }
  return status;
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

int vakOpenSideFileForWrite(const char *name, FILE **out, char **errMsg) {
  *out = nullptr;
  // O_NOFOLLOW: a symbolic link planted under the side-file name must not make this process
  // truncate whatever it points to.
  orv::UniqueFd fd(
      open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!fd.valid()) return SysError(errMsg);
  FILE *stream = fdopen(fd.get(), "w");
  if (stream == nullptr) return SysError(errMsg);
  fd.release();
  if (fchmod(fileno(stream), 0666) != 0) {
    char *closeMsg = nullptr;
    int err = errno;
    if (vakFclose(stream, &closeMsg) != VAK_OK) {
      if (errMsg != nullptr) {
        *errMsg = closeMsg;
      } else {
        vakReleaseErrorMsg(&closeMsg);
      }
      return VAK_SYS_ERROR;
    }
    errno = err;
    return SysError(errMsg);
  }
  *out = stream;
  return VAK_OK;
}

// A side file whose writing failed is removed here: its content is incomplete, it is of no use to
// anyone, and only this process knows that it exists.
int vakGetSideFile(const char *lockStakePath, const char *reason, const char *lockedPath,
                   LockStake *formerOwners, char **sideFileName, char **errMsg) {
  *sideFileName = nullptr;
  // Named by the real process identifier, so that a forked child can never share its parent's
  // side file even while it still carries the parent's identity. The identity's own identifier is
  // that one while the process is initialised (a fork leaves the child uninitialised), and spares
  // a system call.
  bool known = vakInited == 1 && vakInitInfo != nullptr && vakInitInfo->processId != nullptr;
  long pid =
      known ? static_cast<long>(vakInitInfo->processId->processId) : static_cast<long>(getpid());
  size_t length = strlen(lockStakePath) + 32;
  orv::MallocPtr<char> name(static_cast<char *>(malloc(length)));
  if (name == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  snprintf(name.get(), length, "%s.%ld", lockStakePath, pid);

  FILE *stream = nullptr;
  int status = vakOpenSideFileForWrite(name.get(), &stream, errMsg);
  if (status != VAK_OK) {
    // The file may have been created before its stream or its mode failed.
    RemoveQuietly(name.get());
    return status;
  }
  // A buffer of our own spares the stream the fstat it makes to size one. Its size is the usual
  // block size, so a failed write of a long text is reported where it would be anyway.
  char buffer[4096];
  setvbuf(stream, buffer, _IOFBF, sizeof buffer);
  char *writeMsg = nullptr;
  status = vakWriteEditLock(stream, formerOwners, lockedPath, reason, &writeMsg);
  char *closeMsg = nullptr;
  int closeStatus = vakFclose(stream, &closeMsg);
  if (status != VAK_OK || closeStatus != VAK_OK) {
    RemoveQuietly(name.get());
    // One message per failure: the close's, if it failed, else the write's.
    char **keep = closeStatus != VAK_OK ? &closeMsg : &writeMsg;
    char **drop = closeStatus != VAK_OK ? &writeMsg : &closeMsg;
    vakReleaseErrorMsg(drop);
    if (errMsg != nullptr) {
      *errMsg = *keep;
    } else {
      vakReleaseErrorMsg(keep);
    }
    return closeStatus != VAK_OK ? closeStatus : status;
  }
  *sideFileName = name.release();
  return VAK_OK;
}

bool vakiSameFile(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
         a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec;
}

int vakMvSideFileToStakeFile(const char *sideFileName, const char *dirlockName,
                             const char *lockStakePath, char **errMsg) {
  return vakMvSideFileOverStakeFile(sideFileName, dirlockName, lockStakePath, nullptr, nullptr,
                                    errMsg);
}

int vakMvSideFileOverStakeFile(const char *sideFileName, const char *dirlockName,
                               const char *lockStakePath, const struct stat *replaced,
                               const LockStake *replacedChain, char **errMsg) {
  return vakiUnderDirlock(sideFileName, dirlockName, lockStakePath, replaced, replacedChain, false,
                          errMsg);
}

int vakiUnderDirlock(const char *sideFileName, const char *dirlockName, const char *lockStakePath,
                     const struct stat *replaced, const LockStake *replacedChain, bool removeOnly,
                     char **errMsg) {
  // 1. Take the dirlock: only one process can create it.
  if (!MakeLink(sideFileName, dirlockName)) {
    int linkErr = errno;
    if (unlink(sideFileName) != 0) return SysError(errMsg);
    if (linkErr == EEXIST) return AlreadyLocked(errMsg);
    errno = linkErr;
    return SysError(errMsg);
  }
  // 2. The content lives on under the dirlock.
  if (unlink(sideFileName) != 0) {
    RemoveQuietly(dirlockName);
    return SysError(errMsg);
  }
  // The decision to replace rested on a file read before the dirlock was ours: two processes
  // that both found the owner dead must not both take the lock over.
  if (replaced != nullptr) {
    int status = vakiStillOwnedAsRead(lockStakePath, replaced, replacedChain, errMsg);
    if (status != VAK_OK) {
      RemoveQuietly(dirlockName);
      return status;
    }
  }
  // 3. From here until step 4 readers see no lock-stake file. One already gone was released
  // meanwhile: the link of step 4 is as exclusive as a first lock's create.
  if (unlink(lockStakePath) != 0 && errno != ENOENT) {
    RemoveQuietly(dirlockName);
    return SysError(errMsg);
  }
  // 4. A process that created a lock-stake file in the gap wins.
  if (!removeOnly && !MakeLink(dirlockName, lockStakePath)) {
    int linkErr = errno;
    RemoveQuietly(dirlockName);
    if (linkErr == EEXIST) return AlreadyLocked(errMsg);
    return SysError(errMsg);
  }
  // 5. Give the dirlock back; the new lock-stake file (if any) is in place either way.
  if (unlink(dirlockName) != 0) return SysError(errMsg);
  return VAK_OK;
}

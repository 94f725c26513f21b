// engine.cc - the edit lock control engine: one entry point that takes, steals, confirms, inspects
// and releases the Edit Lock of a file. It resolves the file's lock-stake file, reads it, decides
// from the current owner (and, where it matters, the owner's liveness) and creates, replaces or
// removes the lock-stake file. A first lock is an exclusive create; a replacement goes through a
// side file and the dirlock (side_file.h), so a reader sees the old file, no file, or the new one.
#include "engine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "init.h"
#include "posix_io.h"
#include "resolve.h"
#include "side_file.h"
#include "stake_file.h"
#include "status.h"

namespace {

const char kOwnerIndeterminateMsg[] =
    "The status of the Edit Lock owner could not be conclusively determined";
const char kDirlockIndeterminateMsg[] =
    "The status of the dirlock owner could not be conclusively determined";
const char kNotInitialisedMsg[] =
    "The Edit Lock library has not been initialised: the caller's identity is unknown.";

int SysError(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

int Invariant(char **errMsg) {
  return vakAllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return vakAllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

// Hands the message of a failure to the caller's slot, or releases it when there is no slot.
void PassMessage(char **from, char **errMsg) {
  if (*from == nullptr) return;
  if (errMsg != nullptr) {
    *errMsg = *from;
    *from = nullptr;
  } else {
    vakReleaseErrorMsg(from);
  }
}

bool EndsWith(const char *text, const char *tail) {
  size_t length = strlen(text), tailLength = strlen(tail);
  return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

// Devices that every program may write to freely are never locked.
bool IsDevicePath(const char *path) {
  if (strcmp(path, "/dev/null") == 0 || strcmp(path, "/dev/zero") == 0) return true;
  return strncmp(path, "/devices/", 9) == 0 && (EndsWith(path, "null") || EndsWith(path, "zero"));
}

bool NeedsIdentity(unsigned int action) {
  return action == GET_LOCK || action == STEAL_LOCK || action == CONFIRM_LOCK ||
         action == RELEASE_LOCK;
}

// Same host name (exactly) and same process identifier; the creation time is not compared, so a
// process keeps its locks across a re-initialisation.
bool SameProcess(const ProcessIdentity *a, const ProcessIdentity *b) {
  return a != nullptr && b != nullptr && a->hostName != nullptr && b->hostName != nullptr &&
         a->processId == b->processId && strcmp(a->hostName, b->hostName) == 0;
}

const ProcessIdentity *OwnerOf(const LockStake *chain) {
  return chain != nullptr && chain->header != nullptr ? chain->header->processId : nullptr;
}

// Opens and reads a lock-stake text beside the locked file (the lock-stake file or the dirlock);
// -1 with errno set when the open fails (ENOENT also when the file vanished before it could be
// read), else the status of the read. O_NONBLOCK: a FIFO planted under the name must not hang the
// caller; it reads as an empty, hence malformed, file. A failed close wins over the read's result
// and frees what was read. *seen (when given) gets the file's status as read, for a replacement
// or a release to check that it acts on that very file.
int OpenAndRead(const char *name, int flags, LockStake **chain, char **errMsg,
                struct stat *seen = nullptr) {
  int fd = open(name, flags | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  char *readMsg = nullptr;
  int status = vakiReadLockStakeFd(fd, chain, &readMsg, seen);
  if (vakiVanished(status, errno)) {
    vakReleaseErrorMsg(&readMsg);
    close(fd);
    errno = ENOENT;
    return -1;
  }
  if (close(fd) != 0) {
    vakFreeLockStake(*chain);
    *chain = nullptr;
    vakReleaseErrorMsg(&readMsg);
    return SysError(errMsg);
  }
  PassMessage(&readMsg, errMsg);
  return status;
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

// Removes a lock-stake file that this process has just created but could not complete: an
// incomplete file reads as malformed and would block the file for everyone until an administrator
// removed it. Only the file created is removed; if the name now leads to another file, someone
// else has put a lock of its own there meanwhile. While the descriptor is open the file is known
// by its identity; after a failed close, by its content: a prefix of the text this process wrote
// (its host, process and time of locking) is its own.
void RemoveIncomplete(const char *lockStakePath, orv::UniqueFd *fd, const char *text,
                      size_t length) {
  int saved = errno;
  if (fd->valid()) {
    struct stat created, now;
    bool known = fstat(fd->get(), &created) == 0;
    fd->reset();
    if (known && lstat(lockStakePath, &now) == 0 && now.st_dev == created.st_dev &&
        now.st_ino == created.st_ino) {
      unlink(lockStakePath);
    }
  } else {
    orv::UniqueFd left(open(lockStakePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    orv::MallocPtr<char> found(static_cast<char *>(malloc(length + 1)));
    ssize_t n = left.valid() && found != nullptr ? read(left.get(), found.get(), length + 1) : -1;
    if (n >= 0 && static_cast<size_t>(n) <= length && memcmp(found.get(), text, n) == 0) {
      unlink(lockStakePath);
    }
  }
  errno = saved;
}

// Formats the first owner's text into buffer; false if it does not fit or anything else fails.
bool FormatInto(char *buffer, size_t capacity, const char *filePath, const char *reason,
                size_t *length) {
  FILE *out = fmemopen(buffer, capacity, "w");
  if (out == nullptr) return false;
  // A stream buffer of our own, so that none is allocated.
  char streamBuffer[4096];
  setvbuf(out, streamBuffer, _IOFBF, sizeof streamBuffer);
  char *msg = nullptr;
  bool made = vakWriteEditLock(out, nullptr, filePath, reason, &msg) == VAK_OK;
  vakReleaseErrorMsg(&msg);
  long end = made ? ftell(out) : -1;
  // fmemopen ends the text with a NUL if there is room: a text that fills buffer may be cut.
  made = fclose(out) == 0 && end >= 0 && static_cast<size_t>(end) < capacity;
  *length = made ? static_cast<size_t>(end) : 0;
  return made;
}

// First lock: the exclusive create is the whole of the exclusion. The text is formatted before
// the file is created and then written with one call, so that the new file is incomplete only for
// the moment between create and write (a reader in that moment finds it malformed), and a failure
// to format leaves nothing behind.
int CreateStakeFile(const char *lockStakePath, const char *filePath, const char *reason,
                    char **errMsg) {
  // Formatted into a buffer on the stack when it fits, as it does unless the path or the reason
  // is very long; else (and for the messages of any failure) into a buffer that grows.
  char fixed[8192];
  const char *text = fixed;
  size_t length = 0;
  orv::MallocPtr<char> grown;
  if (!FormatInto(fixed, sizeof fixed, filePath, reason, &length)) {
    char *buffer = nullptr;
    FILE *out = open_memstream(&buffer, &length);
    if (out == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
    char *writeMsg = nullptr;
    int status = vakWriteEditLock(out, nullptr, filePath, reason, &writeMsg);
    bool closed = fclose(out) == 0;  // a memory stream fails to close only for lack of memory
    grown.reset(buffer);
    if (status != VAK_OK) {
      PassMessage(&writeMsg, errMsg);
      return status;
    }
    if (!closed) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
    text = grown.get();
  }

  orv::UniqueFd fd;
  for (int attempt = 1;; ++attempt) {
    fd.reset(open(lockStakePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) break;
    int failed = errno;
    int err = vakiExclusiveFailure(failed, lockStakePath);
    if (err == -1 && attempt < kExclusiveAttempts) continue;
    errno = err == -1 ? failed : err;
    return err == EEXIST ? AlreadyLocked(errMsg) : SysError(errMsg);
  }
  // Every failure from here on removes the file created.
  auto fail = [&](int failed) {
    RemoveIncomplete(lockStakePath, &fd, text, length);
    return failed;
  };
  if (fchmod(fd.get(), 0666) != 0) return fail(SysError(errMsg));
  if (!WriteAll(fd.get(), text, length)) {
    // The text reaches the file in one write, where a stream would have written it at its flush:
    // report it as the failed flush it stands for.
    return fail(vakFormatErrorMsg(VAK_NOT_OK, errMsg, "fflush failed. %s", strerror(errno)));
  }
  // A close that fails (a network file system reports a lost write there) leaves a file whose
  // content cannot be trusted.
  if (close(fd.release()) != 0) return fail(SysError(errMsg));
  return VAK_OK;
}

// Turns a failure into the failure to remove the side file, if that removal fails.
int RemoveSideFile(const char *sideFile, int status, char **pendingMsg, char **errMsg) {
  if (unlink(sideFile) != 0) {
    vakReleaseErrorMsg(pendingMsg);
    return SysError(errMsg);
  }
  PassMessage(pendingMsg, errMsg);
  return status;
}

// Asks whether the holder of an existing dirlock lives. VAK_OK means the dirlock was stale and
// has been removed; any other status is the result of the replacement (message in *msg).
int ClearStaleDirlock(const char *dirlock, char **msg) {
  LockStake *holder = nullptr;
  int status = OpenAndRead(dirlock, O_RDWR, &holder, msg);
  if (status == -1) return errno == ENOENT ? VAK_OK : SysError(msg);
  // An empty or malformed dirlock blocks every replacement until someone removes it.
  if (status != VAK_OK) return status;
  int alive = -1;
  status = vakIsProcessAlive(OwnerOf(holder), &alive, msg);
  vakFreeLockStake(holder);
  if (status != VAK_OK) return status;
  switch (alive) {
    case VAK_PROC_ALIVE:
      return AlreadyLocked(msg);
    case VAK_PROC_INDETERMINATE:
      return vakAllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kDirlockIndeterminateMsg, msg);
    case VAK_PROC_NOT_ALIVE:
      // ENOENT: another process has removed the same stale dirlock first; the link of the move
      // decides between us.
      if (unlink(dirlock) != 0 && errno != ENOENT) return SysError(msg);
      return VAK_OK;
    default:
      return Invariant(msg);
  }
}

// Takes the dirlock with a side file naming the caller (followed by formerOwners), then replaces
// the lock-stake file with it, or with removeOnly removes the lock-stake file.
int UnderDirlock(const char *lockStakePath, const char *filePath, const char *reason,
                 LockStake *formerOwners, const struct stat *read, const LockStake *readChain,
                 bool removeOnly, char **errMsg) {
  char *sideFile = nullptr;
  int status = vakGetSideFile(lockStakePath, reason, filePath, formerOwners, &sideFile, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> side(sideFile);

  size_t length = strlen(lockStakePath) + sizeof ".dirlock";
  orv::MallocPtr<char> dirlock(static_cast<char *>(malloc(length)));
  char *msg = nullptr;
  if (dirlock == nullptr) {
    status = vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, &msg);
    return RemoveSideFile(side.get(), status, &msg, errMsg);
  }
  snprintf(dirlock.get(), length, "%s.dirlock", lockStakePath);

  status = ClearStaleDirlock(dirlock.get(), &msg);
  if (status != VAK_OK) return RemoveSideFile(side.get(), status, &msg, errMsg);
  return vakiUnderDirlock(side.get(), dirlock.get(), lockStakePath, read, readChain, removeOnly,
                          errMsg);
}

// Replaces an existing lock-stake file with one naming the caller, followed by formerOwners.
int ReplaceStakeFile(const char *lockStakePath, const char *filePath, const char *reason,
                     LockStake *formerOwners, const struct stat *read, const LockStake *readChain,
                     char **errMsg) {
  return UnderDirlock(lockStakePath, filePath, reason, formerOwners, read, readChain, false,
                      errMsg);
}

// Removes the lock-stake file. A release that decided on the file it read (read: its status;
// readChain: its content) removes only that file: one that a thief or a take-over has put in its
// place meanwhile stays (gone is given by absent; replaced by the caller's status for that case).
// Where a status tells files apart, one lstat checks it; a few instructions remain between that
// check and the removal, since no system call removes a name only if it still leads to a given
// file. Where modification times have whole seconds only (sshfs), a new file under the name can
// show the old one's status, and the round trip between a check and the removal is long: there
// the release takes the dirlock, as replacements do, and reads the owner section again under it.
int RemoveStakeFile(const char *lockStakePath, const char *filePath, char **errMsg,
                    const struct stat *read = nullptr, const LockStake *readChain = nullptr,
                    int replaced = VAK_OK) {
  if (read != nullptr) {
    int status = VAK_OK;
    if (read->st_mtim.tv_nsec == 0 && vakInitInfo != nullptr && vakInitInfo->processId != nullptr) {
      char *msg = nullptr;
      status = UnderDirlock(lockStakePath, filePath, nullptr, nullptr, read, readChain, true, &msg);
      if (status != VAK_FILE_ALREADY_LOCKED) {
        PassMessage(&msg, errMsg);
        return status;
      }
      vakReleaseErrorMsg(&msg);
    } else {
      struct stat now;
      if (lstat(lockStakePath, &now) != 0) return errno == ENOENT ? VAK_OK : SysError(errMsg);
      if (!vakiSameFile(&now, read)) status = VAK_FILE_ALREADY_LOCKED;
    }
    if (status == VAK_FILE_ALREADY_LOCKED) {
      return replaced == VAK_OK ? VAK_OK : vakAllocErrorMsg(replaced, vakNotOwnerMsg, errMsg);
    }
  }
  // Gone already: released or being replaced by another process, which is what a release is for.
  if (unlink(lockStakePath) != 0 && errno != ENOENT) return SysError(errMsg);
  return VAK_OK;
}

// GET_LOCK over another process's lock and RELEASE_DEAD_LOCK both depend on the owner's liveness.
int ActOnLiveness(unsigned int action, const char *lockStakePath, const char *filePath,
                  const char *reason, const LockStake *chain, const struct stat *read,
                  char **errMsg) {
  int alive = -1;
  int status = vakIsProcessAlive(OwnerOf(chain), &alive, errMsg);
  if (status != VAK_OK) return status;
  switch (alive) {
    case VAK_PROC_ALIVE:
      return AlreadyLocked(errMsg);
    case VAK_PROC_INDETERMINATE:
      return vakAllocErrorMsg(VAK_PROCESS_STATUS_INDETERMINATE, kOwnerIndeterminateMsg, errMsg);
    case VAK_PROC_NOT_ALIVE:
      // A take-over starts a fresh history: the dead owner's sections are dropped.
      if (action == RELEASE_DEAD_LOCK) {
        return RemoveStakeFile(lockStakePath, filePath, errMsg, read, chain);
      }
      return ReplaceStakeFile(lockStakePath, filePath, reason, nullptr, read, chain, errMsg);
    default:
      return Invariant(errMsg);
  }
}

int ActOnPresent(const char *lockStakePath, const char *filePath, const char *reason,
                 unsigned int action, const ProcessIdentity *ownerFilter, LockStake *chain,
                 const struct stat *read, LockStake **details, char **errMsg) {
  const ProcessIdentity *owner = OwnerOf(chain);
  const bool mine = NeedsIdentity(action) && SameProcess(owner, vakInitInfo->processId);
  switch (action) {
    case GET_DETAILS:
      *details = chain;
      return VAK_OK;
    case GET_LOCK:
      if (mine) return VAK_OK;
      return ActOnLiveness(action, lockStakePath, filePath, reason, chain, read, errMsg);
    case STEAL_LOCK:
      if (mine) return VAK_OK;
      // Every section read, the current owner first, follows the thief as former owners.
      return ReplaceStakeFile(lockStakePath, filePath, reason, chain, read, chain, errMsg);
    case CONFIRM_LOCK:
      if (mine) return VAK_OK;
      return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
    case RELEASE_LOCK:
      if (mine) {
        return RemoveStakeFile(lockStakePath, filePath, errMsg, read, chain,
                               VAK_NOT_EDIT_LOCK_OWNER);
      }
      return vakAllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
    case FORCE_RELEASE_LOCK:
      if (ownerFilter == nullptr || SameProcess(owner, ownerFilter)) {
        return RemoveStakeFile(lockStakePath, filePath, errMsg);
      }
      return VAK_OK;
    case RELEASE_DEAD_LOCK:
      return ActOnLiveness(action, lockStakePath, filePath, reason, chain, read, errMsg);
    default:
      return Invariant(errMsg);
  }
}

int ActOnAbsent(const char *lockStakePath, const char *filePath, const char *reason,
                unsigned int action, char **errMsg) {
  switch (action) {
    case GET_DETAILS:
    case CONFIRM_LOCK:
      return vakAllocErrorMsg(VAK_FILE_NOT_LOCKED, vakNoEditLockMsg, errMsg);
    case RELEASE_LOCK:
    case FORCE_RELEASE_LOCK:
    case RELEASE_DEAD_LOCK:
      return VAK_OK;
    case GET_LOCK:
    case STEAL_LOCK:
      return CreateStakeFile(lockStakePath, filePath, reason, errMsg);
    default:
      return Invariant(errMsg);
  }
}

}  // namespace

extern "C" int vakEditLockControl(const char *filePath, const char *reason, unsigned int action,
                                  int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                                  char **errMsg) {
  if (filePath == nullptr) return vakAllocErrorMsg(VAK_NOT_OK, "NULL file path supplied", errMsg);
  if (IsDevicePath(filePath)) return VAK_OK;
  if (vakIsLockStakeFileName(filePath)) {
    return vakAllocErrorMsg(VAK_LOCK_STAKE_FILE_NOT_LOCKABLE,
                            "Lock-Stake files cannot be manipulated for Edit", errMsg);
  }
  if (action == GET_DETAILS) {
    if (details == nullptr) {
      return vakAllocErrorMsg(VAK_NOT_OK,
                              "Internal error: Request is: GET_DETAILS. But a NULL "
                              "lockStakeDetails has been passed.",
                              errMsg);
    }
    *details = nullptr;
  }
  // Owner tests compare with the caller's identity, which only initialisation provides.
  if (NeedsIdentity(action) && (vakInitInfo == nullptr || vakInitInfo->processId == nullptr)) {
    return vakAllocErrorMsg(VAK_NOT_OK, kNotInitialisedMsg, errMsg);
  }

  char *resolved = nullptr;
  int status = vakGetLockStakeFile(filePath, noFollow, &resolved, nullptr, nullptr, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> lockStakePath(resolved);

  LockStake *chain = nullptr;
  char *readMsg = nullptr;
  // Only an action that may replace or remove the file by what it read needs to know which file
  // that was.
  struct stat read;
  struct stat *seen = action == GET_LOCK || action == STEAL_LOCK || action == RELEASE_LOCK ||
                              action == RELEASE_DEAD_LOCK
                          ? &read
                          : nullptr;
  status = OpenAndRead(lockStakePath.get(), O_RDONLY, &chain, &readMsg, seen);
  if (status == -1) {
    if (errno == ENOENT) return ActOnAbsent(lockStakePath.get(), filePath, reason, action, errMsg);
    // Unreadable: only the administrative release may act on a file it cannot read.
    if (action == FORCE_RELEASE_LOCK) return RemoveStakeFile(lockStakePath.get(), filePath, errMsg);
    return SysError(errMsg);
  }
  if (status == VAK_MALFORMED_LOCK_STAKE_FILE && action == FORCE_RELEASE_LOCK) {
    vakReleaseErrorMsg(&readMsg);
    return RemoveStakeFile(lockStakePath.get(), filePath, errMsg);
  }
  if (status != VAK_OK) {
    PassMessage(&readMsg, errMsg);
    return status;
  }
  status = ActOnPresent(lockStakePath.get(), filePath, reason, action, ownerFilter, chain, seen,
                        details, errMsg);
  // The chain read is handed out only by GET_DETAILS; everything else frees it here.
  if (action != GET_DETAILS) {
    int saved = errno;
    vakFreeLockStake(chain);
    errno = saved;
  }
  return status;
}

int vakEditLockControlRetry(const char *filePath, const char *reason, unsigned int action,
                            int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                            char **errMsg) {
  for (int call = 1;; ++call) {
    char *msg = nullptr;
    errno = 0;
    int status = vakEditLockControl(filePath, reason, action, noFollow, ownerFilter, details,
                                    errMsg != nullptr ? &msg : nullptr);
    if (status != VAK_SYS_ERROR || errno != EINTR || call >= kEngineMaxCalls) {
      PassMessage(&msg, errMsg);
      return status;
    }
    vakReleaseErrorMsg(&msg);
  }
}

extern "C" int vakGetEditLockDetailsEx(const char *filePath, LockStake **details, int noFollow,
                                       char **errMsg) {
  int status = vakInit(nullptr, vakDefaultLockingMode, errMsg);
  if (status != VAK_OK) return status;
  return vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, noFollow, nullptr, details,
                                 errMsg);
}

extern "C" int vakGetEditLockDetails(const char *filePath, LockStake **details, char **errMsg) {
  return vakGetEditLockDetailsEx(filePath, details, 0, errMsg);
}

// When the second resolution fails (the file changed between the two), the record and the chain
// are freed and the failure is returned; the caller never receives a half-filled record.
extern "C" int vakLockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg) {
  if (info == nullptr) {
    return vakAllocErrorMsg(VAK_NOT_OK, "Internal error: a NULL lockStakeInfo has been passed.",
                            errMsg);
  }
  *info = nullptr;
  LockStake *chain = nullptr;
  int status = vakEditLockControlRetry(filePath, nullptr, GET_DETAILS, 0, nullptr, &chain, errMsg);
  if (status != VAK_OK) return status;
  LockStakeInfo *record = static_cast<LockStakeInfo *>(calloc(1, sizeof *record));
  if (record == nullptr) {
    vakFreeLockStake(chain);
    return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  }
  record->lockStake = chain;
  status = vakGetLockStakeFile(filePath, 0, &record->lockStakeFilePath, nullptr, nullptr, errMsg);
  if (status != VAK_OK) {
    vakFreeLockStakeInfo(record);
    return status;
  }
  *info = record;
  return VAK_OK;
}

// record_lock.cc - whole-file advisory read and write locks on an open file, over the system's
// record locks. They never wait: a conflicting lock is reported at once.
#include "record_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "init.h"
#include "posix_io.h"
#include "status.h"
#include "vak.h"

namespace {

// Fields are set by name: the order of the members of struct flock differs between systems.
struct flock WholeFile(short type) {
  struct flock description = {};
  description.l_type = type;
  description.l_whence = SEEK_SET;
  description.l_start = 0;
  description.l_len = 0;  // to the end of the file, however long it grows
  description.l_pid = 0;
  return description;
}

const struct flock readFlock = WholeFile(F_RDLCK);
const struct flock writeFlock = WholeFile(F_WRLCK);
const struct flock unlockFlock = WholeFile(F_UNLCK);

int ReportLockFailure(char **errMsg) {
  int err = errno;
  if (err == EAGAIN)
    return vak::AllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
  if (err == EACCES) {
    // A distributed file system may refuse the lock for want of a lock right in its access lists.
    char text[2048];
    snprintf(text, sizeof text,
             "%s. File may be locked or if you are running on AFS,\nyou may need to add the 'k' "
             "(lock permission) bit to the ACL\n",
             strerror(err));
    return vak::AllocErrorMsg(VAK_FILE_ALREADY_LOCKED, text, errMsg);
  }
  return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
}

}  // namespace

int vak::LockStream(FILE *stream, int kind, char **errMsg) {
  // A missing stream is a missing descriptor.
  return vakGenericLockFunc(stream != nullptr ? fileno(stream) : -1, kind, errMsg);
}

int vakGenericLockFunc(int fd, int kind, char **errMsg) {
  if (fd < 0) return vak::AllocErrorMsg(VAK_INVALID_FILE_HANDLE, "Invalid file handle", errMsg);
  int status = vak::EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  return vakUnixLockFunc(fd, kind, errMsg);
}

int vakUnixLockFunc(int fd, int kind, char **errMsg) {
  struct flock description;
  switch (kind) {
    case kReadLock:
      description = readFlock;
      break;
    case kWriteLock:
      description = writeFlock;
      break;
    case kUnlock:
      description = unlockFlock;
      break;
    default:
      return vak::AllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
  }
  if (kind != kUnlock && vakEnv != nullptr && vakEnv->recordLockPreTest == 1) {
    struct flock probe = description;
    if (orv::RetryOnEintr([&] { return fcntl(fd, F_GETLK, &probe); }) == -1) {
      return ReportLockFailure(errMsg);
    }
    if (probe.l_type != F_UNLCK) {
      return vak::AllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
    }
  }
  if (orv::RetryOnEintr([&] { return fcntl(fd, F_SETLK, &description); }) == -1) {
    return ReportLockFailure(errMsg);
  }
  return VAK_OK;
}

// resolve.cc - which lock-stake file belongs to a file path.
//
// Symbolic links are followed (unless the caller says not to) so that every name of a file leads
// to one lock-stake file, beside the final target; a relative target is taken relative to the
// link's own directory. Directories and files with several hard links cannot carry a lock: a hard
// link would give one file two lock-stake files.
//
// Outputs of vakGetLockStakeFile: when the given path is a symbolic link that is followed, only
// *wasLink is set, to 1, whatever the resolution of the target returns (so that a caller can tell
// a link to a directory from a directory). Otherwise both are set only on VAK_OK: *exists to 1 or
// 0, *wasLink to 0.
#include "resolve.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "status.h"

int chasingLink = 0;
int linksTraversed = 0;

namespace {

// Link targets, the paths they lead to and the lock-stake path are built in buffers of this size.
constexpr size_t kPathBufferSize = 2048;
// A chain of this many links is followed; one more is refused.
constexpr int kMaxLinks = 20;

// Paths that do not fit the working buffers are refused, never truncated: a truncated path would
// name another file's lock-stake file.
int TooLong(char **errMsg) {
  errno = ENAMETOOLONG;
  return vak::SysError(errMsg);
}

// Every exit of a resolution leaves the resolution state at rest.
struct ResolutionState {
  ResolutionState() {
    chasingLink = 0;
    linksTraversed = 0;
  }
  ~ResolutionState() {
    chasingLink = 0;
    linksTraversed = 0;
  }
};

// Builds into next the path that a link at current pointing to target (of length targetLength)
// leads to. Returns false if it does not fit.
bool LinkDestination(const char *current, const char *target, size_t targetLength, char *next) {
  size_t dirLength = 0;
  if (target[0] != '/') {
    size_t end = strlen(current);
    while (end > 0 && current[end - 1] == '/') --end;
    while (end > 0 && current[end - 1] != '/') --end;
    dirLength = end;
  }
  if (dirLength + targetLength + 1 > kPathBufferSize) return false;
  memcpy(next, current, dirLength);
  memcpy(next + dirLength, target, targetLength + 1);
  return true;
}

}  // namespace

namespace vak {

// The type and link count of a name, as lstat gives them, but without the attribute request that
// a network file system (FUSE with its caches off) adds after the lookup of every name: the lookup
// has just brought both, and no other call on the name follows. 0, or -1 with errno.
int LookUpName(const char *path, mode_t *mode, nlink_t *links) {
  struct statx sx;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_NLINK,
            &sx) == 0) {
    *mode = sx.stx_mode;
    *links = sx.stx_nlink;
    return 0;
  }
  if (errno != ENOSYS) return -1;
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  *mode = st.st_mode;
  *links = st.st_nlink;
  return 0;
}

int IsLockStakeFileName(const char *name) {
  if (name == nullptr) return 0;
  size_t length = strlen(name);
  if (length < kStakeSuffixLength) return 0;
  return memcmp(name + length - kStakeSuffixLength, kStakeSuffix, kStakeSuffixLength) == 0;
}

}  // namespace vak

int vakGetLockStakeFile(const char *filePath, int noFollow, char **lockStakePath, int *exists,
                        int *wasLink, char **errMsg) {
  if (filePath == nullptr) return vak::AllocErrorMsg(VAK_NOT_OK, "NULL file path supplied", errMsg);
  // The system finds no file by the empty name; its lock-stake file would be a bare ".orvlck" in
  // the working directory, so it is refused as the system would refuse opening it.
  if (filePath[0] == '\0') {
    errno = ENOENT;
    return vak::SysError(errMsg);
  }
  ResolutionState state;
  char buffers[2][kPathBufferSize];
  int spare = 0;
  const char *current = filePath;
  bool outermost = true;
  int found = 1;
  for (;;) {
    mode_t mode = 0;
    nlink_t links = 0;
    if (vak::LookUpName(current, &mode, &links) != 0) {
      // A missing file can be locked; a missing link target is a dangling link.
      if (errno != ENOENT || chasingLink) return vak::SysError(errMsg);
      found = 0;
      break;
    }
    if (!S_ISLNK(mode) || noFollow) {
      if (S_ISDIR(mode)) {
        return vak::FormatErrorMsg(
            VAK_DIR_NOT_LOCKABLE, errMsg,
            "Lock on the file path \"%s\" is refused since it is a directory.", current);
      }
      bool hardLinksAllowed = vakEnv != nullptr && vakEnv->lockHardLinks != 0;
      if (links > 1 && !hardLinksAllowed) {
        return vak::FormatErrorMsg(
            VAK_HARD_LINK_NOT_LOCKABLE, errMsg,
            "Lock on the file path \"%s\" is refused since it has Hard Links. "
            "To override this, set the VAK_LOCK_HARD_LINKS environment "
            "variable to YES",
            current);
      }
      break;
    }
    char target[kPathBufferSize];
    ssize_t length = readlink(current, target, sizeof target);
    if (length < 0) return vak::SysError(errMsg);
    if (static_cast<size_t>(length) >= sizeof target) return TooLong(errMsg);
    target[length] = '\0';
    char *next = buffers[spare];
    if (!LinkDestination(current, target, static_cast<size_t>(length), next)) {
      return TooLong(errMsg);
    }
    spare ^= 1;
    chasingLink = 1;
    if (linksTraversed >= kMaxLinks) {
      return vak::AllocErrorMsg(VAK_ELOOP, vakTooManyLinksMsg, errMsg);
    }
    if (outermost && wasLink != nullptr) *wasLink = 1;
    outermost = false;
    ++linksTraversed;
    current = next;
  }

  size_t length = strlen(current);
  const size_t suffixLength = vak::kStakeSuffixLength;
  if (length + suffixLength + 1 > kPathBufferSize) return TooLong(errMsg);
  char *path = static_cast<char *>(malloc(length + suffixLength + 1));
  if (path == nullptr) return vak::OutOfMemory(errMsg);
  memcpy(path, current, length);
  memcpy(path + length, vak::kStakeSuffix, suffixLength + 1);
  if (outermost) {
    if (exists != nullptr) *exists = found;
    if (wasLink != nullptr) *wasLink = 0;
  }
  *lockStakePath = path;
  return VAK_OK;
}

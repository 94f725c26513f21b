// exclusive.cc - exclusive creates and links, as network file systems allow them (see exclusive.h).
#include "replace/exclusive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>

#include "stake/stake_snapshot.h"
#include "vak.h"

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
// How many content-only file systems are remembered.
constexpr size_t kKnownDevices = 8;

// link() by the given call, recognising what a network file system reports wrongly. A failure
// for a link that it did make (the reply was lost, and the retried call found the name taken):
// after any error but EEXIST, a new name that leads to the very file of the source (same device
// and inode; source is how to stat it) is the link this process asked for. A generic failure: see
// JudgeExclusiveFailure.
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
    ExclusiveFailure failure = JudgeExclusiveFailure(err, to);
    if (failure.nameFree && attempt < kExclusiveAttempts) continue;
    return failure.err;
  }
}

}  // namespace

// Some network file systems (sftp, for one) have no word for "exists" and report a generic
// failure instead: a name that exists after such a failure was taken by someone else, and one
// that does not may have been taken and given up again in between.
ExclusiveFailure JudgeExclusiveFailure(int err, const char *name) {
  if (err != EPERM && err != EIO) return {err, false};
  struct stat existing;
  if (lstat(name, &existing) == 0) return {EEXIST, false};
  return {err, errno == ENOENT};
}

namespace {

// The device of fd, plus one (0: unknown), from the kernel alone: statx without sync asks no
// server.
uint64_t DeviceOf(int fd) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, 0, &sx) != 0) return 0;
  return static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)) + 1;
}

}  // namespace

// On a network file system fstatfs is a round trip, twice in each get + release; the device
// number is not. Only the careful answer is remembered, by device: a number that another file
// system takes over later costs a needless check of a link, never a link trusted wrongly. A
// process that has met no such file system asks nothing more than fstatfs.
bool ContentOnly(int fd) {
  static std::atomic<uint64_t> known[kKnownDevices];  // filled from the first slot on
  uint64_t device = 0;
  if (known[0].load(std::memory_order_relaxed) != 0 && (device = DeviceOf(fd)) != 0) {
    for (const auto &slot : known) {
      if (slot.load(std::memory_order_relaxed) == device) return true;
    }
  }
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  if (fs.f_type != kFuseSuperMagic) return false;
  if (device == 0) device = DeviceOf(fd);
  for (auto &slot : known) {
    uint64_t expected = 0;
    if (device == 0 || slot.compare_exchange_strong(expected, device) || expected == device) break;
  }
  return true;
}

bool ProcUsable() {
  static int usable = -1;
  if (usable < 0) usable = access("/proc/self/fd", X_OK) == 0;
  return usable == 1;
}

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

bool HoldsText(const char *name, const char *text, size_t length) {
  StakeSnapshot now;
  return ReadSnapshot(name, &now, nullptr) == VAK_OK && now.SameText(text, length);
}

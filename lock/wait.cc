// wait.cc - the get that waits: tries again whenever the lock-stake file's name changes in its
// directory (inotify), and in any case after a pause that doubles from kFirstPauseMs to
// kLastPauseMs, since a network file system reports no change made by another host.
#include "wait.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/inotify.h>

#include <algorithm>
#include <string>

#include "edit_lock_api.h"
#include "init.h"
#include "posix_io.h"
#include "resolve.h"
#include "status.h"
#include "vak.h"

namespace {

constexpr long kFirstPauseMs = 50;
constexpr long kLastPauseMs = 1000;

// The changes that can free the lock: its lock-stake file removed or renamed away, or replaced
// by a rename (a release that leaves former owners); a creation wakes a waiter that saw none.
constexpr uint32_t kStakeEvents = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE;

// A watch on the directory of a file's lock-stake file. Without one (no inotify, the path does
// not resolve) Pause only sleeps, and the waiter relies on the back-off alone.
class StakeWatch {
 public:
  StakeWatch(const char *filePath, int noFollow) {
    char *stakePath = nullptr;
    char *msg = nullptr;
    int status = vakGetLockStakeFile(filePath, noFollow, &stakePath, nullptr, nullptr, &msg);
    vakReleaseErrorMsg(&msg);
    if (status != VAK_OK) return;
    orv::MallocPtr<char> path(stakePath);
    char *slash = strrchr(path.get(), '/');
    const char *dir = slash == nullptr ? "." : slash == path.get() ? "/" : path.get();
    if (slash != nullptr) *slash = '\0';
    name_ = slash == nullptr ? path.get() : slash + 1;
    fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_.valid() || inotify_add_watch(fd_.get(), dir, kStakeEvents | IN_ONLYDIR) < 0) {
      fd_.reset();
    }
  }

  // Returns after ms, or earlier once the lock-stake name has changed.
  void Pause(long ms) {
    if (!fd_.valid()) {
      orv::SleepMs(ms);
      return;
    }
    const orv::Deadline deadline = orv::Deadline::In(ms);
    int ready;
    while ((ready = orv::PollUntil(fd_.get(), POLLIN, deadline)) == 1) {
      if (DrainSawStake()) return;
    }
    // A failed poll must not turn the waiter into a busy loop: the pause is still taken.
    if (ready < 0) orv::SleepMs(deadline.LeftMs());
  }

 private:
  // Reads every queued event; true when one names the lock-stake file or events were lost.
  bool DrainSawStake() {
    alignas(struct inotify_event) char buf[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
    bool saw = false;
    for (;;) {
      ssize_t n = orv::RetryOnEintr([&] { return read(fd_.get(), buf, sizeof buf); });
      if (n <= 0) return saw || (n < 0 && errno != EAGAIN);
      for (char *p = buf; p < buf + n;) {
        const struct inotify_event *event = reinterpret_cast<struct inotify_event *>(p);
        if ((event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
            (event->len > 0 && name_ == event->name)) {
          saw = true;
        }
        p += sizeof(struct inotify_event) + event->len;
      }
    }
  }

  orv::UniqueFd fd_;
  std::string name_;
};

}  // namespace

namespace vak {

int WaitEditLock(const char *filePath, const char *reason, int noFollow, long timeoutMs,
                 char **errMsg) {
  if (timeoutMs == 0) return GetEditLock(filePath, reason, noFollow, errMsg);
  int status = EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  // Watching before the first try: a release between a try and the pause still wakes it.
  StakeWatch watch(filePath, noFollow);
  const orv::Deadline deadline =
      timeoutMs < 0 ? orv::Deadline::Never() : orv::Deadline::In(timeoutMs);
  long pause = kFirstPauseMs;
  for (;;) {
    char *msg = nullptr;
    status = GetEditLock(filePath, reason, noFollow, &msg);
    if (status != VAK_FILE_ALREADY_LOCKED || deadline.Passed()) {
      vak::PassMessage(&msg, errMsg);
      return status;
    }
    vakReleaseErrorMsg(&msg);
    watch.Pause(deadline.never() ? pause : std::min<long>(pause, deadline.LeftMs()));
    pause = std::min(pause * 2, kLastPauseMs);
  }
}

}  // namespace vak

// boot_offset.cc - sampling the wall clock's offset from boot, and the clock-set watch.
#include "boot_offset.h"

#include <errno.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "posix_io.h"

namespace vakbd {

BootOffset::~BootOffset() {
  if (watchFd_ >= 0) close(watchFd_);
}

bool BootOffset::Start() {
  watchFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  // Armed before the first sample, so that no step can fall between the two unseen.
  bool watching = watchFd_ >= 0 && Arm();
  int64_t ignored;
  Sample(&ignored);
  return watching;
}

bool BootOffset::Arm() {
  // The expiry only has to lie far ahead: the timer is there for its cancellation. Should it
  // expire all the same (a step of a year), the read says so and it is armed again.
  struct itimerspec spec = {};
  if (clock_gettime(CLOCK_REALTIME, &spec.it_value) != 0) return false;
  spec.it_value.tv_sec += 365 * 24 * 3600;
  return timerfd_settime(watchFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) ==
         0;
}

bool BootOffset::Sample(int64_t *lowestNs) {
  // The wall clock first: the time that passes before the second read makes the offset lower,
  // which errs towards calling an owner alive.
  struct timespec wall, sinceBoot;
  if (clock_gettime(CLOCK_REALTIME, &wall) == 0 && clock_gettime(CLOCK_BOOTTIME, &sinceBoot) == 0) {
    int64_t offset = (static_cast<int64_t>(wall.tv_sec) - sinceBoot.tv_sec) * 1000000000 +
                     (wall.tv_nsec - sinceBoot.tv_nsec);
    if (!sampled_ || offset < lowestNs_) lowestNs_ = offset;
    sampled_ = true;
  }
  *lowestNs = lowestNs_;
  return sampled_;
}

void BootOffset::OnClockSet() {
  uint64_t expirations;
  ssize_t n = orv::RetryOnEintr([&] { return read(watchFd_, &expirations, sizeof expirations); });
  if (n < 0 && errno == EAGAIN) return;
  // ECANCELED (the clock was set) or an expiry: either way the timer needs arming again, before
  // the sample, as at the start.
  if (!Arm()) {
    // A watch that cannot be re-armed would report readable forever; the per-request samples
    // remain.
    close(watchFd_);
    watchFd_ = -1;
  }
  int64_t ignored;
  Sample(&ignored);
}

}  // namespace vakbd

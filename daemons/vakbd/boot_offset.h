// boot_offset.h - the lowest offset of the wall clock from the time since boot that has been in
// force while the daemon ran.
//
// A process's start is known in time since boot, which no step of the clock moves; a lock owner's
// creation time is wall-clock time, taken under whatever offset (CLOCK_REALTIME - CLOCK_BOOTTIME)
// was in force when it initialised. A step forward raises the offset, a step back lowers it.
// Measured with the lowest offset ever in force, a process's start is the earliest it can have
// been on any owner's clock, so a live owner is never taken for a later-started process.
//
// The offset is sampled at start, at every request, and whenever the kernel reports that the
// clock was set (a CLOCK_REALTIME timer armed with TFD_TIMER_CANCEL_ON_SET: its descriptor turns
// readable, and the read fails with ECANCELED). Steps made before the daemon started cannot be
// known, as the kernel keeps no history of them: the daemon is meant to start at boot, and is
// started at the latest by the first lock owner's initialisation.
#ifndef VAKBD_BOOT_OFFSET_H_
#define VAKBD_BOOT_OFFSET_H_

#include <stdint.h>

namespace vakbd {

class BootOffset {
 public:
  BootOffset() = default;
  ~BootOffset();
  BootOffset(const BootOffset &) = delete;
  BootOffset &operator=(const BootOffset &) = delete;

  // Opens the clock-set watch and takes the first sample. Without a watch (an old kernel) the
  // samples at each request remain; false then, for the log.
  bool Start();
  // Samples the clocks (no system call: both are read in user space) and returns the lowest
  // offset seen, in nanoseconds; false if the clocks could not be read at all.
  bool Sample(int64_t *lowestNs);
  // Descriptor that turns readable when the clock was set; -1 without a watch.
  int watchFd() const { return watchFd_; }
  // For a readable watch: takes a sample and re-arms the watch.
  void OnClockSet();

 private:
  bool Arm();

  int watchFd_ = -1;
  bool sampled_ = false;
  int64_t lowestNs_ = 0;
};

}  // namespace vakbd

#endif  // VAKBD_BOOT_OFFSET_H_

// proc_alive.h - whether a process named by identifier and creation time is alive on this host.
//
// The rule: the process is alive when its identifier exists here, that is kill(pid, 0) succeeds
// or fails with EPERM (it belongs to another user). It is not alive when kill() reports ESRCH.
// It is also not alive when the identifier now belongs to a process that started more than
// kStartToleranceSeconds after the given creation time: a lock owner records its creation time
// (wall clock) when it initialises, which is at or after its start, so a later-started process
// cannot be that owner; the owner died and the identifier was reused. A process's start is field
// 22 of /proc/<pid>/stat (clock ticks since boot), which no step of the clock moves; it is put on
// the wall clock with the lowest offset from boot seen (boot_offset.h), so that no step of the
// clock, forward or back, makes a live owner look younger than its own creation time. The
// tolerance absorbs the rounding of both times. A creation time of 0 or less means the owner's
// creation time was never recorded, so only the identifier is checked; and when the start time
// cannot be read the process counts as alive, because wrongly declaring an owner dead lets
// another process take its lock. That is also what another user's process gets when /proc hides
// it (hidepid): kill() still finds it, only its start cannot be compared.
#ifndef VAKBD_PROC_ALIVE_H_
#define VAKBD_PROC_ALIVE_H_

#include <stdint.h>
#include <sys/types.h>

namespace vakbd {

enum { kStartToleranceSeconds = 2 };

struct Liveness {
  bool alive = false;
  const char *reason = "";  // for the debug log
  int64_t startTime = -1;   // seconds since the epoch by the lowest offset, -1 when not read
};

// lowestOffsetNs: BootOffset's lowest offset, or nullptr when the clocks could not be read.
Liveness CheckProcess(uint64_t pid, int64_t creationTime, const int64_t *lowestOffsetNs);

// Field 22 (start time in clock ticks since boot) of a /proc/<pid>/stat line. The command name
// in field 2 may hold blanks and parentheses, so fields are counted from its last ')'.
bool ParseStartTicks(const char *statLine, unsigned long long *ticks);

// Start of a process in nanoseconds since boot.
bool ProcessStartSinceBoot(pid_t pid, int64_t *nanos);

}  // namespace vakbd

#endif  // VAKBD_PROC_ALIVE_H_

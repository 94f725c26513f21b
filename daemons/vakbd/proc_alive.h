// proc_alive.h - whether a process named by identifier and creation time is alive on this host.
//
// The rule: the process is alive when its identifier exists here, that is kill(pid, 0) succeeds
// or fails with EPERM (it belongs to another user). It is not alive when kill() reports ESRCH.
// It is also not alive when the identifier now belongs to a process that started more than
// kStartToleranceSeconds after the given creation time: a lock owner records its creation time
// when it initialises, which is at or after its start, so a later-started process cannot be that
// owner; the owner died and the identifier was reused. A process's start time is field 22 of
// /proc/<pid>/stat (clock ticks since boot) plus btime of /proc/stat; the tolerance absorbs the
// tick granularity and the drift of btime when the clock is adjusted. A creation time of 0 or less
// means the owner's creation time was never recorded, so only the identifier is checked; and when
// the start time cannot be read the process counts as alive, because wrongly declaring an owner
// dead lets another process take its lock.
#ifndef VAKBD_PROC_ALIVE_H_
#define VAKBD_PROC_ALIVE_H_

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace vakbd {

enum { kStartToleranceSeconds = 2 };

struct Liveness {
  bool alive = false;
  const char *reason = "";  // for the debug log
  int64_t startTime = -1;   // seconds since the epoch, -1 when not read
};

Liveness CheckProcess(uint64_t pid, int64_t creationTime);

// Field 22 (start time in clock ticks since boot) of a /proc/<pid>/stat line. The command name
// in field 2 may hold blanks and parentheses, so fields are counted from its last ')'.
bool ParseStartTicks(const char *statLine, unsigned long long *ticks);

// The "btime" value (boot time, seconds since the epoch) of a /proc/stat stream. Lines may be
// longer than any buffer (the "intr" line is), so only text at the start of a line is examined.
bool ReadBootTime(FILE *procStat, int64_t *bootTime);

// Boot time in seconds since the epoch, the btime of /proc/stat.
bool BootTime(int64_t *bootTime);

// Start time of a process in seconds since the epoch.
bool ProcessStartTime(pid_t pid, int64_t *startTime);

}  // namespace vakbd

#endif  // VAKBD_PROC_ALIVE_H_

// process_start.h - when a process of this host started, for the evidence of a liveness probe.
#ifndef VAK_PROCESS_START_H_
#define VAK_PROCESS_START_H_

#include <stdint.h>
#include <sys/types.h>

namespace vak {

// The start of process pid in whole seconds since the epoch (rounded down), from its
// /proc/PID/stat start (clock ticks since boot) and the boot time in /proc/stat; false when either
// cannot be read, for instance because the process has gone.
bool ProcessStartTime(pid_t pid, int64_t *epochSeconds);

// The start in clock ticks since boot, field 22 of a /proc/PID/stat line; false if malformed. The
// command name (field 2) may hold blanks and parentheses, so fields are counted from its last ')'.
bool StartTicksOfStatLine(const char *line, unsigned long long *ticks);

}  // namespace vak

#endif  // VAK_PROCESS_START_H_

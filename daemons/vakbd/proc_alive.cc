// proc_alive.cc - the liveness rule and the /proc readers it needs.
#include "proc_alive.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "posix_io.h"

namespace vakbd {

bool ParseStartTicks(const char *statLine, unsigned long long *ticks) {
  const char *p = strrchr(statLine, ')');
  if (p == nullptr) return false;
  ++p;
  // Field 3 (the state) is the first after the name; field 22 is the twentieth.
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    if (*p == '\0') return false;
    while (*p != ' ' && *p != '\0') ++p;
  }
  while (*p == ' ') ++p;
  if (*p < '0' || *p > '9') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(p, &end, 10);
  if (errno == ERANGE || (*end != ' ' && *end != '\n' && *end != '\0')) return false;
  *ticks = value;
  return true;
}

bool ProcessStartSinceBoot(pid_t pid, int64_t *nanos) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  orv::UniqueFd fd(orv::RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return false;
  // One read: the kernel produces the whole line at once, and it is far shorter than this buffer
  // (the command name is at most 64 bytes).
  char line[1024];
  ssize_t n = orv::RetryOnEintr([&] { return read(fd.get(), line, sizeof line - 1); });
  if (n <= 0) return false;
  line[n] = '\0';
  unsigned long long ticks = 0;
  if (!ParseStartTicks(line, &ticks)) return false;
  long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) return false;
  const unsigned long long perSecond = static_cast<unsigned long long>(ticksPerSecond);
  *nanos = static_cast<int64_t>(ticks / perSecond) * 1000000000 +
           static_cast<int64_t>(ticks % perSecond * 1000000000 / perSecond);
  return true;
}

Liveness CheckProcess(uint64_t pid, int64_t creationTime, const int64_t *lowestOffsetNs) {
  Liveness answer;
  if (pid == 0 || pid > static_cast<uint64_t>(INT_MAX)) {
    answer.reason = "identifier outside the range of process identifiers";
    return answer;
  }
  pid_t id = static_cast<pid_t>(pid);
  if (kill(id, 0) != 0 && errno == ESRCH) {
    answer.reason = "no such process";
    return answer;
  }
  answer.alive = true;
  answer.reason = "process exists";
  if (creationTime <= 0) {
    answer.reason = "process exists; no creation time to compare";
    return answer;
  }
  int64_t sinceBoot = 0;
  if (lowestOffsetNs == nullptr || !ProcessStartSinceBoot(id, &sinceBoot)) {
    answer.startTime = -1;
    // The process may have ended between the two looks.
    if (kill(id, 0) != 0 && errno == ESRCH) {
      answer.alive = false;
      answer.reason = "no such process";
    } else {
      answer.reason = "process exists; start time unreadable";
    }
    return answer;
  }
  // Whole seconds rounded down: the process's start as early as it can have been.
  const int64_t start = sinceBoot + *lowestOffsetNs;
  answer.startTime = start / 1000000000 - (start % 1000000000 < 0 ? 1 : 0);
  // Written as a subtraction: creationTime may be as large as INT64_MAX.
  if (answer.startTime - kStartToleranceSeconds > creationTime) {
    answer.alive = false;
    answer.reason = "identifier reused: the process started after the given creation time";
  }
  return answer;
}

}  // namespace vakbd

// proc_alive.cc - the liveness rule and the /proc readers it needs.
#include "proc_alive.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
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

bool ReadBootTime(FILE *procStat, int64_t *bootTime) {
  char line[256];
  bool atLineStart = true;
  while (fgets(line, sizeof line, procStat) != nullptr) {
    bool startsLine = atLineStart;
    atLineStart = strchr(line, '\n') != nullptr;
    if (!startsLine || strncmp(line, "btime ", 6) != 0) continue;
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(line + 6, &end, 10);
    if (errno == ERANGE || end == line + 6 || (*end != '\n' && *end != '\0')) return false;
    *bootTime = value;
    return true;
  }
  return false;
}

// The btime of /proc/stat is the wall-clock time minus the time since boot, in whole seconds.
// Computed from the two clocks it costs no system call (both are read in user space), where
// reading /proc/stat costs five and makes the kernel format every counter of every CPU; and like
// btime it follows every adjustment of the clock. /proc/stat remains the fallback.
bool BootTime(int64_t *bootTime) {
  struct timespec wall, sinceBoot;
  if (clock_gettime(CLOCK_REALTIME, &wall) == 0 && clock_gettime(CLOCK_BOOTTIME, &sinceBoot) == 0) {
    int64_t nanos = (static_cast<int64_t>(wall.tv_sec) - sinceBoot.tv_sec) * 1000000000 +
                    (wall.tv_nsec - sinceBoot.tv_nsec);
    *bootTime = nanos / 1000000000 - (nanos % 1000000000 < 0 ? 1 : 0);
    return true;
  }
  orv::UniqueFile stat(fopen("/proc/stat", "re"));
  return stat != nullptr && ReadBootTime(stat.get(), bootTime);
}

bool ProcessStartTime(pid_t pid, int64_t *startTime) {
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
  int64_t bootTime = 0;
  if (!BootTime(&bootTime)) return false;
  *startTime =
      bootTime + static_cast<int64_t>(ticks / static_cast<unsigned long long>(ticksPerSecond));
  return true;
}

Liveness CheckProcess(uint64_t pid, int64_t creationTime) {
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
  if (!ProcessStartTime(id, &answer.startTime)) {
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
  // Written as a subtraction: creationTime may be as large as INT64_MAX.
  if (answer.startTime - kStartToleranceSeconds > creationTime) {
    answer.alive = false;
    answer.reason = "identifier reused: the process started after the given creation time";
  }
  return answer;
}

}  // namespace vakbd

// process_start.cc - a process's start time from /proc.
#include "process_start.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "posix_io.h"

namespace {

// The whole of a small /proc file, NUL-terminated; false if it cannot be read.
bool ReadProcFile(const char *path, char *buf, size_t size) {
  orv::UniqueFd fd(orv::RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return false;
  size_t used = 0;
  while (used + 1 < size) {
    ssize_t n = orv::RetryOnEintr([&] { return read(fd.get(), buf + used, size - 1 - used); });
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buf[used] = '\0';
  return used > 0;
}

// "btime N" of /proc/stat: the boot, in seconds since the epoch.
bool BootTime(int64_t *seconds) {
  // /proc/stat grows with the cores and interrupts; btime follows the long "intr" line.
  std::vector<char> text(1 << 20);
  if (!ReadProcFile("/proc/stat", text.data(), text.size())) return false;
  const char *line = strstr(text.data(), "\nbtime ");
  if (line == nullptr) return false;
  char *end = nullptr;
  long long value = strtoll(line + 7, &end, 10);
  if (end == line + 7) return false;
  *seconds = value;
  return true;
}

}  // namespace

namespace vak {

bool StartTicksOfStatLine(const char *line, unsigned long long *ticks) {
  const char *p = strrchr(line, ')');
  if (p == nullptr) return false;
  // The blank before field 3 (the state) is the first after the name; field 22 follows the 20th.
  for (int blanks = 0; blanks < 20; ++blanks) {
    p = strchr(p + 1, ' ');
    if (p == nullptr) return false;
  }
  ++p;
  if (*p < '0' || *p > '9') return false;
  char *end = nullptr;
  *ticks = strtoull(p, &end, 10);
  return *end == ' ' || *end == '\n' || *end == '\0';
}

bool ProcessStartTime(pid_t pid, int64_t *epochSeconds) {
  char path[64], line[1024];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  unsigned long long ticks = 0;
  int64_t boot = 0;
  const long perSecond = sysconf(_SC_CLK_TCK);
  if (perSecond <= 0 || !ReadProcFile(path, line, sizeof line) ||
      !StartTicksOfStatLine(line, &ticks) || !BootTime(&boot)) {
    return false;
  }
  *epochSeconds = boot + static_cast<int64_t>(ticks / static_cast<unsigned long long>(perSecond));
  return true;
}

}  // namespace vak

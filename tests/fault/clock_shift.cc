// clock_shift.cc - a preload library that shifts the wall clock of one process, as a step of the
// host's clock would, without touching the host's clock.
//
//   VAK_CLOCK_SHIFT_FILE  a file holding a signed number of seconds (absent or empty: 0). It is
//                         read at every call, so a test steps the clock by rewriting it.
//
// Shifted: clock_gettime of CLOCK_REALTIME and CLOCK_REALTIME_COARSE, gettimeofday and time.
// CLOCK_BOOTTIME and CLOCK_MONOTONIC are left alone, as a real step leaves them.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

using ClockGettime = int (*)(clockid_t, struct timespec *);

ClockGettime RealClockGettime() {
  static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
  return real;
}

// Reads no clock, so that it never lands back in this library.
long Shift() {
  const char *file = getenv("VAK_CLOCK_SHIFT_FILE");
  if (file == nullptr) return 0;
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  return strtol(text, nullptr, 10);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int clock_gettime(clockid_t id, struct timespec *ts) {
  ClockGettime real = RealClockGettime();
  if (real == nullptr) return -1;
  int result = real(id, ts);
  if (result == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += Shift();
  return result;
}

__attribute__((visibility("default"))) int gettimeofday(struct timeval *tv, void *) {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
  // Declared nonnull by the C library: a caller passing no buffer would fault there too.
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}

__attribute__((visibility("default"))) time_t time(time_t *out) {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return static_cast<time_t>(-1);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}

}  // extern "C"

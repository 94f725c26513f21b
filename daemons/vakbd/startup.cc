// startup.cc - descriptor limit and detaching.
#include "startup.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "posix_io.h"
#include "server.h"

namespace vakbd {

namespace {

void CloseRange(unsigned first, unsigned last) {
  if (first > last) return;
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
  // Older kernels: close one by one, up to the descriptor limit (bounded, since a huge limit would
  // make this take seconds and nothing opens descriptors that high before a daemon starts).
  long limit = sysconf(_SC_OPEN_MAX);
  if (limit < 0 || limit > 65536) limit = 65536;
  for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(limit); ++fd) close(fd);
}

// Closes every descriptor from 3 upwards except the ones kept (-1 keeps nothing).
void CloseOtherDescriptors(int keepA, int keepB, int keepC) {
  int keep[3] = {keepA, keepB, keepC};
  std::sort(keep, keep + 3);
  unsigned next = 3;
  for (int fd : keep) {
    if (fd < static_cast<int>(next)) continue;
    CloseRange(next, static_cast<unsigned>(fd) - 1);
    next = static_cast<unsigned>(fd) + 1;
  }
  CloseRange(next, ~0U);
}

[[noreturn]] void AwaitReport(pid_t daemon, int reportFd) {
  unsigned char status = 0;
  bool reported = orv::ReadFull(reportFd, &status, 1, orv::Deadline::In(kStartReportTimeoutMs));
  if (reported && status <= kExitPortFailed) _exit(status);
  if (!reported) {
    // A daemon that cannot say it serves must not linger holding the port.
    kill(daemon, SIGKILL);
    fprintf(stderr, "vakbd: the server did not report that it serves\n");
  }
  _exit(kExitInitFailed);
}

}  // namespace

void EnsureStandardDescriptors() {
  for (;;) {
    // Close-on-exec like every descriptor of the daemon's: it starts no programs.
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

int ConnectionLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
  const rlim_t wanted = kMaxConnections + 64;
  if (limit.rlim_cur < wanted) {
    struct rlimit raised = limit;
    raised.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // Some descriptors stay for the listening socket, the log, /proc reads and the reserve.
  if (limit.rlim_cur < 80) return 16;
  rlim_t fit = limit.rlim_cur - 64;
  return fit < static_cast<rlim_t>(kMaxConnections) ? static_cast<int>(fit) : kMaxConnections;
}

int Detach(int listenFd, int logFd) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child < 0) {
    int saved = errno;
    close(report[0]);
    close(report[1]);
    errno = saved;
    return -1;
  }
  if (child > 0) {
    close(report[1]);
    close(listenFd);
    AwaitReport(child, report[0]);
  }
  close(report[0]);
  // The daemon must not hold the caller's terminal, working directory or pipes: a caller that
  // reads a program's output to its end would otherwise wait for as long as the daemon lives.
  setsid();
  if (chdir("/") != 0) {
    ReportStarted(report[1], kExitInitFailed);
    _exit(kExitInitFailed);
  }
  umask(022);
  // dup2 gives the standard descriptors no close-on-exec flag; the original is closed.
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    ReportStarted(report[1], kExitInitFailed);
    _exit(kExitInitFailed);
  }
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  if (null > 2) close(null);
  CloseOtherDescriptors(listenFd, logFd, report[1]);
  return report[1];
}

void ReportStarted(int reportFd, int status) {
  if (reportFd < 0) return;
  unsigned char byte = static_cast<unsigned char>(status);
  ssize_t ignored = write(reportFd, &byte, 1);  // a starter that gave up no longer listens
  (void)ignored;
  close(reportFd);
}

}  // namespace vakbd

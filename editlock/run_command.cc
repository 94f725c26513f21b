// run_command.cc - the child of hold, and the wait for it that passes signals on.
//
// The passed signals and SIGCHLD stay blocked in editlock while the child runs and are taken
// with sigtimedwait: no handler runs at an arbitrary point, and the lock is released in the
// ordinary flow once the child has ended, whatever signal came.
#include "run_command.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "posix_io.h"

namespace {

const int kPassedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Waits for the child, passing on each signal sent to editlock. A signal from the terminal
// (si_code SI_KERNEL) already reached the child, which shares editlock's process group: passing
// it again would deliver it twice.
int WaitPassingSignals(pid_t child, const sigset_t &waited) {
  for (;;) {
    siginfo_t info;
    // A bounded wait, so that a lost SIGCHLD could delay the end by a second at most.
    const struct timespec tick = {1, 0};
    int sig = sigtimedwait(&waited, &info, &tick);
    if (sig > 0 && sig != SIGCHLD && info.si_code != SI_KERNEL) kill(child, sig);
    int status;
    pid_t done = orv::RetryOnEintr([&] { return waitpid(child, &status, WNOHANG); });
    if (done == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0) {
      Complain("cannot wait for the command: %s", strerror(errno));
      return kExitError;
    }
  }
}

}  // namespace

int RunCommand(char *const argv[]) {
  // An inherited SIG_IGN would let the child be reaped unseen; the inherited disposition is put
  // back once the child has been waited for.
  struct sigaction defaultAction = {}, inherited;
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  const bool restore = sigaction(SIGCHLD, &defaultAction, &inherited) == 0;
  sigset_t waited, previous;
  sigemptyset(&waited);
  for (int sig : kPassedSignals) sigaddset(&waited, sig);
  sigaddset(&waited, SIGCHLD);
  sigprocmask(SIG_BLOCK, &waited, &previous);
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    execvp(argv[0], argv);
    const int code = errno == ENOENT ? kExitNotFound : kExitCannotRun;
    Complain("cannot run %s: %s", argv[0], strerror(errno));
    _exit(code);  // not exit(): the exit handler would release editlock's lock
  }
  int result;
  if (child < 0) {
    Complain("cannot start the command: %s", strerror(errno));
    result = kExitError;
  } else {
    result = WaitPassingSignals(child, waited);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (restore) sigaction(SIGCHLD, &inherited, nullptr);
  return result;
}

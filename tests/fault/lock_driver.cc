// lock_driver.cc - Edit Lock operations through the shared library, as an application makes them.
//   lock_driver OP PATH        one operation (get steal release details ale are): prints "status N"
//                              and "message TEXT"; only OP runs armed for fault injection. A
//                              release first takes the lock, so that it has something of its own to
//                              release. With VAK_DRIVER_KEEP set it ends without releasing
//                              what it holds.
//   lock_driver serve CMD RES  a worker: "OP PATH" lines from CMD (a FIFO), one "N\tTEXT" answer
//                              each on RES; for details TEXT is the current owner, "HOST PID". A
//                              release releases only: it takes no lock first.
// A worker keeps a record of what it was told, for a race test's ground truth, in the file named
// by VAK_GROUND_TRUTH (appended to with one write per line, so that it survives a SIGKILL with
// every line whole). Times are CLOCK_MONOTONIC nanoseconds, the same in every namespace:
//   T I HOST PID               at start: the identity that a lock of this process names
//   T S OP PATH                an operation starts
//   T E OP PATH STATUS TEXT    it ended (TEXT: the message, or the owner for details)
//   T C PATH STATUS            after a get or steal told VAK_OK: vakConfirmEditLock at once
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "vak.h"

namespace {

void Arm(int on) {
  static auto arm = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "vakFaultArm"));
  if (arm != nullptr) arm(on);
}

int gTruth = -1;  // the ground-truth record, when asked for

// One line of the record, stamped with the time: a single write, so a kill never cuts it.
void Record(const char *format, ...) {
  if (gTruth < 0) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[8192];
  int n = snprintf(line, sizeof line, "%lld ",
                   static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  va_list list;
  va_start(list, format);
  n += vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, list);
  va_end(list);
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  if (write(gTruth, line, static_cast<size_t>(n)) != n) gTruth = -1;
}

// Runs one operation; *answer gets the message (blanks for line ends), or the owner for details.
// oneShot: a release first takes the lock, so that it has something of its own to release.
int RunOp(const std::string &op, const char *path, bool armed, bool oneShot, std::string *answer) {
  char *msg = nullptr;
  LockStake *chain = nullptr;
  int status = oneShot && op == "release" ? vakGetEditLock(path, "driver", &msg) : VAK_OK;
  if (armed) Arm(1);
  if (status == VAK_OK) {
    status = op == "get"       ? vakGetEditLock(path, "driver", &msg)
             : op == "steal"   ? vakStealEditLock(path, "driver", &msg)
             : op == "release" ? vakReleaseEditLock(path, &msg)
             : op == "details" ? vakGetEditLockDetails(path, &chain, &msg)
             : op == "ale"     ? vakListEditLocksInDirHier(path, &msg)
             : op == "are"     ? vakReleaseEditLocksInDirHier(path, FORCE_RELEASE_LOCK, &msg)
                               : VAK_NOT_OK;
  }
  if (armed) Arm(0);
  std::string confirm;
  if (status == VAK_OK && (op == "get" || op == "steal") && gTruth >= 0) {
    char *confirmMsg = nullptr;
    // Right after the answer, before anything else can happen here.
    const int confirmed = vakConfirmEditLock(path, &confirmMsg);
    if (confirmMsg != nullptr && confirmMsg != vakGetOutOfMemMsg()) free(confirmMsg);
    confirm = std::to_string(confirmed);
  }
  *answer = msg != nullptr ? msg : "-";
  if (msg != nullptr && msg != vakGetOutOfMemMsg()) free(msg);
  const ProcessIdentity *owner = chain && chain->header ? chain->header->processId : nullptr;
  if (owner != nullptr)
    *answer = std::string(owner->hostName) + " " + std::to_string(owner->processId);
  vakFreeLockStake(chain);
  for (char &c : *answer) c = c == '\n' || c == '\t' ? ' ' : c;
  Record("E %s %s %d %s", op.c_str(), path, status, answer->c_str());
  if (!confirm.empty()) Record("C %s %s", path, confirm.c_str());
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  const bool serve = argc == 4 && strcmp(argv[1], "serve") == 0;
  if (argc != 3 && !serve) {
    fprintf(stderr, "usage: lock_driver OP PATH | lock_driver serve CMD RES\n");
    return 2;
  }
  char *msg = nullptr;
  int status = vakInit("lock_driver", vakDefaultLockingMode, &msg);
  std::string answer = msg != nullptr ? msg : "-";
  if (msg != nullptr && msg != vakGetOutOfMemMsg()) free(msg);
  if (const char *truth = getenv("VAK_GROUND_TRUTH")) {
    gTruth = open(truth, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    const ProcessIdentity *me = vakInitInfo != nullptr ? vakInitInfo->processId : nullptr;
    Record("I %s %ld", me != nullptr ? me->hostName : host,
           me != nullptr ? static_cast<long>(me->processId) : static_cast<long>(getpid()));
  }
  if (serve) {
    FILE *in = fopen(argv[2], "r"), *out = fopen(argv[3], "w");
    char line[4096];
    while (status == VAK_OK && in != nullptr && out != nullptr && fgets(line, sizeof line, in)) {
      line[strcspn(line, "\n")] = '\0';
      const char *space = strchr(line, ' ') ? strchr(line, ' ') : line;
      const std::string op(line, space - line);
      Record("S %s %s", op.c_str(), space + 1);
      int result = RunOp(op, space + 1, false, false, &answer);
      fprintf(out, "%d\t%s\n", result, answer.c_str());
      fflush(out);
    }
    return 0;
  }
  if (status == VAK_OK) status = RunOp(argv[1], argv[2], true, true, &answer);
  fflush(stdout);  // a sweep's report comes first
  printf("status %d\nmessage %s\n", status, answer.c_str());
  if (getenv("VAK_DRIVER_KEEP") != nullptr) {
    // Ends as a killed process would: the lock taken stays, for the caller to examine.
    fflush(stdout);
    _exit(0);
  }
  return 0;
}

// lock_driver.cc - Edit Lock operations through the shared library, as an application makes them.
//   lock_driver OP PATH        one operation (get steal release details ale are): prints "status N"
//                              and "message TEXT"; only OP runs armed for fault injection. A
//                              release first takes the lock, so that it has something of its own to
//                              release.
//                              With VAK_DRIVER_KEEP set it ends without releasing what it holds.
//   lock_driver serve CMD RES  a worker: "OP PATH" lines from CMD (a FIFO), one "N\tTEXT" answer
//                              each on RES; for details TEXT is the current owner, "HOST PID".
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vak.h"

namespace {

void Arm(int on) {
  static auto arm = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "vakFaultArm"));
  if (arm != nullptr) arm(on);
}

// Runs one operation; *answer gets the message (blanks for line ends), or the owner for details.
int RunOp(const std::string &op, const char *path, bool armed, std::string *answer) {
  char *msg = nullptr;
  LockStake *chain = nullptr;
  int status = op == "release" ? vakGetEditLock(path, "driver", &msg) : VAK_OK;
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
  *answer = msg != nullptr ? msg : "-";
  if (msg != nullptr && msg != vakGetOutOfMemMsg()) free(msg);
  const ProcessIdentity *owner = chain && chain->header ? chain->header->processId : nullptr;
  if (owner != nullptr)
    *answer = std::string(owner->hostName) + " " + std::to_string(owner->processId);
  vakFreeLockStake(chain);
  for (char &c : *answer) c = c == '\n' || c == '\t' ? ' ' : c;
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
  if (serve) {
    FILE *in = fopen(argv[2], "r"), *out = fopen(argv[3], "w");
    char line[4096];
    while (status == VAK_OK && in != nullptr && out != nullptr && fgets(line, sizeof line, in)) {
      line[strcspn(line, "\n")] = '\0';
      const char *space = strchr(line, ' ') ? strchr(line, ' ') : line;
      int result = RunOp(std::string(line, space - line), space + 1, false, &answer);
      fprintf(out, "%d\t%s\n", result, answer.c_str());
      fflush(out);
    }
    return 0;
  }
  if (status == VAK_OK) status = RunOp(argv[1], argv[2], true, &answer);
  fflush(stdout);  // a sweep's report comes first
  printf("status %d\nmessage %s\n", status, answer.c_str());
  if (getenv("VAK_DRIVER_KEEP") != nullptr) {
    // Ends as a killed process would: the lock taken stays, for the caller to examine.
    fflush(stdout);
    _exit(0);
  }
  return 0;
}

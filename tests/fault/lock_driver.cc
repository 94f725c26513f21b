// lock_driver.cc - runs Edit Lock operations through the shared library, as an application would,
// for the reliability tests.
//
//   lock_driver OP PATH         one operation; OP is get, steal, release, details, ale or are
//   lock_driver serve CMD RES   a long-lived worker: reads "OP PATH" lines from the file CMD (a
//                               FIFO) and answers each with one line on the file RES
//
// A one-shot run prints "status N" and "message TEXT" (TEXT is "-" when there is none). A release
// first takes the lock itself, so that there is something of its own to release. The operation
// alone is run with fault injection armed (vakFaultArm of the preload library, when present), so
// that initialisation and reporting are never faulted. The sweeps print their report first.
//
// A worker answers "N\tTEXT" for get, steal and release, and "N\tHOST PID" for details (the
// current owner); TEXT and HOST are "-" when absent.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vak.h"

namespace {

using ArmFn = void (*)(int);

void Arm(int on) {
  static ArmFn arm = reinterpret_cast<ArmFn>(dlsym(RTLD_DEFAULT, "vakFaultArm"));
  if (arm != nullptr) arm(on);
}

std::string TakeMessage(char *msg) {
  std::string text = msg != nullptr ? msg : "-";
  if (msg != nullptr && msg != vakGetOutOfMemMsg()) free(msg);
  for (char &c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

// Runs one operation; *answer gets the message, or the owner for details.
int RunOp(const std::string &op, const char *path, bool armed, std::string *answer) {
  char *msg = nullptr;
  int status = VAK_NOT_OK;
  if (op == "release") {
    status = vakGetEditLock(path, "driver", &msg);
    if (status != VAK_OK) {
      *answer = TakeMessage(msg);
      return status;
    }
  }
  LockStake *chain = nullptr;
  if (armed) Arm(1);
  if (op == "get") {
    status = vakGetEditLock(path, "driver", &msg);
  } else if (op == "steal") {
    status = vakStealEditLock(path, "driver", &msg);
  } else if (op == "release") {
    status = vakReleaseEditLock(path, &msg);
  } else if (op == "details") {
    status = vakGetEditLockDetails(path, &chain, &msg);
  } else if (op == "ale") {
    status = vakListEditLocksInDirHier(path, &msg);
  } else if (op == "are") {
    status = vakReleaseEditLocksInDirHier(path, FORCE_RELEASE_LOCK, &msg);
  } else {
    msg = strdup("unknown operation");
  }
  if (armed) Arm(0);
  if (op == "details" && status == VAK_OK) {
    const ProcessIdentity *owner =
        chain != nullptr && chain->header != nullptr ? chain->header->processId : nullptr;
    *answer = owner != nullptr && owner->hostName != nullptr
                  ? std::string(owner->hostName) + " " + std::to_string(owner->processId)
                  : "- 0";
    vakFreeLockStake(chain);
    TakeMessage(msg);
  } else {
    *answer = TakeMessage(msg);
  }
  return status;
}

int Serve(const char *commands, const char *results) {
  FILE *in = fopen(commands, "r");
  int outFd = open(results, O_WRONLY | O_CLOEXEC);
  if (in == nullptr || outFd < 0) return 2;
  char line[4096];
  while (fgets(line, sizeof line, in) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    const char *space = strchr(line, ' ');
    if (space == nullptr) continue;
    std::string op(line, static_cast<size_t>(space - line));
    std::string answer;
    int status = RunOp(op, space + 1, false, &answer);
    std::string reply = std::to_string(status) + "\t" + answer + "\n";
    if (write(outFd, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "serve") == 0) {
    char *msg = nullptr;
    if (vakInit("lock_driver", vakDefaultLockingMode, &msg) != VAK_OK) return 2;
    return Serve(argv[2], argv[3]);
  }
  if (argc != 3) {
    fprintf(stderr, "usage: lock_driver OP PATH | lock_driver serve CMD RES\n");
    return 2;
  }
  char *msg = nullptr;
  int status = vakInit("lock_driver", vakDefaultLockingMode, &msg);
  std::string answer;
  if (status == VAK_OK) {
    status = RunOp(argv[1], argv[2], true, &answer);
  } else {
    answer = TakeMessage(msg);
  }
  fflush(stdout);
  printf("status %d\nmessage %s\n", status, answer.c_str());
  return 0;
}

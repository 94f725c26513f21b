// hold.cc - `editlock hold`: takes a file's Edit Lock (waiting if asked), runs a command while it
// is held, and releases it when the command ends.
//
// If editlock itself is killed outright, the lock stays with editlock's process as owner; that
// owner is dead, so the next taker takes the lock over.
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli.h"
#include "owner_text.h"
#include "run_command.h"
#include "vak.h"

namespace {

// --wait SECONDS in milliseconds: a non-negative decimal number, or "forever" (-1).
bool ParseWait(const char *text, long *ms) {
  if (strcmp(text, "forever") == 0) {
    *ms = -1;
    return true;
  }
  char *end = nullptr;
  double seconds = strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0) || !isfinite(seconds)) return false;
  double rounded = ceil(seconds * 1000);
  *ms = rounded >= static_cast<double>(LONG_MAX) ? LONG_MAX : static_cast<long>(rounded);
  return true;
}

// The conflict on one line of standard error: who holds the lock, or the library's message when
// the holder cannot be read (the lock may have gone meanwhile).
void ReportHolder(const char *file, const char *getMsg) {
  LockStake *chain = nullptr;
  char *msg = nullptr;
  std::string line;
  if (vakGetEditLockDetails(file, &chain, &msg) == VAK_OK && chain != nullptr) {
    line = "is locked by ";
    AppendOwner(&line, chain);
  } else {
    line = MessageText(getMsg);
  }
  vakFreeLockStake(chain);
  FreeMessage(msg);
  Complain("%s %s", file, line.c_str());
}

}  // namespace

int HoldMain(int argc, char **argv) {
  static const struct option kOptions[] = {{"reason", required_argument, nullptr, 'r'},
                                           {"wait", required_argument, nullptr, 'w'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {}};
  const char *reason = nullptr;
  long waitMs = 0;
  int c;
  // '+': COMMAND's own options are not editlock's.
  while ((c = getopt_long(argc, argv, "+:r:w:h", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    if (c == 'r') {
      reason = optarg;
    } else if (c == 'w') {
      if (!ParseWait(optarg, &waitMs)) return UsageError("invalid --wait '%s'", optarg);
    } else {
      return BadOption(c, argv);
    }
  }
  if (optind >= argc) return UsageError("hold: missing FILE");
  const char *file = argv[optind++];
  if (optind < argc && strcmp(argv[optind], "--") == 0) ++optind;
  if (optind >= argc) return UsageError("hold: missing COMMAND");
  if (!StartLibrary()) return kExitError;

  char *msg = nullptr;
  int status = vakWaitEditLock(file, reason, 0, waitMs, &msg);
  if (status == VAK_FILE_ALREADY_LOCKED) {
    ReportHolder(file, msg);
    FreeMessage(msg);
    return waitMs != 0 ? kExitTimeOut : kExitConflict;
  }
  if (status != VAK_OK) {
    Complain("cannot lock %s: %s", file, MessageText(msg));
    FreeMessage(msg);
    return kExitError;
  }
  int result = RunCommand(argv + optind);
  if (vakReleaseEditLock(file, &msg) != VAK_OK) {
    // The command's own failure says more; a success must not hide the lock left behind.
    Complain("cannot release the lock of %s: %s", file, MessageText(msg));
    FreeMessage(msg);
    if (result == kExitOk) result = kExitError;
  }
  return result;
}

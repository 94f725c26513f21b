// reap.cc - `editlock reap`: releases the Edit Locks below some directories whose owners are
// decidedly dead, through the library's own release of a dead owner's lock (RELEASE_DEAD_LOCK).
//
// The owners are asked together first (liveness_checks), and only a dead owner's lock is handed to
// the release, which reads the lock again and asks once more: a lock taken meanwhile by a live
// process, or whose owner is now undecided, stays. A live or undecided owner's lock is never
// touched.
#include <getopt.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cli.h"
#include "liveness_checks.h"
#include "owner_text.h"
#include "text_escape.h"
#include "vak.h"
#include "walk_options.h"

namespace {

struct Candidate {
  std::string path;  // the locked file, as the walk gave it
  std::string line;  // the path and the owner, for display
  OwnerKey key;
};

struct Reaping {
  std::vector<Candidate> candidates;
  LivenessChecks checks;
};

int Collect(const char *lockedPath, int, const LockStake *owners, const char *, void *context) {
  if (owners == nullptr) return 0;  // unreadable or malformed: not a dead owner's lock
  Reaping *reaping = static_cast<Reaping *>(context);
  Candidate candidate{lockedPath, "", KeyOf(owners)};
  AppendDisplay(&candidate.line, lockedPath);
  candidate.line += ": ";
  AppendOwner(&candidate.line, owners);
  reaping->checks.Add(candidate.key);
  reaping->candidates.push_back(std::move(candidate));
  return 0;
}

}  // namespace

int ReapMain(int argc, char **argv) {
  static const struct option kOptions[] = {
      {"dry-run", no_argument, nullptr, 'n'},
      {"help", no_argument, nullptr, 'h'},
      {"one-file-system", no_argument, nullptr, kOneFileSystemOption},
      {"jobs", required_argument, nullptr, kJobsOption},
      {}};
  bool dryRun = false;
  WalkOptions walk;
  int usage = kExitOk;
  int c;
  while ((c = getopt_long(argc, argv, ":nh", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    if (walk.Take(c, optarg, &usage)) {
      if (usage != kExitOk) return usage;
      continue;
    }
    if (c != 'n') return BadOption(c, argv);
    dryRun = true;
  }
  if (optind >= argc) return UsageError("reap: missing DIR");
  if (!StartLibrary()) return kExitError;

  Reaping reaping;
  int result = walk.WalkEach(argv + optind, argc - optind, "walk", Collect, &reaping);
  reaping.checks.Run(kCheckThreads);
  for (const Candidate &candidate : reaping.candidates) {
    if (reaping.checks.Of(candidate.key) != Verdict::kDead) continue;
    if (dryRun) {
      printf("would reap %s\n", candidate.line.c_str());
      continue;
    }
    char *msg = nullptr;
    const int status = vakEditLockControl(candidate.path.c_str(), nullptr, RELEASE_DEAD_LOCK, 0,
                                          nullptr, nullptr, &msg);
    if (status == VAK_OK) {
      printf("reaped %s\n", candidate.line.c_str());
    } else if (status != VAK_FILE_ALREADY_LOCKED && status != VAK_PROCESS_STATUS_INDETERMINATE) {
      Complain("cannot reap the lock of %s: %s", candidate.path.c_str(), MessageText(msg));
      result = kExitError;
    }
    FreeMessage(msg);
  }
  if (fflush(stdout) != 0) {
    Complain("cannot write the report");
    result = kExitError;
  }
  return result;
}

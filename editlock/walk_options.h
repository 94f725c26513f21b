// walk_options.h - what list and reap share about the walk itself: --one-file-system, --jobs N,
// and the progress line on a terminal's standard error.
#ifndef EDITLOCK_WALK_OPTIONS_H_
#define EDITLOCK_WALK_OPTIONS_H_

#include <stdint.h>

#include "vak.h"

// getopt_long values of --one-file-system and --jobs, outside every subcommand's own.
enum { kOneFileSystemOption = 300, kJobsOption };

// The walk's options, and the progress line while the walks run (several DIRs: one line).
class WalkOptions {
 public:
  // Takes a getopt_long result: true when it was a walk option; a bad --jobs sets *usage to the
  // usage error's status.
  bool Take(int option, const char *argument, int *usage);
  // Walks each of dirs[0..count) with visitor, in turn, until *stop (when given) holds; a walk
  // that fails is reported with verb ("cannot VERB DIR: why"). Returns kExitOk, or kExitError
  // when a walk failed. The progress line is gone when it returns.
  int WalkEach(char *const *dirs, int count, const char *verb, VakEditLockVisitor visitor,
               void *context, const bool *stop = nullptr);
  // Clears the progress line, before other output.
  void Finish();

 private:
  // The options for the next walk: the progress goes to standard error when it is a terminal.
  const VakVisitOptions *ForWalk();
  // After each walk, to count it into the line.
  void WalkEnded();
  static void Progress(const VakSweepProgress *progress, void *context);
  void Show(const VakSweepProgress &now);

  VakVisitOptions options_ = {};
  VakSweepProgress done_ = {};  // the walks that ended
  VakSweepProgress last_ = {};  // of the current walk
  int64_t startMs_ = 0, shownMs_ = 0;
  size_t shownLength_ = 0;
};

#endif  // EDITLOCK_WALK_OPTIONS_H_

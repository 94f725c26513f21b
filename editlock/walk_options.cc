// walk_options.cc - the walk's options of list and reap, and their progress line.
#include "walk_options.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "cli.h"
#include "posix_io.h"

namespace {

// The line is rewritten at most this often: more would only flicker and cost writes.
constexpr int64_t kProgressPeriodMs = 200;

}  // namespace

bool WalkOptions::Take(int option, const char *argument, int *usage) {
  if (option == kOneFileSystemOption) {
    options_.oneFileSystem = 1;
    return true;
  }
  if (option != kJobsOption) return false;
  char *end = nullptr;
  const long jobs = strtol(argument, &end, 10);
  if (end == argument || *end != '\0' || jobs < 1 || jobs > 1000) {
    *usage = UsageError("invalid --jobs '%s'", argument);
  } else {
    options_.workers = static_cast<int>(jobs);
  }
  return true;
}

const VakVisitOptions *WalkOptions::ForWalk() {
  if (isatty(STDERR_FILENO)) {
    options_.progress = Progress;
    options_.progressContext = this;
    if (startMs_ == 0) startMs_ = orv::MonotonicMs();
  }
  last_ = {};
  return &options_;
}

void WalkOptions::WalkEnded() {
  done_.directories += last_.directories;
  done_.entries += last_.entries;
  done_.locks += last_.locks;
  last_ = {};
}

int WalkOptions::WalkEach(char *const *dirs, int count, const char *verb,
                          VakEditLockVisitor visitor, void *context, const bool *stop) {
  int result = kExitOk;
  for (int i = 0; i < count && (stop == nullptr || !*stop); ++i) {
    char *msg = nullptr;
    if (vakVisitEditLocksInDirHierWith(dirs[i], ForWalk(), visitor, context, &msg) != VAK_OK) {
      Finish();
      Complain("cannot %s %s: %s", verb, dirs[i], MessageText(msg));
      result = kExitError;
    }
    WalkEnded();
    FreeMessage(msg);
  }
  Finish();
  return result;
}

void WalkOptions::Finish() {
  if (shownLength_ == 0) return;
  fprintf(stderr, "\r%*s\r", static_cast<int>(shownLength_), "");
  fflush(stderr);
  shownLength_ = 0;
}

void WalkOptions::Progress(const VakSweepProgress *progress, void *context) {
  WalkOptions *self = static_cast<WalkOptions *>(context);
  self->last_ = *progress;
  self->Show(*progress);
}

void WalkOptions::Show(const VakSweepProgress &now) {
  const int64_t ms = orv::MonotonicMs();
  if (ms - shownMs_ < kProgressPeriodMs) return;
  shownMs_ = ms;
  const unsigned long directories = done_.directories + now.directories;
  const unsigned long entries = done_.entries + now.entries;
  const unsigned long locks = done_.locks + now.locks;
  const int64_t elapsed = ms - startMs_ > 0 ? ms - startMs_ : 1;
  const unsigned long rate = static_cast<unsigned long>(entries * 1000.0 / elapsed);
  char line[160];
  int length = snprintf(line, sizeof line, "%lu directories, %lu entries/s, %lu locks",
                        directories, rate, locks);
  if (length < 0) return;
  // Pad over a longer line shown before, so that no tail of it stays.
  fprintf(stderr, "\r%s%*s", line,
          shownLength_ > static_cast<size_t>(length)
              ? static_cast<int>(shownLength_ - static_cast<size_t>(length))
              : 0,
          "");
  fflush(stderr);
  if (static_cast<size_t>(length) > shownLength_) shownLength_ = static_cast<size_t>(length);
}

// sweep.cc - the depth-first walk of a directory hierarchy for lock-stake files (the reports that
// frame it are in sweep_reports.cc).
//
// The walk examines every entry, hidden names included. Only these kinds of entry can change the
// report or the file system:
//   - a stake entry (its name ends in ".orvlck"): the file it locks is resolved once, and the
//     engine reads and reports the lock on the lock-stake path found, then releases it there
//     when the action says so; a stake entry that lies beside a symbolic link (its lock-stake
//     file belongs beside the link's target) is deleted without a word;
//   - a side file or a dirlock that a dead process left beside a lock-stake file: cleared
//     (replace/leftovers.h), never reported;
//   - a directory: it is swept when its entry is met, before the next entry of its parent.
// Any other entry (an ordinary file, a link, a device) can produce neither output nor a change,
// so it is decided by its name and d_type alone, without a system call: on trees of millions of
// files this is what keeps the walk as cheap as a bare readdir loop. Symbolic links to
// directories are never descended into.
//
// Subdirectories are opened relative to their parent's descriptor (openat), so the cost per entry
// does not grow with the depth; printed paths are the full paths, built in one buffer.
//
// One loop (WalkEntries) walks a directory whatever its entries come from: a readdir stream of its
// own (the plain walk), or the read-ahead of worker threads (sweep_ahead.h), which hand the same
// entries in the same order with the reading done in advance. Everything that prints, visits or
// changes the file system stays here, on the calling thread, in walk order.
#include "sweep.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "posix_io.h"
#include "replace/leftovers.h"
#include "resolve.h"
#include "status.h"
#include "sweep_ahead.h"
#include "sweep_stake.h"
#include "vak.h"

namespace {

using vak::IsValidAction;
using vak::kPathBufSize;
using vak::StakeAhead;
using vak::Walk;

int SweepOpenDirectory(Walk *walk, orv::UniqueFd dirFd, size_t dirLength, char **errMsg);

// The failure of opening a directory to sweep, from errno: VAK_NOT_DIR when it is not one.
int OpenDirectoryFailure(char **errMsg) {
  return errno == ENOTDIR ? vak::StrErrorMsg(VAK_NOT_DIR, errMsg) : vak::SysError(errMsg);
}

// Whether a non-stake entry would reach the release step of the walk: a directory, or a link
// that resolves to one. Only needed to report a bad action exactly where the walk meets it.
bool EntryReachesAction(int dirFd, const struct dirent *entry) {
  if (vak::IsRealDirectory(dirFd, entry)) return true;
  if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Says why the subdirectory walk->path (length `length`) could not be swept, unless it was not a
// directory after all.
void SubdirectoryFailed(Walk *walk, size_t length, int status, char **msg) {
  if (status != VAK_OK && status != VAK_NOT_DIR) {
    walk->path[length] = '\0';
    fflush(stdout);  // keep the report and the error in the order a terminal reader expects
    fprintf(stderr, "System error: %s %s\n", walk->path, *msg != nullptr ? *msg : "");
  }
  vakReleaseErrorMsg(msg);
}

// Sweeps the subdirectory named walk->path (length `length`), opened relative to its parent.
void SweepSubdirectory(Walk *walk, int parentFd, const char *name, size_t length) {
  char *msg = nullptr;
  orv::UniqueFd fd(orv::RetryOnEintr(
      [&] { return openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  int status;
  if (!fd.valid()) {
    status = OpenDirectoryFailure(&msg);
  } else if (walk->options.oneFileSystem && vak::OnOtherFileSystem(fd.get(), walk->rootDevice)) {
    status = VAK_OK;
  } else {
    status = SweepOpenDirectory(walk, std::move(fd), length, &msg);
  }
  SubdirectoryFailed(walk, length, status, &msg);
}

// The entries of a directory from its own readdir stream.
class PlainEntries {
 public:
  explicit PlainEntries(DIR *dir) : dir_(dir) {}
  bool Next() {
    errno = 0;
    entry_ = readdir(dir_);
    return entry_ != nullptr;
  }
  const char *Name() const { return entry_->d_name; }
  bool IsDirectory() const { return vak::IsRealDirectory(dirfd(dir_), entry_); }
  bool ReachesAction() const { return EntryReachesAction(dirfd(dir_), entry_); }
  StakeAhead *Stake() const { return nullptr; }
  void Descend(Walk *walk, size_t length) const {
    SweepSubdirectory(walk, dirfd(dir_), entry_->d_name, length);
  }

 private:
  DIR *dir_;
  const struct dirent *entry_ = nullptr;
};

int WalkAhead(Walk *walk, vak::ReadAhead *ahead, vak::AheadDir *dir, size_t dirLength,
              char **errMsg);

// The entries of a directory as the read-ahead hands them. Only valid actions reach it.
class AheadEntries {
 public:
  AheadEntries(vak::ReadAhead *ahead, vak::AheadDir *dir) : ahead_(ahead), dir_(dir) {}
  bool Next() {
    entry_ = ahead_->Next(dir_);
    return entry_ != nullptr;
  }
  const char *Name() const { return entry_->name.c_str(); }
  bool IsDirectory() const { return entry_->directory; }
  bool ReachesAction() const { return entry_->directory; }
  StakeAhead *Stake() const { return ahead_->Stake(entry_); }
  void Descend(Walk *walk, size_t length) const {
    char *msg = nullptr;
    vak::AheadDir *child = entry_->child.get();
    const vak::Opened how = ahead_->WaitOpened(child);
    int status = VAK_OK;
    errno = how.error;
    if (how.error != 0) {
      status = how.atOpen ? OpenDirectoryFailure(&msg) : vak::SysError(&msg);
    } else if (!how.foreign) {
      status = WalkAhead(walk, ahead_, child, length, &msg);
    }
    SubdirectoryFailed(walk, length, status, &msg);
  }

 private:
  vak::ReadAhead *ahead_;
  vak::AheadDir *dir_;
  vak::AheadEntry *entry_ = nullptr;
};

// Walks the entries of the directory walk->path[0 .. dirLength), whatever their source.
template <typename Entries>
int WalkEntries(Walk *walk, Entries &entries, size_t dirLength, char **errMsg) {
  if (dirLength + 1 >= kPathBufSize) {
    walk->path[dirLength] = '\0';
    fprintf(stderr, "Path too long, not swept: %s/\n", walk->path);
    return VAK_OK;
  }
  walk->path[dirLength] = '/';
  const size_t base = dirLength + 1;

  while (entries.Next()) {
    const char *name = entries.Name();
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    ++walk->progress.entries;
    const size_t nameLength = strlen(name);
    const bool stake = vak::IsLockStakeFileName(name);

    size_t stakeLength = 0;
    const Leftover leftover = stake ? Leftover::kNone : ClassifyLeftover(name, &stakeLength);
    if (leftover != Leftover::kNone && base + nameLength < kPathBufSize) {
      // A side file or a dirlock: cleared when its process is dead, and never reported.
      memcpy(walk->path + base, name, nameLength + 1);
      ClearLeftover(walk->path, leftover, base + stakeLength);
      continue;
    }
    if (!stake) {
      // Only directories matter among other entries (see the comment at the top).
      bool descend = entries.IsDirectory();
      if (!IsValidAction(walk->action) && (descend || entries.ReachesAction())) {
        return vak::Invariant(errMsg);
      }
      if (!descend) continue;
    }
    if (base + nameLength >= kPathBufSize) {
      walk->path[base] = '\0';
      fflush(stdout);
      fprintf(stderr, "Path too long, skipped: %s%s\n", walk->path, name);
      continue;
    }
    memcpy(walk->path + base, name, nameLength + 1);

    if (stake) {
      if (vak::SweepStakeEntry(walk, base + nameLength, entries.Stake()) != VAK_OK) {
        return vak::Invariant(errMsg);
      }
    } else {
      entries.Descend(walk, base + nameLength);
    }
    if (walk->stopped) return VAK_OK;
  }
  ++walk->progress.directories;
  if (walk->options.progress != nullptr) {
    walk->options.progress(&walk->progress, walk->options.progressContext);
  }
  return VAK_OK;
}

int WalkAhead(Walk *walk, vak::ReadAhead *ahead, vak::AheadDir *dir, size_t dirLength,
              char **errMsg) {
  AheadEntries entries(ahead, dir);
  return WalkEntries(walk, entries, dirLength, errMsg);
}

// Walks the open directory dirFd, whose path is walk->path[0 .. dirLength).
int SweepOpenDirectory(Walk *walk, orv::UniqueFd dirFd, size_t dirLength, char **errMsg) {
  orv::UniqueDir dir(fdopendir(dirFd.get()));
  if (dir == nullptr) return vak::SysError(errMsg);
  dirFd.release();  // the stream owns it now
  PlainEntries entries(dir.get());
  return WalkEntries(walk, entries, dirLength, errMsg);
}

// The walk of dirPath with walk's action, filter, visitor and options.
int Sweep(const char *dirPath, Walk &walk, char **errMsg) {
  if (dirPath == nullptr)
    return vak::AllocErrorMsg(VAK_NOT_OK, "NULL directory path supplied", errMsg);
  orv::UniqueFd fd(
      orv::RetryOnEintr([&] { return open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd.valid()) return OpenDirectoryFailure(errMsg);
  size_t length = strlen(dirPath);
  if (length >= kPathBufSize) {
    fflush(stdout);
    fprintf(stderr, "Path too long, not swept: %s\n", dirPath);
    return VAK_OK;
  }
  memcpy(walk.path, dirPath, length + 1);
  struct stat st;
  if (walk.options.oneFileSystem && fstat(fd.get(), &st) == 0) walk.rootDevice = st.st_dev;
  // A bad action is reported where the plain walk meets it, which needs its own stream.
  const int workers = vak::SweepWorkers(walk.options.workers, fd.get());
  if (workers <= 1 || !IsValidAction(walk.action)) {
    return SweepOpenDirectory(&walk, std::move(fd), length, errMsg);
  }
  vak::ReadAhead ahead(workers, walk.options.oneFileSystem != 0, kPathBufSize);
  vak::AheadDir *root = ahead.Start(std::move(fd), dirPath);
  const vak::Opened how = ahead.WaitOpened(root);
  if (how.error != 0) {
    errno = how.error;
    return vak::SysError(errMsg);
  }
  return WalkAhead(&walk, &ahead, root, length, errMsg);
}

}  // namespace

int SweepHierarchy(const char *dirPath, unsigned int action, ProcessIdentity *filter,
                   char **errMsg) {
  Walk walk{};
  walk.action = action;
  walk.filter = filter;
  return Sweep(dirPath, walk, errMsg);
}

int vak::VisitHierarchy(const char *dirPath, const VakVisitOptions *options,
                        VakEditLockVisitor visitor, void *context, char **errMsg) {
  if (visitor == nullptr) return vak::AllocErrorMsg(VAK_NOT_OK, "NULL visitor supplied", errMsg);
  Walk walk{};
  walk.action = GET_DETAILS;
  walk.visitor = visitor;
  walk.context = context;
  if (options != nullptr) walk.options = *options;
  return Sweep(dirPath, walk, errMsg);
}

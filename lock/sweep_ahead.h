// sweep_ahead.h - read-ahead for the directory sweep: worker threads list the directories of the
// hierarchy and read its lock-stake files ahead of the walk, so that on a network file system the
// round trips overlap instead of following one another.
//
// The calling thread still walks depth-first and decides, prints, releases and clears everything
// itself, in walk order (sweep.cc); this module only hands it, per directory, its entries in
// readdir order with the facts a worker gathered:
//   - whether an entry is a directory (d_type, or lstat where the file system gives none), and for
//     a directory within the path limit its own listing, opened relative to its parent;
//   - for a stake entry, a snapshot of the lock as GET_DETAILS reads it, taken when the locked
//     file was plainly there (neither a link nor a directory, one link) or plainly absent, since
//     then the entry itself is its lock-stake file. Anything else is left to the calling thread's
//     own resolution. A snapshot never drives a change on disk: a release re-reads under the
//     engine's protocol.
//
// Work is taken in walk order (a job's key is the chain of entry indexes leading to it, compared
// lexicographically, which is depth-first pre-order), so the workers stay just ahead of the walk.
// Memory is bounded by a window of buffered entries and of open directories, not by the tree: a
// big directory is listed in chunks, each continuation a job of its own placed after the entries
// already listed. When the walk needs something no worker has started, the calling thread does it
// itself, so the walk never waits on the window.
//
// Fork: the calling thread holds the lock only inside this module, never across a visitor or a
// print, and workers hold it only around queue updates; a child forked from a visitor may inherit
// that lock taken, but it has no workers either, so it must not continue the walk (exec or _exit
// as any forked child of a threaded process). The parent is not affected, so no atfork handler.
#ifndef VAK_SWEEP_AHEAD_H_
#define VAK_SWEEP_AHEAD_H_

#include <dirent.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "posix_io.h"
#include "vak.h"

namespace vak {

// Most worker threads a sweep starts.
constexpr int kMaxSweepWorkers = 32;

// The workers a sweep of the directory open as rootFd uses: requested when positive, else
// VAK_SWEEP_WORKERS, else the built-in choice by file system; at most kMaxSweepWorkers. 1 or
// less means the plain walk.
int SweepWorkers(int requested, int rootFd);

// Whether a directory entry is a directory to descend into: from d_type when the file system
// gives it, else from lstat (a link is never a directory here).
bool IsRealDirectory(int dirFd, const struct dirent *entry);
// Whether the open directory fd lies on another file system than the device root.
bool OnOtherFileSystem(int fd, dev_t root);

enum class JobState : unsigned char { kQueued, kRunning, kDone };

// A stake entry's read-ahead (see the top): resolved says whether status, chain and msg hold the
// GET_DETAILS result for the entry as its own lock-stake file.
struct StakeAhead {
  ~StakeAhead();
  std::string path;  // the stake entry's full path
  JobState state = JobState::kQueued;
  bool resolved = false;
  int status = VAK_OK;
  LockStake *chain = nullptr;
  char *msg = nullptr;
};

struct DirHandle;
struct AheadDir;

struct AheadEntry {
  std::string name;
  bool directory = false;
  std::shared_ptr<AheadDir> child;    // a directory within the path limit
  std::shared_ptr<StakeAhead> stake;  // a stake entry within the path limit
};

// Why a directory has no entries to walk, as the walk reports it.
struct Opened {
  int error = 0;         // errno of the failure, 0 when it opened
  bool atOpen = false;   // the open failed (else making its stream)
  bool foreign = false;  // on another file system than the root, with oneFileSystem
};

class ReadAhead {
 public:
  // pathLimit: a directory whose path reaches it is opened but not listed, and an entry whose
  // path reaches it is neither opened nor read, as the walk skips both.
  ReadAhead(int workers, bool oneFileSystem, size_t pathLimit);
  ~ReadAhead();  // stops and joins every worker
  ReadAhead(const ReadAhead &) = delete;
  ReadAhead &operator=(const ReadAhead &) = delete;

  // Takes over the open root directory at path and starts the workers.
  AheadDir *Start(orv::UniqueFd root, const char *path);
  // How opening dir went (waits for it).
  Opened WaitOpened(AheadDir *dir);
  // The next entry of dir in readdir order, or nullptr at its end; valid until the next call
  // for dir.
  AheadEntry *Next(AheadDir *dir);
  // The finished read-ahead of a stake entry (waits for it); the caller may take its results.
  StakeAhead *Stake(AheadEntry *entry);

 private:
  struct Job {
    std::vector<uint32_t> key;
    std::shared_ptr<AheadDir> dir;       // list the next chunk of dir, or
    std::shared_ptr<StakeAhead> stake;   // read this stake entry
  };
  static void *WorkerMain(void *self);
  void Work();
  bool Startable(const Job &job) const;
  void Push(Job job);
  void RunList(AheadDir *dir, std::unique_lock<std::mutex> &lock);
  void RunStake(StakeAhead *stake, std::unique_lock<std::mutex> &lock);

  const bool oneFileSystem_;
  const size_t pathLimit_;
  dev_t rootDevice_ = 0;
  std::mutex mutex_;
  std::condition_variable work_;  // workers: a job was queued, the window moved, or stop
  std::condition_variable done_;  // the calling thread: a job finished
  std::vector<Job> queue_;        // a heap, the smallest key on top
  size_t buffered_ = 0;           // entries listed and not yet walked past
  std::atomic<int> openDirs_{0};
  bool stopping_ = false;
  std::shared_ptr<AheadDir> root_;
  std::vector<pthread_t> threads_;
  int wanted_;
};

}  // namespace vak

#endif  // VAK_SWEEP_AHEAD_H_

// sweep_ahead.cc - read-ahead for the directory sweep (see sweep_ahead.h).
#include "sweep_ahead.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <utility>

#include "engine.h"
#include "replace/leftovers.h"
#include "resolve.h"
#include "stake/stake_records.h"
#include "status.h"

namespace vak {

namespace {

// Workers on a network file system when nothing else is asked: enough round trips in flight to
// hide a millisecond of latency behind each, few enough not to swamp a small server.
constexpr int kDefaultWorkers = 16;
// Entries a worker reads from a directory in one job: a huge directory is several jobs.
constexpr size_t kChunkEntries = 256;
// The window: entries listed but not yet walked past, and directories held open (for listing,
// or for opening their subdirectories relative to them). A worker starts no listing beyond it.
constexpr size_t kWindowEntries = 16384;
constexpr int kMaxOpenDirs = 128;

// File systems where every lookup is a round trip (f_type of statfs). Local ones (ext4, xfs,
// btrfs, tmpfs, ...) are walked plainly: there the walk is already close to a bare readdir loop,
// and measured threads only add scheduling and lock traffic to it.
bool OnNetworkFileSystem(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x65735546UL:  // FUSE: sshfs, GlusterFS, ...
    case 0x6969UL:      // NFS
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x517BUL:      // SMB
    case 0x00C36400UL:  // Ceph
    case 0x01021997UL:  // 9P
    case 0x5346414FUL:  // AFS
      return true;
    default:
      return false;
  }
}

bool IsDotOrDotDot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Depth-first pre-order: a directory's key is a prefix of its entries' keys.
bool Earlier(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
  return a < b;
}

std::vector<uint32_t> KeyAt(const std::vector<uint32_t> &parent, uint32_t index) {
  std::vector<uint32_t> key(parent);
  key.push_back(index);
  return key;
}

}  // namespace

int SweepWorkers(int requested, int rootFd) {
  int workers = requested;
  if (workers <= 0) {
    const char *env = getenv("VAK_SWEEP_WORKERS");
    char *end = nullptr;
    long value = env != nullptr && *env != '\0' ? strtol(env, &end, 10) : -1;
    if (end != nullptr && *end == '\0' && value >= 0) {
      workers = static_cast<int>(std::min<long>(value, kMaxSweepWorkers));
    } else {
      workers = OnNetworkFileSystem(rootFd) ? kDefaultWorkers : 1;
    }
  }
  return std::max(1, std::min(workers, kMaxSweepWorkers));
}

bool IsRealDirectory(int dirFd, const struct dirent *entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool OnOtherFileSystem(int fd, dev_t root) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev != root;
}

StakeAhead::~StakeAhead() {
  FreeLockStake(chain);
  vakReleaseErrorMsg(&msg);
}

// An open directory stream, counted against the window while it is open.
// Its close wakes the workers that wait for room in the window.
struct DirHandle {
  DirHandle(DIR *d, std::atomic<int> *count, std::condition_variable *room)
      : dir(d), open(count), wake(room) {
    ++*open;
  }
  ~DirHandle() {
    dir.reset();
    --*open;
    wake->notify_all();
  }
  orv::UniqueDir dir;
  std::atomic<int> *open;
  std::condition_variable *wake;
};

struct AheadDir : std::enable_shared_from_this<AheadDir> {
  std::string path;
  size_t nameOffset = 0;  // where its own name starts in path
  std::vector<uint32_t> key;
  // Touched only by the one running its listing job.
  std::shared_ptr<DirHandle> parent;  // until it is opened, relative to the parent's stream
  std::shared_ptr<DirHandle> handle;  // while it is being listed
  bool started = false;
  uint32_t nextIndex = 0;
  // Under the lock.
  JobState list = JobState::kQueued;
  bool opened = false;
  Opened how;
  bool eof = false;
  std::deque<std::vector<AheadEntry>> chunks;
  size_t position = 0;  // in chunks.front()
};

ReadAhead::ReadAhead(int workers, bool oneFileSystem, size_t pathLimit)
    : oneFileSystem_(oneFileSystem), pathLimit_(pathLimit), wanted_(workers) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  queue_.clear();
  root_.reset();  // the tree's streams, counted in openDirs_, close before it goes
}

AheadDir *ReadAhead::Start(orv::UniqueFd root, const char *path) {
  root_ = std::make_shared<AheadDir>();
  root_->path = path;
  root_->started = true;
  struct stat st;
  if (oneFileSystem_ && fstat(root.get(), &st) == 0) rootDevice_ = st.st_dev;
  if (root_->path.size() + 1 >= pathLimit_) {
    root_->eof = true;  // the walk says it is too long
  } else if (DIR *d = fdopendir(root.get())) {
    root.release();
    root_->handle = std::make_shared<DirHandle>(d, &openDirs_, &work_);
  } else {
    root_->how.error = errno;
    root_->eof = true;
  }
  root_->opened = true;
  if (root_->eof) {
    root_->list = JobState::kDone;
    return root_.get();
  }
  Push(Job{root_->key, root_, nullptr});
  // Workers take no signals: the application's handlers run on its own threads, as before.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  for (int i = 0; i < wanted_; ++i) {
    pthread_t thread;
    // Too few threads only slow the walk: the calling thread does what none has started.
    if (pthread_create(&thread, nullptr, WorkerMain, this) != 0) break;
    threads_.push_back(thread);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return root_.get();
}

void *ReadAhead::WorkerMain(void *self) {
  static_cast<ReadAhead *>(self)->Work();
  return nullptr;
}

bool ReadAhead::Startable(const Job &job) const {
  if (job.stake != nullptr) return true;
  return buffered_ < kWindowEntries && openDirs_.load() < kMaxOpenDirs;
}

void ReadAhead::Push(Job job) {
  queue_.push_back(std::move(job));
  std::push_heap(queue_.begin(), queue_.end(),
                 [](const Job &a, const Job &b) { return Earlier(b.key, a.key); });
  work_.notify_one();
}

void ReadAhead::Work() {
  const auto later = [](const Job &a, const Job &b) { return Earlier(b.key, a.key); };
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    bool ran = false;
    while (!queue_.empty()) {
      const Job &top = queue_.front();
      const bool live = top.dir != nullptr ? top.dir->list == JobState::kQueued
                                           : top.stake->state == JobState::kQueued;
      if (live && !Startable(top)) break;
      std::pop_heap(queue_.begin(), queue_.end(), later);
      Job job = std::move(queue_.back());
      queue_.pop_back();
      if (!live) continue;  // the calling thread took it
      if (job.dir != nullptr) {
        job.dir->list = JobState::kRunning;
        RunList(job.dir.get(), lock);
      } else {
        job.stake->state = JobState::kRunning;
        RunStake(job.stake.get(), lock);
      }
      ran = true;
      break;
    }
    if (!ran && !stopping_) work_.wait(lock);
  }
}

// Lists the next chunk of dir (opening it first), then queues its subdirectories, its stake
// entries and its continuation. Called and returns with the lock held; drops it meanwhile.
void ReadAhead::RunList(AheadDir *dir, std::unique_lock<std::mutex> &lock) {
  lock.unlock();
  const bool first = !dir->started;
  Opened how;
  bool eof = false;
  if (first) {
    dir->started = true;
    const char *name = dir->path.c_str() + dir->nameOffset;
    const int parentFd = dirfd(dir->parent->dir.get());
    orv::UniqueFd fd(orv::RetryOnEintr(
        [&] { return openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    dir->parent.reset();
    eof = true;
    if (!fd.valid()) {
      how.error = errno;
      how.atOpen = true;
    } else if (oneFileSystem_ && OnOtherFileSystem(fd.get(), rootDevice_)) {
      how.foreign = true;
    } else if (dir->path.size() + 1 >= pathLimit_) {
      // opened, not listed: the walk says it is too long
    } else if (DIR *d = fdopendir(fd.get())) {
      fd.release();
      dir->handle = std::make_shared<DirHandle>(d, &openDirs_, &work_);
      eof = false;
    } else {
      how.error = errno;
    }
  }
  std::vector<AheadEntry> chunk;
  if (!eof) {
    DIR *d = dir->handle->dir.get();
    while (chunk.size() < kChunkEntries) {
      const struct dirent *entry = readdir(d);
      if (entry == nullptr) {
        eof = true;
        break;
      }
      if (IsDotOrDotDot(entry->d_name)) continue;
      AheadEntry ahead;
      ahead.name = entry->d_name;
      if (!IsLockStakeFileName(entry->d_name)) ahead.directory = IsRealDirectory(dirfd(d), entry);
      chunk.push_back(std::move(ahead));
    }
  }
  // Subdirectories listed here open relative to this stream, so it lives on in them.
  std::shared_ptr<DirHandle> handle = dir->handle;
  if (eof) dir->handle.reset();

  lock.lock();
  const uint32_t base = dir->nextIndex;
  for (size_t i = 0; i < chunk.size(); ++i) {
    AheadEntry &entry = chunk[i];
    if (dir->path.size() + 1 + entry.name.size() >= pathLimit_) continue;
    size_t stakeLength = 0;
    const bool stake = IsLockStakeFileName(entry.name.c_str()) != 0;
    if (stake) {
      entry.stake = std::make_shared<StakeAhead>();
      entry.stake->path = dir->path + '/' + entry.name;
      Push(Job{KeyAt(dir->key, base + static_cast<uint32_t>(i)), nullptr, entry.stake});
    } else if (entry.directory &&
               ClassifyLeftover(entry.name.c_str(), &stakeLength) == Leftover::kNone) {
      entry.child = std::make_shared<AheadDir>();
      entry.child->path = dir->path + '/' + entry.name;
      entry.child->nameOffset = dir->path.size() + 1;
      entry.child->key = KeyAt(dir->key, base + static_cast<uint32_t>(i));
      entry.child->parent = handle;
      Push(Job{entry.child->key, entry.child, nullptr});
    }
  }
  dir->nextIndex = base + static_cast<uint32_t>(chunk.size());
  if (first) {
    dir->how = how;
    dir->opened = true;
  }
  if (!chunk.empty()) {
    buffered_ += chunk.size();
    dir->chunks.push_back(std::move(chunk));
  }
  if (eof) {
    dir->eof = true;
    dir->list = JobState::kDone;
  } else {
    dir->list = JobState::kQueued;
    Push(Job{KeyAt(dir->key, dir->nextIndex), dir->shared_from_this(), nullptr});
  }
  done_.notify_all();
}

// Reads a stake entry ahead when its locked file is plainly there or plainly absent (see the
// header). Called and returns with the lock held; drops it meanwhile.
void ReadAhead::RunStake(StakeAhead *stake, std::unique_lock<std::mutex> &lock) {
  lock.unlock();
  const std::string locked = stake->path.substr(0, stake->path.size() - kStakeSuffixLength);
  mode_t mode;
  nlink_t links;
  bool plain;
  if (LookUpName(locked.c_str(), &mode, &links) == 0) {
    plain = !S_ISLNK(mode) && !S_ISDIR(mode) && links == 1;
  } else {
    plain = errno == ENOENT;
  }
  if (plain) {
    stake->status = EditLockControlOnStakeRetry(stake->path.c_str(), locked.c_str(), nullptr,
                                                GET_DETAILS, nullptr, &stake->chain, &stake->msg);
    stake->resolved = true;
  }
  lock.lock();
  stake->state = JobState::kDone;
  done_.notify_all();
}

Opened ReadAhead::WaitOpened(AheadDir *dir) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!dir->opened) {
    if (dir->list == JobState::kQueued) {
      dir->list = JobState::kRunning;
      RunList(dir, lock);
    } else {
      done_.wait(lock);
    }
  }
  return dir->how;
}

AheadEntry *ReadAhead::Next(AheadDir *dir) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!dir->chunks.empty() && dir->position >= dir->chunks.front().size()) {
      buffered_ -= dir->chunks.front().size();
      dir->chunks.pop_front();
      dir->position = 0;
      work_.notify_all();  // the window moved
    }
    if (!dir->chunks.empty()) return &dir->chunks.front()[dir->position++];
    if (dir->eof) return nullptr;
    if (dir->list == JobState::kQueued) {
      dir->list = JobState::kRunning;
      RunList(dir, lock);
    } else {
      done_.wait(lock);
    }
  }
}

StakeAhead *ReadAhead::Stake(AheadEntry *entry) {
  StakeAhead *stake = entry->stake.get();
  if (stake == nullptr) return nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  while (stake->state != JobState::kDone) {
    if (stake->state == JobState::kQueued) {
      stake->state = JobState::kRunning;
      RunStake(stake, lock);
    } else {
      done_.wait(lock);
    }
  }
  return stake;
}

}  // namespace vak

#include "engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "init.h"
#include "posix_io.h"
#include "resolve.h"
#include "status.h"
#include "temp_dir.h"

namespace {

using Pids = std::vector<uint64_t>;

// Gives this process its own process identifier as owner. A forked child keeps the rest of its
// parent's set-up rather than initialising the library again.
uint64_t BecomeOwner() {
  vakInited = 1;
  return vakInitInfo->processId->processId = static_cast<uint64_t>(getpid());
}

int Control(const std::string &file, unsigned action) {
  return vakEditLockControl(file.c_str(), "", action, 0, nullptr, nullptr, nullptr);
}

// Takes the lock on path in the name of another process of this host.
int LockAs(uint64_t pid, const std::string &path, int64_t creationTimeShift = 0) {
  const ProcessIdentity saved = *vakInitInfo->processId;
  vakInitInfo->processId->processId = pid;
  vakInitInfo->processId->creationTime += creationTimeShift;
  int status = Control(path, GET_LOCK);
  *vakInitInfo->processId = saved;
  return status;
}

// Owners in the lock-stake file of path, current first; {} without a lock, {0} if unreadable.
Pids Owners(const std::string &path) {
  LockStake *chain = nullptr;
  int status = vakEditLockControl(path.c_str(), nullptr, GET_DETAILS, 0, nullptr, &chain, nullptr);
  Pids pids;
  for (LockStake *s = chain; s != nullptr; s = s->next)
    pids.push_back(s->header->processId->processId);
  vakFreeLockStake(chain);
  return status == VAK_OK || status == VAK_FILE_NOT_LOCKED ? pids : Pids{0};
}

// Side files and dirlocks in dir.
size_t Leftovers(const std::string &dir) {
  size_t n = 0;
  orv::UniqueDir d(opendir(dir.c_str()));
  while (dirent *e = readdir(d.get())) n += strstr(e->d_name, ".orvlck.") != nullptr;
  return n;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VAK_OK, vakInit("engine-test", vakDefaultLockingMode, nullptr));
    BecomeOwner();
  }
  vaktest::DaemonGuard guard_;
  vaktest::TempDir tmp_;
};

// Besides a lock-stake file naming owner (0: none), what is on disk before the action.
// kWholeSeconds: the lock-stake file's times have whole seconds, as over sshfs.
enum Extra { kNothing, kGarbage, kSelfLink, kEmptyDirlock, kEmptyStake, kWholeSeconds };
struct Before {
  uint64_t owner;
  int64_t creationTimeShift;
  Extra extra;
  uint64_t dirlockHolder;  // 0: no dirlock with a holder
};

TEST_F(EngineTest, ActionByCase) {
  // No process has an identifier above 2^22.
  const uint64_t me = BecomeOwner(), live = static_cast<uint64_t>(getppid()), dead = 4194305;
  ProcessIdentity liveFilter = {vakInitInfo->processId->hostName, live, 0};
  ProcessIdentity *const kLiveOnly = &liveFilter;
  const Pids kGone = {}, kBroken = {0};
  const Before kAbsent{0, 0, kNothing, 0}, kMine{me, 0, kNothing, 0}, kMineOld{me, -9, kNothing, 0},
      kLive{live, 0, kNothing, 0}, kDead{dead, 0, kNothing, 0}, kMalformed{0, 0, kGarbage, 0},
      kUnreadable{0, 0, kSelfLink, 0}, kDeadLiveDirlock{dead, 0, kNothing, live},
      kDeadDeadDirlock{dead, 0, kNothing, dead}, kDeadEmptyDirlock{dead, 0, kEmptyDirlock, 0},
      kLiveEmptyDirlock{live, 0, kEmptyDirlock, 0}, kEmpty{0, 0, kEmptyStake, 0},
      kMineCoarse{me, 0, kWholeSeconds, 0}, kDeadCoarse{dead, 0, kWholeSeconds, 0};
  const struct {
    Before before;
    unsigned action;
    ProcessIdentity *filter;
    int want;
    Pids after;
    const char *path = nullptr;  // instead of the row's file
  } cases[] = {
      {kAbsent, GET_LOCK, nullptr, VAK_OK, kGone, "/dev/null"},
      {kAbsent, GET_DETAILS, nullptr, VAK_LOCK_STAKE_FILE_NOT_LOCKABLE, kGone, "/no/x.orvlck"},
      {kAbsent, GET_DETAILS, nullptr, VAK_FILE_NOT_LOCKED, kGone},
      {kAbsent, GET_LOCK, nullptr, VAK_OK, {me}},
      {kAbsent, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMine, GET_LOCK, nullptr, VAK_OK, {me}},
      {kMine, STEAL_LOCK, nullptr, VAK_OK, {me}},
      {kMine, CONFIRM_LOCK, nullptr, VAK_OK, {me}},
      {kMineOld, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMine, FORCE_RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMine, FORCE_RELEASE_LOCK, kLiveOnly, VAK_OK, {me}},
      {kLive, GET_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {live}},
      {kLive, STEAL_LOCK, nullptr, VAK_OK, {me, live}},
      {kLive, CONFIRM_LOCK, nullptr, VAK_NOT_EDIT_LOCK_OWNER, {live}},
      {kLive, RELEASE_LOCK, nullptr, VAK_NOT_EDIT_LOCK_OWNER, {live}},
      {kLive, FORCE_RELEASE_LOCK, kLiveOnly, VAK_OK, kGone},
      {kLive, RELEASE_DEAD_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {live}},
      {kDead, GET_LOCK, nullptr, VAK_OK, {me}},
      {kDead, RELEASE_DEAD_LOCK, nullptr, VAK_OK, kGone},
      {kMalformed, GET_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, kBroken},
      {kMalformed, FORCE_RELEASE_LOCK, kLiveOnly, VAK_OK, kGone},
      {kUnreadable, GET_LOCK, nullptr, VAK_SYS_ERROR, kBroken},
      // An empty lock-stake file (a creator between its create and its write, or one that died
      // there) is not stolen over.
      {kEmpty, STEAL_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, kBroken},
      {kUnreadable, FORCE_RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kDeadLiveDirlock, GET_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {dead}},
      {kDeadDeadDirlock, GET_LOCK, nullptr, VAK_OK, {me}},
      {kDeadEmptyDirlock, GET_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, {dead}},
      {kLiveEmptyDirlock, STEAL_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, {live}},
      // Times with whole seconds (sshfs) change nothing: files are told apart by their text.
      {kMineCoarse, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kDeadCoarse, RELEASE_DEAD_LOCK, nullptr, VAK_OK, kGone},
  };
  // Each case twice: through the entry that resolves, then the one given the resolved path.
  for (size_t run = 0; run < 2 * (sizeof cases / sizeof cases[0]); ++run) {
    const auto &c = cases[run / 2];
    const bool onStake = run % 2 == 1;
    SCOPED_TRACE("row " + std::to_string(run / 2) + (onStake ? " on the resolved path" : ""));
    const std::string dir = tmp_.Sub("r" + std::to_string(run)), file = dir + "/f";
    const std::string stake = file + ".orvlck", dirlock = stake + ".dirlock";
    vaktest::WriteFile(file, "x");
    const Before &b = c.before;
    ASSERT_TRUE(b.owner == 0 || LockAs(b.owner, file, b.creationTimeShift) == VAK_OK);
    if (b.dirlockHolder != 0) {
      ASSERT_EQ(VAK_OK, LockAs(b.dirlockHolder, dir + "/h"));
      ASSERT_EQ(0, rename((dir + "/h.orvlck").c_str(), dirlock.c_str()));
    }
    if (b.extra == kGarbage) vaktest::WriteFile(stake, "garbage\n");
    ASSERT_TRUE(b.extra != kSelfLink || symlink("f.orvlck", stake.c_str()) == 0);  // open: ELOOP
    if (b.extra == kEmptyDirlock) vaktest::WriteFile(dirlock, "");
    if (b.extra == kEmptyStake) vaktest::WriteFile(stake, "");
    const struct timespec whole[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_TRUE(b.extra != kWholeSeconds || utimensat(AT_FDCWD, stake.c_str(), whole, 0) == 0);
    const std::string text = vaktest::ReadFile(stake);
    LockStake *details = nullptr;
    char *msg = nullptr;
    const char *path = c.path ? c.path : file.c_str();
    char *resolved = nullptr;
    ASSERT_EQ(VAK_OK, vakGetLockStakeFile(path, 0, &resolved, nullptr, nullptr, nullptr));
    orv::MallocPtr<char> lockStakePath(resolved);
    int got = onStake ? vak::EditLockControlOnStake(lockStakePath.get(), path, "why", c.action,
                                                    c.filter, &details, &msg)
                      : vakEditLockControl(path, "why", c.action, 0, c.filter, &details, &msg);
    EXPECT_EQ(c.want, got) << msg;
    EXPECT_EQ(got == VAK_OK, msg == nullptr);
    vakFreeLockStake(details);
    vakReleaseErrorMsg(&msg);
    EXPECT_EQ(c.after, Owners(file));
    EXPECT_TRUE(b.owner != me || c.after != Pids{me} || text == vaktest::ReadFile(stake));
    EXPECT_EQ(b.extra == kEmptyDirlock || b.dirlockHolder == live ? 1u : 0u, Leftovers(dir));
  }
}

// An owner's release waits for a live process that holds the dirlock (it is replacing or
// checking the lock) rather than failing; here the holder gives it back after 300 ms.
TEST_F(EngineTest, ReleaseWaitsForALiveDirlockHolder) {
  const std::string file = tmp_.Sub("f"), dirlock = file + ".orvlck.dirlock";
  vaktest::WriteFile(file, "x");
  ASSERT_EQ(VAK_OK, Control(file, GET_LOCK));
  ASSERT_EQ(VAK_OK, LockAs(static_cast<uint64_t>(getppid()), tmp_.Sub("h")));
  ASSERT_EQ(0, rename(tmp_.Sub("h.orvlck").c_str(), dirlock.c_str()));
  const pid_t giver = fork();
  if (giver == 0) {
    usleep(300 * 1000);
    _exit(unlink(dirlock.c_str()) == 0 ? 0 : 1);
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  char *msg = nullptr;
  EXPECT_EQ(VAK_OK,
            vakEditLockControl(file.c_str(), nullptr, RELEASE_LOCK, 0, nullptr, nullptr, &msg))
      << msg;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  vakReleaseErrorMsg(&msg);
  int status = -1;
  waitpid(giver, &status, 0);
  EXPECT_EQ(0, status);
  EXPECT_GE((t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000, 250);
  EXPECT_EQ(Pids{}, Owners(file));
  EXPECT_EQ(0u, Leftovers(tmp_.path()));
}

// A writer and a reader accept each other's files: what the reader would refuse (too large) is
// refused at the get or steal, with nothing left on disk, and what
// is written reads back for its owner's confirm and release.
TEST_F(EngineTest, OnlyTextsThatReadBackAreWritten) {
  const size_t limit = 16 * 1024 * 1024;
  const std::string near(limit - 4096, 'r'), over(limit + 1024 * 1024, 'r');
  struct Case {
    const char *name;
    std::string file, reason;
    unsigned action;
    bool heldByAnother;  // a live process holds the lock with a reason of near-limit size
    int want;
  };
  const Case cases[] = {
      {"a reason larger than a reader accepts", "f", over, GET_LOCK, false, VAK_MALFORMED_REQUEST},
      {"a reason just below it", "f", near, GET_LOCK, false, VAK_OK},
      {"a steal whose history would be too large", "f", near, STEAL_LOCK, true,
       VAK_MALFORMED_REQUEST},
      // Line breaks in values are written as blanks: no value can cut or forge a key line.
      {"a line break in the reason", "f", "two\nlines", GET_LOCK, false, VAK_OK},
      {"a reason that forges a section", "f",
       "x\nFilePathUsedToEditLock y\nTimeEditLocked z\nLockStakeVersion 1.1", GET_LOCK, false,
       VAK_OK},
      {"a line break in the file name", "f\ng", "why", GET_LOCK, false, VAK_OK},
      {"a carriage return in the reason", "f", "why\r", GET_LOCK, false, VAK_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vaktest::TempDir dir;
    const std::string file = dir.Sub(c.file);
    const uint64_t other = static_cast<uint64_t>(getppid());
    std::string before;
    if (c.heldByAnother) {
      const ProcessIdentity saved = *vakInitInfo->processId;
      vakInitInfo->processId->processId = other;
      ASSERT_EQ(VAK_OK, vakEditLockControl(file.c_str(), near.c_str(), GET_LOCK, 0, nullptr,
                                           nullptr, nullptr));
      *vakInitInfo->processId = saved;
      before = vaktest::ReadFile(file + ".orvlck");
    }
    char *msg = nullptr;
    EXPECT_EQ(c.want, vakEditLockControl(file.c_str(), c.reason.c_str(), c.action, 0, nullptr,
                                         nullptr, &msg));
    EXPECT_EQ(c.want != VAK_OK, msg != nullptr && strlen(msg) > 0);
    vakReleaseErrorMsg(&msg);
    if (c.want == VAK_OK) {
      EXPECT_EQ(VAK_OK, Control(file, CONFIRM_LOCK));
      EXPECT_EQ(Pids{BecomeOwner()}, Owners(file));
      EXPECT_EQ(VAK_OK, Control(file, RELEASE_LOCK));
    }
    // Nothing of the refused operation: the lock as it was, no side file.
    EXPECT_TRUE(before == vaktest::ReadFile(file + ".orvlck")) << "the lock changed";
    EXPECT_EQ(0u, Leftovers(dir.path()));
  }
}

// Processes of their own identity that each run one action on file whenever they are told to.
// They live until the test ends: an owner that had ended would rightly be taken over.
struct Workers {
  Workers(size_t n, const std::string &file) {
    for (size_t i = 0; i < n; ++i) {
      int sv[2];
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
      pids.push_back(static_cast<uint64_t>(fork()));
      if (pids.back() == 0) {
        for (int fd : fds) close(fd);  // else earlier workers would never see their end
        close(sv[0]);
        BecomeOwner();
        char action;
        for (int status; read(sv[1], &action, 1) == 1;) {
          status = Control(file, static_cast<unsigned>(action));
          if (write(sv[1], &status, sizeof status) != sizeof status) break;
        }
        _exit(0);
      }
      close(sv[1]);
      fds.push_back(sv[0]);
    }
  }
  ~Workers() {
    for (int fd : fds) close(fd);
    for (uint64_t pid : pids) waitpid(static_cast<pid_t>(pid), nullptr, 0);
  }
  // Tells workers first to first + count - 1 to act at once; their statuses.
  std::vector<int> Act(char action, size_t first, size_t count) {
    std::vector<int> got(count, -1);
    for (size_t i = first; i < first + count; ++i) EXPECT_EQ(1, write(fds[i], &action, 1));
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(4, read(fds[first + i], &got[i], sizeof(int)));
    return got;
  }
  Pids pids;
  std::vector<int> fds;
};

TEST_F(EngineTest, RacingGetsHaveOneWinnerAndRacingStealsKeepAParsableHistory) {
  const std::string file = tmp_.Sub("f");
  Workers workers(16, file);
  for (size_t n : {2, 16}) {
    for (int round = 0; round < 100; ++round) {
      std::vector<int> got = workers.Act(GET_LOCK, 0, n);
      Pids winners;
      for (size_t i = 0; i < n; ++i) {
        if (got[i] == VAK_OK) winners.push_back(workers.pids[i]);
        // A first lock appears whole: no loser ever reads a half-written one.
        EXPECT_TRUE(got[i] == VAK_OK || got[i] == VAK_FILE_ALREADY_LOCKED) << got[i];
      }
      ASSERT_EQ(winners, Owners(file)) << n << " workers, round " << round;
      ASSERT_EQ(0, unlink((file + ".orvlck").c_str()));
    }
  }
  ASSERT_EQ(VAK_OK, Control(file, GET_LOCK));
  Pids history = {BecomeOwner()};
  for (size_t i = 0; i < 3; ++i) {  // each thief goes in front of everything before it
    ASSERT_EQ(VAK_OK, workers.Act(STEAL_LOCK, i, 1).at(0));
    history.insert(history.begin(), workers.pids[i]);
    ASSERT_EQ(history, Owners(file));
  }
  for (int round = 0; round < 40; ++round) {
    for (int status : workers.Act(STEAL_LOCK, 0, 6)) {
      EXPECT_TRUE(status == VAK_OK || status == VAK_FILE_ALREADY_LOCKED) << status;
    }
    ASSERT_NE(0u, Owners(file).at(0))
        << "round " << round << ": the lock-stake file does not parse";
    ASSERT_EQ(0u, Leftovers(tmp_.path())) << "round " << round;
  }
}

}  // namespace

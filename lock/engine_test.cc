#include "engine.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "engine_test_util.h"
#include "posix_io.h"
#include "status.h"
#include "temp_dir.h"

namespace {

using vaktest::AsProcess;
using vaktest::Owners;

// What is on disk before the action.
enum State {
  kAbsent,
  kMine,
  kMineOtherTime,
  kLive,
  kDead,
  kMalformed,
  kUnreadable,
  kDeadLiveDirlock,
  kDeadDeadDirlock,
  kDeadEmptyDirlock,
  kLiveEmptyDirlock
};

// Names beside the locked file other than its lock-stake file: side files and dirlocks.
std::vector<std::string> Leftovers(const std::string &dir) {
  std::vector<std::string> names;
  orv::UniqueDir d(opendir(dir.c_str()));
  while (dirent *e = readdir(d.get())) {
    if (std::string(e->d_name).find(".orvlck.") != std::string::npos) names.push_back(e->d_name);
  }
  return names;
}

TEST(EngineTest, ActionByCase) {
  vaktest::DaemonGuard guard;
  vaktest::UseOwnIdentity();
  const uint64_t me = static_cast<uint64_t>(getpid());
  const uint64_t live = static_cast<uint64_t>(getppid()), dead = vaktest::DeadPid();
  ProcessIdentity liveFilter = *vakInitInfo->processId;
  liveFilter.processId = live;
  const unsigned kBogus = 9;
  using O = std::vector<uint64_t>;
  const O kGone = {}, kBroken = {0};
  struct Case {
    State state;
    unsigned action;
    ProcessIdentity *filter;
    int want;
    O after;  // owners afterwards
  } cases[] = {
      {kAbsent, GET_DETAILS, nullptr, VAK_FILE_NOT_LOCKED, kGone},
      {kAbsent, GET_LOCK, nullptr, VAK_OK, {me}},
      {kAbsent, STEAL_LOCK, nullptr, VAK_OK, {me}},
      {kAbsent, CONFIRM_LOCK, nullptr, VAK_FILE_NOT_LOCKED, kGone},
      {kAbsent, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kAbsent, FORCE_RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kAbsent, RELEASE_DEAD_LOCK, nullptr, VAK_OK, kGone},
      {kAbsent, kBogus, nullptr, VAK_NOT_OK, kGone},
      {kMine, GET_DETAILS, nullptr, VAK_OK, {me}},
      {kMine, GET_LOCK, nullptr, VAK_OK, {me}},
      {kMine, STEAL_LOCK, nullptr, VAK_OK, {me}},
      {kMine, CONFIRM_LOCK, nullptr, VAK_OK, {me}},
      {kMine, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMineOtherTime, RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMine, FORCE_RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kMine, FORCE_RELEASE_LOCK, &liveFilter, VAK_OK, {me}},
      {kMine, RELEASE_DEAD_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {me}},
      {kMine, kBogus, nullptr, VAK_NOT_OK, {me}},
      {kLive, GET_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {live}},
      {kLive, STEAL_LOCK, nullptr, VAK_OK, {me, live}},
      {kLive, CONFIRM_LOCK, nullptr, VAK_NOT_EDIT_LOCK_OWNER, {live}},
      {kLive, RELEASE_LOCK, nullptr, VAK_NOT_EDIT_LOCK_OWNER, {live}},
      {kLive, FORCE_RELEASE_LOCK, &liveFilter, VAK_OK, kGone},
      {kLive, RELEASE_DEAD_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {live}},
      {kDead, GET_LOCK, nullptr, VAK_OK, {me}},
      {kDead, STEAL_LOCK, nullptr, VAK_OK, {me, dead}},
      {kDead, RELEASE_DEAD_LOCK, nullptr, VAK_OK, kGone},
      {kMalformed, GET_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, kBroken},
      {kMalformed, GET_DETAILS, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, kBroken},
      {kMalformed, FORCE_RELEASE_LOCK, &liveFilter, VAK_OK, kGone},
      {kUnreadable, GET_LOCK, nullptr, VAK_SYS_ERROR, kBroken},
      {kUnreadable, FORCE_RELEASE_LOCK, nullptr, VAK_OK, kGone},
      {kDeadLiveDirlock, GET_LOCK, nullptr, VAK_FILE_ALREADY_LOCKED, {dead}},
      {kDeadDeadDirlock, GET_LOCK, nullptr, VAK_OK, {me}},
      {kDeadEmptyDirlock, GET_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, {dead}},
      {kLiveEmptyDirlock, STEAL_LOCK, nullptr, VAK_MALFORMED_LOCK_STAKE_FILE, {live}},
  };
  vaktest::TempDir tmp;
  int row = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE("row " + std::to_string(row));
    const std::string dir = tmp.Sub("r" + std::to_string(row++));
    const std::string file = dir + "/f", stake = file + ".orvlck", dirlock = stake + ".dirlock";
    vaktest::WriteFile(file, "x");
    auto lockAs = [&](pid_t pid, int64_t ctime, const std::string &path) {
      AsProcess(pid, ctime, [&] {
        ASSERT_EQ(VAK_OK,
                  vakEditLockControl(path.c_str(), "r", GET_LOCK, 0, nullptr, nullptr, nullptr));
      });
    };
    const int64_t t = vakInitInfo->processId->creationTime;
    bool keepsDirlock = c.state == kDeadLiveDirlock || c.state >= kDeadEmptyDirlock;
    switch (c.state) {
      case kAbsent:
        break;
      case kMine:
        lockAs(getpid(), t, file);
        break;
      case kMineOtherTime:
        lockAs(getpid(), t - 100, file);
        break;
      case kLive:
      case kLiveEmptyDirlock:
        lockAs(getppid(), t, file);
        break;
      case kMalformed:
        vaktest::WriteFile(stake, "garbage\n");
        break;
      case kUnreadable:
        ASSERT_EQ(0, symlink("f.orvlck", stake.c_str()));
        break;  // ELOOP on open
      default:
        lockAs(static_cast<pid_t>(dead), t, file);
        if (c.state == kDeadLiveDirlock || c.state == kDeadDeadDirlock) {
          lockAs(c.state == kDeadLiveDirlock ? getppid() : static_cast<pid_t>(dead), t, dir + "/h");
          ASSERT_EQ(0, rename((dir + "/h.orvlck").c_str(), dirlock.c_str()));
        }
    }
    if (c.state >= kDeadEmptyDirlock) vaktest::WriteFile(dirlock, "");
    const std::string before = vaktest::ReadFile(stake);
    LockStake *details = nullptr;
    char *msg = nullptr;
    int got = vakEditLockControl(file.c_str(), "why", c.action, 0, c.filter, &details, &msg);
    EXPECT_EQ(c.want, got) << msg;
    EXPECT_EQ(got == VAK_OK, msg == nullptr);
    EXPECT_EQ(c.action == GET_DETAILS && got == VAK_OK, details != nullptr);
    vakFreeLockStake(details);
    vakReleaseErrorMsg(&msg);
    EXPECT_EQ(c.after, Owners(file));
    if (c.state == kMine && c.after == O{me}) {
      EXPECT_EQ(before, vaktest::ReadFile(stake)) << "the owner's file must stay as it is";
    }
    EXPECT_EQ(keepsDirlock ? 1u : 0u, Leftovers(dir).size());
  }
}

TEST(EngineTest, RefusalsBeforeResolution) {
  vaktest::DaemonGuard guard;
  vaktest::UseOwnIdentity();
  struct Case {
    const char *path;
    unsigned action;
    bool withDetails;
    int want;
  } cases[] = {
      {"/dev/null", GET_LOCK, true, VAK_OK},
      {"/dev/zero", FORCE_RELEASE_LOCK, true, VAK_OK},
      {"/devices/pseudo/mm@0:null", GET_DETAILS, true, VAK_OK},
      {"/dev/null", GET_DETAILS, false, VAK_OK},
      {"/nowhere/x.orvlck", GET_DETAILS, false, VAK_LOCK_STAKE_FILE_NOT_LOCKABLE},
      {"/nowhere/x", GET_DETAILS, false, VAK_NOT_OK},
      {nullptr, GET_LOCK, true, VAK_NOT_OK},
  };
  for (const Case &c : cases) {
    LockStake *sentinel = reinterpret_cast<LockStake *>(&sentinel), *details = sentinel;
    char *msg = nullptr;
    EXPECT_EQ(c.want, vakEditLockControl(c.path, nullptr, c.action, 0, nullptr,
                                         c.withDetails ? &details : nullptr, &msg))
        << (c.path ? c.path : "NULL");
    EXPECT_EQ(sentinel, details) << "a refused or device path leaves the out chain alone";
    vakReleaseErrorMsg(&msg);
  }
}

// The retry rule: EINTR failures are retried up to 11 calls in all; retried messages are released.
TEST(EngineTest, RetryAfterEintr) {
  struct Attempts {
    int calls, interruptedCalls;
  };
  auto attempt = [](void *context, char **errMsg) -> int {
    Attempts *a = static_cast<Attempts *>(context);
    if (++a->calls > a->interruptedCalls) return VAK_OK;
    errno = EINTR;
    return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
  };
  const struct {
    int interrupted, wantCalls, wantStatus;
  } cases[] = {{0, 1, VAK_OK}, {10, 11, VAK_OK}, {11, 11, VAK_SYS_ERROR}, {50, 11, VAK_SYS_ERROR}};
  for (const auto &c : cases) {
    Attempts a = {0, c.interrupted};
    char *msg = nullptr;
    EXPECT_EQ(c.wantStatus, vakiRetryAfterEintr(attempt, &a, &msg)) << c.interrupted;
    EXPECT_EQ(c.wantCalls, a.calls) << c.interrupted;
    EXPECT_EQ(c.wantStatus != VAK_OK, msg != nullptr);
    vakReleaseErrorMsg(&msg);
  }
}

}  // namespace

#include "replace/leftovers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "init.h"
#include "testdata/planted_stake.h"
#include "status.h"
#include "temp_dir.h"

namespace {

class DirlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VAK_OK, vakInit("dirlock-test", vakDefaultLockingMode, nullptr));
    vakInited = 1;
    vakInitInfo->processId->processId = static_cast<uint64_t>(getpid());
  }
  vaktest::DaemonGuard guard_;
  vaktest::TempDir tmp_;
};

// What the sweeps leave of side files and dirlocks: those of dead processes go, those of live
// ones (or of a process about to act) stay.
TEST_F(DirlockTest, LeftoversOfDeadProcessesAreClearedAndOthersKept) {
  const uint64_t live = static_cast<uint64_t>(getppid());
  const struct timespec longAgo[2] = {{1700000000, 0}, {1700000000, 0}};
  const struct {
    const char *what;
    const char *name;      // beside f.orvlck
    uint64_t writer;       // 0: an empty, half-written file
    bool old;              // its time is long past
    uint64_t otherWriter;  // another side file of the same lock, by this process (0: none)
    bool kept;
  } cases[] = {
      {"dead writer's side file", "f.orvlck.77", vaktest::kDeadPid, false, 0, false},
      {"live writer's side file", "f.orvlck.77", live, false, 0, true},
      {"half-written side file, just now", "f.orvlck.77", 0, false, 0, true},
      {"half-written side file, long ago", "f.orvlck.77", 0, true, 0, false},
      {"dead holder's dirlock", "f.orvlck.dirlock", vaktest::kDeadPid, false, 0, false},
      {"live holder's dirlock", "f.orvlck.dirlock", live, false, 0, true},
      // A live process that announced itself and ranks first (pid 1 ranks before any other
      // process of this host) clears it, not the sweep.
      {"dead holder's dirlock, a live process about", "f.orvlck.dirlock", vaktest::kDeadPid, false, 1, true},
      {"not a side file: letters after the suffix", "f.orvlck.x7", vaktest::kDeadPid, false, 0, true},
  };
  int row = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = tmp_.Sub("r" + std::to_string(row++)), path = dir + "/" + c.name;
    vaktest::WriteFile(dir + "/f", "x");
    if (c.writer == 0) {
      vaktest::WriteFile(path, "");
    } else {
      vaktest::PlantStake(path, c.writer);
    }
    if (c.otherWriter != 0) vaktest::PlantStake(dir + "/f.orvlck.1", c.otherWriter);
    ASSERT_TRUE(!c.old || utimensat(AT_FDCWD, path.c_str(), longAgo, 0) == 0);
    size_t stakeLength = 0;
    const Leftover kind = ClassifyLeftover(c.name, &stakeLength);
    if (kind != Leftover::kNone) ClearLeftover(path.c_str(), kind, dir.size() + 1 + stakeLength);
    EXPECT_EQ(c.kept, access(path.c_str(), F_OK) == 0);
    // The process's own announcement never stays behind.
    EXPECT_NE(0, access((dir + "/f.orvlck." + std::to_string(getpid())).c_str(), F_OK));
  }
}

// The names the sweeps meet: which are leftovers, and of which lock-stake name (up to the last
// dot, whatever precedes it).
TEST(LeftoverNames, KindAndLockStakeNameComeFromTheName) {
  const struct {
    const char *name;
    Leftover kind;
    size_t stakeLength;
  } cases[] = {
      {"f.orvlck.77", Leftover::kSideFile, 8},
      {"f.orvlck.dirlock", Leftover::kDirlock, 8},
      {"a.orvlck.orvlck.5", Leftover::kSideFile, 15},
      {".orvlck.1", Leftover::kSideFile, 7},
      {"f.orvlck.", Leftover::kNone, 0},
      {"f.orvlck.x7", Leftover::kNone, 0},
      {"f.orvlck.7x", Leftover::kNone, 0},
      {"f.orvlck.dirlocks", Leftover::kNone, 0},
      {"f.orvlck", Leftover::kNone, 0},
      {"f.orvlc.1", Leftover::kNone, 0},
      {"orvlck.1", Leftover::kNone, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    size_t stakeLength = 0;
    EXPECT_EQ(c.kind, ClassifyLeftover(c.name, &stakeLength));
    if (c.kind != Leftover::kNone) {
      EXPECT_EQ(c.stakeLength, stakeLength);
    }
  }
}

}  // namespace

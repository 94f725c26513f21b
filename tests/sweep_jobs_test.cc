// The programs' walks with and without read-ahead, run as programs: vakAdminTool's listing,
// editlock list and reap say the same whatever the number of threads, and editlock's walk
// options are checked.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "network_mounts.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using vaktest::RunProgram;

std::string Stake(const std::string &host, int pid) {
  return "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\nLockStakeVersion 1.1\n"
         "LoginName u\nHostName " +
         host + "\nProcessIdentifier " + std::to_string(pid) +
         "\nProcessCreationTime_UTC 100\nProcessCreationTime_Readable x\nAppIdentifier t\n"
         "OSType lnx86\nReasonForPlacingEditLock r\nFilePathUsedToEditLock p\nTimeEditLocked t\n";
}

TEST(SweepJobsTest, ProgramsSayTheSameWhateverTheThreads) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  for (int d = 0; d < 6; ++d) {
    for (int f = 0; f < 40; ++f) {
      const std::string file = tmp.Sub("d" + std::to_string(d) + "/s/f" + std::to_string(f));
      vaktest::WriteFile(file, "x");
      if (f % 7 == 0) vaktest::WriteFile(file + ".orvlck", Stake("far.example", d * 100 + f));
    }
  }
  vaktest::WriteFile(tmp.Sub("d1/bad.orvlck"), "garbage\n");
  char host[256] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  vaktest::WriteFile(tmp.Sub("d2/dead"), "x");
  vaktest::WriteFile(tmp.Sub("d2/dead.orvlck"), Stake(host, 4194305));  // no such process
  vaktest::RunOptions options;
  // The far host is never asked: its owners are undecided, and nothing is reaped.
  options.env = {{"VAK_PORTNUM", guard.portText()}, {"VAK_DONT_QUERY_REMOTE_HOSTS", "far"}};
  const std::string admin = vaktest::StagedProgram("vakAdminTool");
  const std::string editlock = vaktest::StagedProgram("editlock");
  const std::vector<std::vector<std::string>> commands = {
      {admin, "-ale", tmp.path()},
      {editlock, "list", tmp.path()},
      {editlock, "list", "--json", "--one-file-system", tmp.path()},
      {editlock, "reap", "--dry-run", tmp.path()},
  };
  for (const auto &command : commands) {
    std::string expected;
    for (const char *threads : {"1", "2", "16"}) {
      SCOPED_TRACE(command[1] + " with " + threads + " threads");
      vaktest::RunOptions run = options;
      std::vector<std::string> argv = command;
      if (command[0] == admin) {
        run.env.push_back({"VAK_SWEEP_WORKERS", threads});
      } else {
        argv.insert(argv.begin() + 2, {"--jobs", threads});
      }
      const vaktest::RunResult result = RunProgram(argv, run);
      EXPECT_EQ(0, result.exitStatus) << result.err;
      EXPECT_EQ(std::string::npos, result.err.find('\r')) << "progress on a non-terminal";
      if (expected.empty()) {
        expected = result.out;
        EXPECT_NE(std::string::npos, expected.find("/dead")) << expected;
      }
      EXPECT_EQ(expected, result.out);
    }
  }
}

// Over sshfs the listing reads ahead by default (a FUSE file system), and says what the plain walk
// says there and on the local disk below it.
TEST(SweepJobsTest, ListingOverSshfsReadsAheadAndSaysTheSame) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  for (int d = 0; d < 4; ++d) {
    for (int f = 0; f < 30; ++f) {
      const std::string file = tmp.Sub("d" + std::to_string(d) + "/f" + std::to_string(f));
      vaktest::WriteFile(file, "x");
      if (f % 9 == 0) vaktest::WriteFile(file + ".orvlck", Stake("far.example", f));
    }
  }
  vaktest::NetworkMounts mounts;
  std::vector<std::string> views;
  if (!mounts.Mount(tmp.path(), 1, &views)) GTEST_SKIP() << "SKIPPED LOUDLY: no sshfs here";
  vaktest::RunOptions options;
  options.env = {{"VAK_PORTNUM", guard.portText()}};
  options.unsetEnv = {"VAK_SWEEP_WORKERS"};
  const std::string admin = vaktest::StagedProgram("vakAdminTool");
  const vaktest::RunResult local = RunProgram({admin, "-ale", tmp.path()}, options);
  const vaktest::RunResult ahead = RunProgram({admin, "-ale", views[0]}, options);
  options.env.push_back({"VAK_SWEEP_WORKERS", "1"});
  const vaktest::RunResult plain = RunProgram({admin, "-ale", views[0]}, options);
  ASSERT_EQ(0, plain.exitStatus) << plain.err;
  EXPECT_NE(std::string::npos, plain.out.find("d3/f27")) << plain.out;
  EXPECT_EQ(plain.out, ahead.out);
  // The same locks in the same order, under the other name of the tree.
  std::string renamed = local.out;
  for (size_t at; (at = renamed.find(tmp.path())) != std::string::npos;) {
    renamed.replace(at, tmp.path().size(), views[0]);
  }
  EXPECT_EQ(renamed, plain.out);
}

TEST(SweepJobsTest, BadJobsAreUsageErrors) {
  vaktest::TempDir tmp;
  const std::string editlock = vaktest::StagedProgram("editlock");
  for (const char *sub : {"list", "reap"}) {
    for (const char *jobs : {"0", "-2", "x", "3x", ""}) {
      SCOPED_TRACE(std::string(sub) + " --jobs '" + jobs + "'");
      const vaktest::RunResult result = RunProgram({editlock, sub, "--jobs", jobs, tmp.path()});
      EXPECT_EQ(64, result.exitStatus);
      EXPECT_NE(std::string::npos, result.err.find("invalid --jobs")) << result.err;
    }
  }
}

}  // namespace

// editlock run as a program: the exit status of each subcommand, the evidence that explain gives
// for its verdict, and reap over an owner whose host's daemon is down.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "fake_vakbd.h"
#include "posix_io.h"
#include "run_program.h"
#include "temp_dir.h"
#include "test_host.h"

extern char **environ;

namespace {

using vaktest::Exists;
using vaktest::RunResult;

const std::string kEditlock = vaktest::StagedProgram("editlock");
// An identifier above every pid_max: no process has it.
const char kNoSuchPid[] = "4194305";

RunResult Editlock(std::vector<std::string> args, const vaktest::RunOptions &options = {}) {
  args.insert(args.begin(), kEditlock);
  return vaktest::RunProgram(args, options);
}

// A lock-stake file's text naming one owner, written by hand.
std::string Stake(const std::string &host, const std::string &pid, const std::string &created) {
  return "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\nLockStakeVersion 1.1\n"
         "LoginName ann\nHostName " + host + "\nProcessIdentifier " + pid +
         "\nProcessCreationTime_UTC " + created +
         "\nProcessCreationTime_Readable x\nAppIdentifier ed\nOSType lnx86\n"
         "ReasonForPlacingEditLock r\nFilePathUsedToEditLock p\nTimeEditLocked t\n";
}

// The value of a lock-stake file's line KEY.
std::string StakeValue(const std::string &stake, const std::string &key) {
  const std::string text = vaktest::ReadFile(stake);
  size_t at = text.find("\n" + key + " ");
  if (at == std::string::npos) return "";
  at = text.find_first_not_of(' ', at + key.size() + 2);
  return text.substr(at, text.find('\n', at) - at);
}

void AwaitFile(const std::string &path) {
  const orv::Deadline deadline = orv::Deadline::In(20000);
  while (!Exists(path) && !deadline.Passed()) orv::SleepMs(10);
  ASSERT_TRUE(Exists(path)) << path;
}

TEST(EditlockEvidenceTest, ExitStatusOfEachSubcommand) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  vaktest::WriteFile(dir.Sub("free"), "x");
  vaktest::WriteFile(dir.Sub("held"), "x");
  vaktest::WriteFile(dir.Sub("held.orvlck"), Stake("far.example", "42", "1700000000"));
  const std::string missing = dir.Sub("missing/dir");
  const struct {
    std::vector<std::string> args;
    int status;
  } rows[] = {
      {{"--version"}, 0},
      {{}, 64},
      {{"frob"}, 64},
      {{"--frob"}, 64},
      {{"explain"}, 64},
      {{"explain", "a", "b"}, 64},
      {{"explain", dir.Sub("free")}, 0},
      {{"explain", dir.Sub("held")}, 75},
      {{"list", "--frob", dir.path()}, 64},
      {{"list", "--host"}, 64},
      {{"list", dir.path()}, 0},
      {{"list", missing}, 70},
      {{"reap"}, 64},
      {{"reap", "--dry-run", dir.path()}, 0},
      {{"reap", missing}, 70},
      {{"hold", "--wait", "-1", dir.Sub("free"), "true"}, 64},
      {{"hold", dir.Sub("missing/f"), "true"}, 70},
  };
  for (const auto &row : rows) {
    RunResult r = Editlock(row.args);
    std::string args;
    for (const std::string &arg : row.args) args += arg + " ";
    EXPECT_EQ(r.exitStatus, row.status) << args << r.err;
    EXPECT_EQ(r.err.empty(), row.status == 0 || row.status == 75) << args << r.err;
  }
}

// explain's evidence: the local probe with the start against the lock's creation, the daemon
// asked at its address and port with its answer, or the don't-query entry that matched.
TEST(EditlockEvidenceTest, ExplainTellsHowTheVerdictWasReached) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string held = dir.Sub("held");
  vaktest::WriteFile(held, "x");
  std::vector<std::string> argv = {kEditlock, "hold", held, "--", "sleep", "60"};
  std::vector<char *> args;
  for (std::string &arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  pid_t holder = -1;
  ASSERT_EQ(posix_spawn(&holder, args[0], nullptr, nullptr, args.data(), environ), 0);
  AwaitFile(held + ".orvlck");
  const std::string me = StakeValue(held + ".orvlck", "HostName");
  const std::string pid = std::to_string(holder);

  vaktest::FakeVakbd notAlive({"VakBoolVersion 1", "<read>", "NotAlive"});
  vaktest::FakeVakbd garbled({"VakBoolVersion 1", "<read>", "LogInfo x"});
  const struct {
    std::string stake;  // "" for the holder's own lock
    const vaktest::FakeVakbd *daemon;
    const char *dontQuery;
    std::string says;
  } rows[] = {
      {"", nullptr, nullptr,
       "owner is: alive\n  decided by: the local probe (signal 0 to process " + pid +
           "): the process exists\n  start time: the process started at "},
      {Stake(me, pid, "1000"), nullptr, nullptr,
       "was created at 1000: the process is younger than the lock, so its identifier may have "
       "been reused (the probe does not weigh this)\na get now would: refuse"},
      {Stake(me, kNoSuchPid, "1000"), nullptr, nullptr,
       "owner is: dead\n  decided by: the local probe (signal 0 to process " +
           std::string(kNoSuchPid) + "): no such process\na get now would: take over"},
      {Stake("localhost", "42", "7"), &notAlive, nullptr,
       "owner is: dead\n  decided by: asking the vakbd of localhost at 127.0.0.1 port " +
           std::to_string(notAlive.port()) + "\n  answer: \"NotAlive\" after "},
      {Stake("localhost", "42", "7"), &garbled, nullptr,
       "owner is: undecided (the question failed: vak: Could not recognize response from "
       "Boolean Daemon to ProcAlive message.)\n  decided by: asking the vakbd of localhost at "
       "127.0.0.1 port " + std::to_string(garbled.port()) + "\n  answer: \"LogInfo\" after "},
      {Stake("far.example", "42", "7"), nullptr, "nowhere FAR",
       "owner is: undecided\n  decided by: not asking far.example: it matches \"FAR\" of "
       "VAK_DONT_QUERY_REMOTE_HOSTS\na get now would: be undecided"},
      {Stake("far.example", "42", "7"), nullptr, "",
       "  decided by: not asking far.example: VAK_DONT_QUERY_REMOTE_HOSTS is empty"},
  };
  for (const auto &row : rows) {
    std::string file = held;
    if (!row.stake.empty()) {
      file = dir.Sub("other");
      vaktest::WriteFile(file + ".orvlck", row.stake);
    }
    vaktest::RunOptions options;
    if (row.daemon != nullptr) options.env = {{"VAK_PORTNUM", std::to_string(row.daemon->port())}};
    if (row.dontQuery != nullptr) options.env = {{"VAK_DONT_QUERY_REMOTE_HOSTS", row.dontQuery}};
    RunResult r = Editlock({"explain", file}, options);
    EXPECT_EQ(r.exitStatus, 75) << r.err;
    EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
  }
  kill(holder, SIGTERM);
  waitpid(holder, nullptr, 0);
}

// An owner on a host whose vakbd is down is undecided, alive or not: reap leaves its lock, and
// list --check and explain say why. Only the dead owner of the own host is reaped.
TEST(EditlockEvidenceTest, ReapLeavesTheLocksOfAHostWhoseDaemonIsDown) {
  vaktest::DaemonGuard guard;
  vaktest::TestHosts hosts({"ha.test", "hb.test"}, guard.port());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  vaktest::TempDir dir(vaktest::TempDir::kEveryone);
  const std::string live = dir.Sub("live"), far = dir.Sub("far"), dead = dir.Sub("dead");
  for (const std::string &file : {live, far, dead}) vaktest::WriteFile(file, "x");
  const pid_t holder = hosts.Start(1, {kEditlock, "hold", live, "--", "sleep", "60"});
  AwaitFile(live + ".orvlck");
  vaktest::WriteFile(far + ".orvlck", Stake("hb.test", kNoSuchPid, "1700000000"));
  vaktest::WriteFile(dead + ".orvlck", Stake("ha.test", kNoSuchPid, "1700000000"));
  // hb's daemon, started by the holder's library, goes down.
  const orv::Deadline deadline = orv::Deadline::In(20000);
  for (pid_t vakbd; (vakbd = hosts.VakbdPid(1)) > 0 && !deadline.Passed(); orv::SleepMs(50)) {
    kill(vakbd, SIGKILL);
  }
  ASSERT_EQ(hosts.VakbdPid(1), -1);

  RunResult listed = hosts.Run(0, {kEditlock, "list", "--undecided", dir.path()});
  EXPECT_EQ(listed.exitStatus, 0) << listed.err;
  EXPECT_NE(listed.out.find(live + "\n  owner (undecided): "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(far + "\n  owner (undecided): "), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find(dead + "\n"), std::string::npos) << listed.out;
  RunResult explained = hosts.Run(0, {kEditlock, "explain", far});
  EXPECT_NE(explained.out.find("owner is: undecided (the question failed: "), std::string::npos);
  EXPECT_NE(explained.out.find("\n  decided by: asking the vakbd of hb.test at " +
                               hosts.address(1) + " port " + std::to_string(guard.port()) +
                               "\n  answer: none after "),
            std::string::npos) << explained.out;

  RunResult reaped = hosts.Run(0, {kEditlock, "reap", dir.path()});
  EXPECT_EQ(reaped.exitStatus, 0) << reaped.err;
  EXPECT_EQ(reaped.out.rfind("reaped " + dead + ": ann on ha.test, ", 0), 0u) << reaped.out;
  EXPECT_EQ(std::count(reaped.out.begin(), reaped.out.end(), '\n'), 1) << reaped.out;
  EXPECT_FALSE(Exists(dead + ".orvlck"));
  EXPECT_TRUE(Exists(live + ".orvlck"));
  EXPECT_TRUE(Exists(far + ".orvlck"));
  hosts.Kill(holder);
}

}  // namespace

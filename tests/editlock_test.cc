// editlock run as a program: hold's statuses, conflict line, waits, signals, racing holds and the
// take-over after it was killed; list --json over names and texts that JSON cannot carry as they
// are.
#include <signal.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "json_value.h"
#include "posix_io.h"
#include "run_program.h"
#include "temp_dir.h"

extern char **environ;

namespace {

using vaktest::Exists;
using vaktest::RunProgram;
using vaktest::RunResult;

const std::string kEditlock = vaktest::StagedProgram("editlock");

RunResult Editlock(std::vector<std::string> args, const vaktest::RunOptions &options = {}) {
  args.insert(args.begin(), kEditlock);
  return RunProgram(args, options);
}

// Starts editlock with args in the background.
pid_t Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), kEditlock);
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  return pid;
}

// Exit status, or 128 + signal number.
int Reap(pid_t pid) {
  int status = 0;
  orv::RetryOnEintr([&] { return waitpid(pid, &status, 0); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void AwaitFile(const std::string &path) {
  const orv::Deadline deadline = orv::Deadline::In(20000);
  while (!Exists(path) && !deadline.Passed()) orv::SleepMs(10);
  ASSERT_TRUE(Exists(path)) << path;
}

TEST(EditlockTest, HoldStatusesConflictsAndTheReleaseOnSigterm) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string file = dir.Sub("f"), stake = file + ".orvlck";
  vaktest::WriteFile(file, "x");
  // The lock is held while the command runs and gone after it, whatever its end.
  const std::string lockedDuring = "test -e '" + stake + "'";
  const struct {
    std::vector<std::string> args;
    int status;
  } free[] = {
      {{"hold", file, "--", "sh", "-c", lockedDuring}, 0},
      {{"hold", "--reason", "r", file, "sh", "-c", lockedDuring + " && exit 7"}, 7},
      {{"hold", file, "--", "sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
      {{"hold", file, "--", dir.Sub("missing")}, 127},
      {{"hold", file, "--", dir.path()}, 126},
      {{"hold", file}, 64},
      {{"hold", "--wait", "soon", file, "true"}, 64},
      {{"list"}, 64},
  };
  for (const auto &row : free) {
    RunResult r = Editlock(row.args);
    EXPECT_EQ(r.exitStatus, row.status) << row.args[2] << r.err;
    EXPECT_FALSE(Exists(stake)) << row.args[2];
  }

  const pid_t holder = Spawn({"hold", "--reason", "busy \"q\"", file, "--", "sleep", "60"});
  AwaitFile(stake);
  const struct {
    const char *wait;
    int status;
    int64_t minMs, maxMs;
  } held[] = {{nullptr, 75, 0, 5000}, {"0", 75, 0, 5000}, {"0.4", 124, 400, 5000}};
  for (const auto &row : held) {
    std::vector<std::string> args = {"hold", file, "--", "true"};
    if (row.wait != nullptr) args.insert(args.begin() + 1, {"--wait", row.wait});
    const int64_t start = orv::MonotonicMs();
    RunResult r = Editlock(args);
    const int64_t took = orv::MonotonicMs() - start;
    EXPECT_EQ(r.exitStatus, row.status) << r.err;
    EXPECT_GE(took, row.minMs);
    EXPECT_LT(took, row.maxMs);
    const std::string line = "editlock: " + file + " is locked by ";
    EXPECT_EQ(r.err.compare(0, line.size(), line), 0) << r.err;
    EXPECT_NE(r.err.find(", process " + std::to_string(holder) + " (started "), std::string::npos);
    EXPECT_NE(r.err.find("application editlock, since "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", reason: busy \"q\"\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
  }
  // SIGTERM reaches the command, which ends by it; then the lock is released.
  kill(holder, SIGTERM);
  EXPECT_EQ(Reap(holder), 128 + SIGTERM);
  EXPECT_FALSE(Exists(stake));
}

TEST(EditlockTest, WaitIsWokenByALocalReleaseAtOnce) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string file = dir.Sub("f");
  vaktest::WriteFile(file, "x");
  // Released about 1.9 s after the waiter's first try: its back-off alone would try at 1.55 s
  // and next at 2.55 s, so a wake within 450 ms is inotify's, with room for a loaded machine to
  // start the two programs of the measure.
  const pid_t holder =
      Spawn({"hold", file, "--", "sh", "-c", "sleep 2; date +%s%N >" + dir.Sub("released")});
  AwaitFile(file + ".orvlck");
  RunResult r = Editlock({"hold", "--wait", "10", file, "--", "sh", "-c",
                          "date +%s%N >" + dir.Sub("taken")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(Reap(holder), 0);
  const long long late = (std::stoll(vaktest::ReadFile(dir.Sub("taken"))) -
                          std::stoll(vaktest::ReadFile(dir.Sub("released")))) / 1000000;
  EXPECT_LT(late, 450) << "ms from the release to the waiter's command";
}

TEST(EditlockTest, AKilledHoldersLockIsTakenOverByTheNext) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string file = dir.Sub("f"), pidFile = dir.Sub("command.pid");
  vaktest::WriteFile(file, "x");
  const pid_t holder =
      Spawn({"hold", file, "--", "sh", "-c", "echo $$ >" + pidFile + "; exec sleep 60"});
  AwaitFile(pidFile);
  kill(holder, SIGKILL);
  EXPECT_EQ(Reap(holder), 128 + SIGKILL);  // reaped: a zombie would still answer a probe
  kill(std::stoi(vaktest::ReadFile(pidFile)), SIGKILL);
  EXPECT_TRUE(Exists(file + ".orvlck"));
  RunResult r = Editlock({"hold", file, "--", "true"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_FALSE(Exists(file + ".orvlck"));
}

// Holds racing for one file: each command proves it ran alone by creating a marker exclusively
// (the shell's noclobber is O_EXCL), keeping it a while and removing it; a command that finds the
// marker there exits 99. With a wait every round of every racer runs its command; without one a
// racer may be refused (75), but never let in beside another.
TEST(EditlockTest, RacingHoldsRunTheirCommandsOneAtATime) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string file = dir.Sub("f"), marker = dir.Sub("running"), runs = dir.Sub("runs");
  vaktest::WriteFile(file, "x");
  const std::string command = "set -C; : >'" + marker + "' || exit 99; echo x >>'" + runs +
                              "'; sleep 0.05; rm '" + marker + "'";
  const int kRacers = 3, kRounds = 4;
  const struct {
    const char *wait;
    bool allRun;
  } rows[] = {{"30", true}, {"0", false}};
  for (const auto &row : rows) {
    unlink(runs.c_str());
    const std::string loop = "for i in $(seq " + std::to_string(kRounds) + "); do \"$0\" hold " +
                             "--wait " + row.wait + " \"$1\" -- sh -c \"$2\"; s=$?; " +
                             "[ $s = 0 ] || [ $s = 75 ] || exit $s; done";
    std::vector<pid_t> racers;
    for (int i = 0; i < kRacers; ++i) {
      std::vector<std::string> args = {"/bin/sh", "-c", loop, kEditlock, file, command};
      std::vector<char *> argv;
      for (std::string &arg : args) argv.push_back(&arg[0]);
      argv.push_back(nullptr);
      pid_t pid = -1;
      ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
      racers.push_back(pid);
    }
    for (pid_t racer : racers) EXPECT_EQ(Reap(racer), 0) << "wait " << row.wait;
    const std::string ran = Exists(runs) ? vaktest::ReadFile(runs) : "";
    const long count = std::count(ran.begin(), ran.end(), '\n');
    EXPECT_GE(count, row.allRun ? kRacers * kRounds : 1) << "wait " << row.wait;
    EXPECT_FALSE(Exists(marker));
    EXPECT_FALSE(Exists(file + ".orvlck"));
  }
}

// A section of a lock-stake file written by hand, for owners no program of this host is.
std::string Section(bool current, const std::string &reason,
                    const std::string &host = "far.example", const std::string &pid = "") {
  std::string text = current ? "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
                               "# Information about current Edit Lock Owner.\n#\n"
                             : "#\n# Information about former Edit Lock Owner.\n#\n";
  const char *rows[][2] = {{"LockStakeVersion", "1.1"}, {"LoginName", "ann"},
                           {"HostName", host.c_str()},
                           {"ProcessIdentifier", !pid.empty() ? pid.c_str() : current ? "42" : "7"},
                           {"ProcessCreationTime_UTC", "1700000000"},
                           {"ProcessCreationTime_Readable", "Tue Nov 14 2023"},
                           {"AppIdentifier", "ed"}, {"OSType", "lnx86"},
                           {"ReasonForPlacingEditLock", reason.c_str()},
                           {"FilePathUsedToEditLock", "./old"}, {"TimeEditLocked", "Mon"}};
  for (const auto &row : rows) text += std::string(row[0]) + " " + row[1] + "\n";
  return text;
}

// The listing's JSON lines parse, keep every byte of a name that is not UTF-8 and of texts with
// quotes and backslashes, carry former owners, and follow vakAdminTool -ale's order.
TEST(EditlockTest, ListJsonLinesParseAndKeepEveryByte) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string latin1 = dir.Sub("a/caf\xe9.txt"), old = dir.Sub("a/b/old");
  vaktest::WriteFile(latin1, "x");
  vaktest::WriteFile(old, "x");
  vaktest::WriteFile(old + ".orvlck", Section(true, "q\"\\ \x01") + Section(false, "before"));
  const std::string reason = "say \"hi\" \\ \t\xc3\xa9";
  RunResult r = Editlock({"hold", "--reason", reason, latin1, "--", "sh", "-c",
                          "\"$0\" list --json \"$1\" && \"$2\" -ale \"$1\" >&2", kEditlock,
                          dir.path(), vaktest::StagedProgram("vakAdminTool")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;

  std::vector<std::string> paths;
  size_t start = 0;
  for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    vaktest::JsonValue lock;
    ASSERT_TRUE(vaktest::ParseJson(r.out.substr(start, end - start), &lock)) << r.out;
    std::string path;
    if (lock["bytes_escaped"].items.size() == 1) {
      EXPECT_EQ(lock["bytes_escaped"].items[0].text, "path");
      ASSERT_TRUE(vaktest::CodePointsAsBytes(lock["path"].text, &path));
    } else {
      path = lock["path"].text;
    }
    paths.push_back(path);
    const vaktest::JsonValue &owner = lock["owner"], &former = lock["former_owners"];
    if (path == latin1) {
      EXPECT_EQ(owner["reason"].text, reason);
      EXPECT_EQ(owner["application"].text, "editlock");
      EXPECT_EQ(former.items.size(), 0u);
    } else {
      EXPECT_EQ(path, old);
      EXPECT_EQ(owner["reason"].text, "q\"\\ \x01");
      EXPECT_EQ(owner["pid"].text, "42");
      EXPECT_EQ(owner["process_created"].text, "1700000000");
      EXPECT_EQ(owner["path_used"].text, "./old");
      ASSERT_EQ(former.items.size(), 1u);
      EXPECT_EQ(former.items[0]["pid"].text, "7");
      EXPECT_EQ(former.items[0]["reason"].text, "before");
    }
  }
  ASSERT_EQ(paths.size(), 2u) << r.out;
  EXPECT_EQ(start, r.out.size()) << "the last line ends with a line feed";
  // vakAdminTool -ale prints " PATH HOST PID TIME " per lock, in the walk's order.
  EXPECT_LT(r.err.find(" " + paths[0] + " "), r.err.find(" " + paths[1] + " ")) << r.err;
}

// The identifier of a process that has ended and been reaped.
std::string DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  Reap(pid);
  return std::to_string(pid);
}

// "alive" of a listed lock: its JSON spelling, or "absent" when the member is not there.
std::string AliveOf(const vaktest::JsonValue &lock) {
  for (const auto &member : lock.members) {
    if (member.first == "alive") return member.second.kind == vaktest::JsonValue::kNull
                                            ? "null" : member.second.text;
  }
  return "absent";
}

// "NAME=ALIVE" per JSON line of a listing, NAME the locked file's last component.
std::vector<std::string> Listed(const std::string &out) {
  std::vector<std::string> listed;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    vaktest::JsonValue lock;
    EXPECT_TRUE(vaktest::ParseJson(out.substr(start, end - start), &lock)) << out;
    const std::string path = lock["path"].text;
    listed.push_back(path.substr(path.rfind('/') + 1) + "=" + AliveOf(lock));
  }
  return listed;
}

// Three owners: a live one (an editlock hold), a dead one of this host, and one of a host that the
// environment says not to ask (undecided). list --check and its filters, explain and reap must
// each see them so, in the walk's order, and explain and a dry run must change nothing.
TEST(EditlockTest, CheckFiltersExplainAndReapByTheOwnersLiveness) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string live = dir.Sub("t/live"), dead = dir.Sub("t/dead"), far = dir.Sub("t/far");
  for (const std::string &file : {live, dead, far}) vaktest::WriteFile(file, "x");
  const pid_t holder = Spawn({"hold", live, "--", "sleep", "60"});
  AwaitFile(live + ".orvlck");
  vaktest::RunOptions undecided;
  undecided.env = {{"VAK_DONT_QUERY_REMOTE_HOSTS", "far.example"}};
  RunResult own = Editlock({"list", "--json", "--pid", std::to_string(holder), dir.path()});
  vaktest::JsonValue lock;
  ASSERT_TRUE(vaktest::ParseJson(own.out, &lock)) << own.out << own.err;
  const std::string host = lock["owner"]["host"].text;
  vaktest::WriteFile(dead + ".orvlck", Section(true, "gone", host, DeadPid()));
  vaktest::WriteFile(far + ".orvlck", Section(true, "far") + Section(false, "before"));

  RunResult plain = Editlock({"list", "--json", dir.path()}, undecided);
  std::vector<std::string> order;
  for (const std::string &entry : Listed(plain.out)) order.push_back(entry.substr(0, entry.find('=')));
  ASSERT_EQ(order.size(), 3u) << plain.out;
  const std::map<std::string, std::string> verdicts = {
      {"live", "true"}, {"dead", "false"}, {"far", "null"}};
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> names;  // the locks listed, in any order; the walk's is checked
    bool checked;
  } lists[] = {
      {{"--check"}, {"live", "dead", "far"}, true},
      {{"--dead"}, {"dead"}, true},
      {{"--alive", "--undecided"}, {"live", "far"}, true},
      {{"--host", "far.example"}, {"far"}, false},
      {{"--pid", std::to_string(holder)}, {"live"}, false},
      {{"--dead", "--host", "far.example"}, {}, true},
  };
  for (const auto &row : lists) {
    std::vector<std::string> args = {"list", "--json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(dir.path());
    RunResult r = Editlock(args, undecided);
    EXPECT_EQ(r.exitStatus, 0) << row.args[0] << r.err;
    std::vector<std::string> expected;
    for (const std::string &name : order) {
      if (std::find(row.names.begin(), row.names.end(), name) == row.names.end()) continue;
      expected.push_back(name + "=" + (row.checked ? verdicts.at(name) : "absent"));
    }
    EXPECT_EQ(Listed(r.out), expected) << row.args[0];
  }
  RunResult text = Editlock({"list", "--dead", dir.path()}, undecided);
  EXPECT_EQ(text.out.rfind(dead + "\n  owner (dead): ann on " + host + ", process ", 0), 0u)
      << text.out;
  EXPECT_EQ(Editlock({"list", "--pid", "x", dir.path()}).exitStatus, 64);

  const struct {
    std::string file;
    int status;
    const char *says;
  } explains[] = {
      {live, 75, "owner is: alive\n  decided by: the local probe"},
      {dead, 75, "no such process\na get now would: take over the dead owner's lock"},
      {far, 75, "far.example\" of VAK_DONT_QUERY_REMOTE_HOSTS\na get now would: be undecided"},
      {dir.Sub("t/free"), 0, ": not locked\na get now would: take it\n"},
  };
  for (const auto &row : explains) {
    RunResult r = Editlock({"explain", row.file}, undecided);
    EXPECT_EQ(r.exitStatus, row.status) << row.file << r.err;
    EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
  }
  RunResult fields = Editlock({"explain", far}, undecided);
  EXPECT_NE(fields.out.find("  process: 42\n  process created: 1700000000\n"), std::string::npos);
  EXPECT_NE(fields.out.find("\nformer owner 1:\n  login: ann\n  host: far.example\n  process: 7\n"),
            std::string::npos) << fields.out;

  RunResult dry = Editlock({"reap", "--dry-run", dir.path()}, undecided);
  EXPECT_EQ(dry.out.rfind("would reap " + dead + ": ann on ", 0), 0u) << dry.out;
  EXPECT_EQ(std::count(dry.out.begin(), dry.out.end(), '\n'), 1) << dry.out;
  EXPECT_TRUE(Exists(dead + ".orvlck")) << "neither explain nor a dry run changes anything";
  RunResult reaped = Editlock({"reap", dir.path()}, undecided);
  EXPECT_EQ(reaped.exitStatus, 0) << reaped.err;
  EXPECT_EQ(reaped.out, dry.out.substr(std::string("would ").size()).replace(0, 4, "reaped"));
  EXPECT_FALSE(Exists(dead + ".orvlck"));
  EXPECT_TRUE(Exists(live + ".orvlck"));
  EXPECT_TRUE(Exists(far + ".orvlck"));
  kill(holder, SIGTERM);
  Reap(holder);
}

}  // namespace

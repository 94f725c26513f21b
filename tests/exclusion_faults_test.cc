// Races of the exclusion protocol made to happen every time: one process is parked at an exact
// call (the fault library's stop points), others run, then it goes on. Each scenario is one that
// once gave two owners, a wrong owner, a failed release of one's own lock, a failed get, or a
// file left behind.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "fault_driver.h"
#include "run_program.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

using namespace vaktest;

std::string OwnHost() {
  return vakInitInfo->processId->hostName;
}

// A driver run; its pid, the file with its output and its stop notices.
struct Parked {
  pid_t pid = -1;
  std::string out, notify;
  bool stopped = false;
  int status = -1;  // the operation's status once it ended

  // Waits until the run stops at its point (true) or ends without reaching it.
  bool Park() {
    for (int waited = 0; waited < 15000; waited += 5) {
      if (ReadFile(notify).find("stopped") != std::string::npos) {
        return stopped = WaitStopped(pid);
      }
      if (ReadFile(out).find("status ") != std::string::npos) return false;
      usleep(5000);
    }
    return false;
  }
  void Resume() {
    if (stopped) kill(pid, SIGCONT);
    stopped = false;
  }
  int Finish() {
    Resume();
    WaitEnded(pid);
    return status = DriverStatus(ReadFile(out));
  }
};

Parked Start(const TempDir &tmp, const std::string &name, const std::string &op,
             const std::string &path, const std::string &stopAt) {
  Parked r;
  r.out = tmp.Sub(name + ".out");
  r.notify = tmp.Sub(name + ".notify");
  Env env = {{"VAK_FAULT_STOP_NOTIFY", r.notify}, {"VAK_DRIVER_KEEP", "1"}};
  if (!stopAt.empty()) env.push_back({"VAK_FAULT_STOP", stopAt});
  r.pid = StartDriver(op, path, FaultEnv(env), r.out);
  return r;
}

// The current owner's process identifier in path's lock-stake file, 0 without a lock.
unsigned long OwnerPid(const std::string &file) {
  const std::string text = ReadFile(file + ".orvlck");
  size_t at = text.find("ProcessIdentifier");
  return at == std::string::npos ? 0 : strtoul(text.c_str() + at + 17, nullptr, 10);
}

std::string HostOf(const std::string &file) {
  const std::string text = ReadFile(file + ".orvlck");
  size_t at = text.find("HostName");
  if (at == std::string::npos) return "";
  at = text.find_first_not_of(' ', at + 8);
  return text.substr(at, text.find('\n', at) - at);
}

// Names beside the lock-stake file that go on after ".orvlck" (side files, dirlocks).
std::vector<std::string> Leftovers(const TempDir &tmp) {
  std::vector<std::string> found;
  DIR *d = opendir(tmp.path().c_str());
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
    if (strstr(e->d_name, ".orvlck.") != nullptr) found.push_back(e->d_name);
  }
  if (d != nullptr) closedir(d);
  return found;
}

// A stop (or death) point at the call that takes the dirlock, however it is linked.
const char kAtDirlockLink[] = "link:.orvlck.dirlock:1;linkat:.orvlck.dirlock:1";
const char kAfterDirlockLink[] = "link:.orvlck.dirlock:1:after;linkat:.orvlck.dirlock:1:after";

class ExclusionFaults : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VAK_OK, vakInit("exclusion-test", 1, nullptr)); }
  DaemonGuard guard_;
  TempDir tmp_;
};

// Two processes find a dead process's dirlock beside a dead owner's lock. The first is parked
// right before it removes the dirlock; the second must not remove "it" as well (it would then
// remove a fresh one) and take the lock too.
TEST_F(ExclusionFaults, AStaleDirlockIsClearedByOneProcessOnly) {
  const std::string file = tmp_.Sub("f");
  WriteFile(file, "x");
  WriteFile(file + ".orvlck", StakeText(OwnHost(), static_cast<unsigned long>(DeadPid())));
  WriteFile(file + ".orvlck.dirlock", StakeText(OwnHost(), static_cast<unsigned long>(DeadPid())));
  Parked a = Start(tmp_, "a", "get", file, "unlink:.orvlck.dirlock:1");
  ASSERT_TRUE(a.Park());
  // The second may also park at its removal of a lock-stake file (a protocol that removes the
  // old file before linking the new one): it is let go once the first has finished.
  Parked b = Start(tmp_, "b", "get", file, "unlink:f.orvlck:1");
  bool bParked = b.Park();
  a.Finish();
  if (bParked) b.Resume();
  b.Finish();
  EXPECT_LE((a.status == VAK_OK) + (b.status == VAK_OK), 1) << a.status << " " << b.status;
  const unsigned long owner = OwnerPid(file);
  EXPECT_TRUE(a.status != VAK_OK || owner == static_cast<unsigned long>(a.pid)) << owner;
  EXPECT_TRUE(b.status != VAK_OK || owner == static_cast<unsigned long>(b.pid)) << owner;
  EXPECT_TRUE(a.status == VAK_OK || a.status == VAK_FILE_ALREADY_LOCKED) << a.status;
  EXPECT_TRUE(b.status == VAK_OK || b.status == VAK_FILE_ALREADY_LOCKED) << b.status;
  EXPECT_EQ(std::vector<std::string>{}, Leftovers(tmp_));
}

// A lock_driver on a host of its own (UTS namespace) whose process identifier is that of its
// twin on the other host (each in a PID namespace of its own, both the second process there).
Parked StartOnHost(const TempDir &tmp, const std::string &host, const std::string &name,
                   const std::string &op, const std::string &path, const std::string &stopAt) {
  Parked r;
  r.out = tmp.Sub(name + ".out");
  r.notify = tmp.Sub(name + ".notify");
  Env env = FaultEnv(
      {{"VAK_FAULT_STOP_NOTIFY", r.notify}, {"VAK_FAULT_STOP", stopAt}, {"VAK_DRIVER_KEEP", "1"}});
  r.pid = fork();
  if (r.pid == 0) {
    setpgid(0, 0);
    if (unshare(CLONE_NEWPID | CLONE_NEWUTS) != 0 || sethostname(host.c_str(), host.size()) != 0) {
      _exit(125);
    }
    pid_t init = fork();  // pid 1 there; the driver is pid 2, on either host
    if (init == 0) {
      pid_t driver = StartDriver(op, path, env, r.out);
      int status = 0;
      while (waitpid(driver, &status, 0) < 0 && errno == EINTR) {
      }
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    int status = 0;
    while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  return r;
}

// The driver of StartOnHost is no child of this process: it is told to go on through its process
// group, and its stop is known from its notice alone.
bool ParkOnHost(Parked *r) {
  for (int waited = 0; waited < 15000; waited += 5) {
    if (ReadFile(r->notify).find("stopped") != std::string::npos) {
      usleep(100 * 1000);  // the notice is written just before the stop itself
      return r->stopped = true;
    }
    if (ReadFile(r->out).find("status ") != std::string::npos) return r->stopped = false;
    usleep(5000);
  }
  return r->stopped = false;
}

int FinishOnHost(Parked *r) {
  if (r->stopped) killpg(r->pid, SIGCONT);
  r->stopped = false;
  WaitEnded(r->pid, 30000);
  return r->status = DriverStatus(ReadFile(r->out));
}

// Two thieves on two hosts with the same process identifier steal one lock at once: the side
// file named by that identifier must stay the first one's alone, or the first would link the
// second's text and be told VAK_OK for a lock that names the other.
TEST_F(ExclusionFaults, ThievesWithTheSameProcessIdentifierOnTwoHosts) {
  const std::string file = tmp_.Sub("f");
  WriteFile(file, "x");
  WriteFile(file + ".orvlck", StakeText(OwnHost(), static_cast<unsigned long>(getpid())));
  Parked a = StartOnHost(tmp_, "hosta.test", "a", "steal", file, kAtDirlockLink);
  ASSERT_TRUE(ParkOnHost(&a)) << ReadFile(a.out);
  Parked b = StartOnHost(tmp_, "hostb.test", "b", "steal", file, kAtDirlockLink);
  bool bParked = ParkOnHost(&b);
  FinishOnHost(&a);
  if (!bParked) b.stopped = false;
  FinishOnHost(&b);
  EXPECT_LE((a.status == VAK_OK) + (b.status == VAK_OK), 1) << a.status << " " << b.status;
  const std::string host = HostOf(file);
  EXPECT_TRUE(a.status != VAK_OK || host == "hosta.test") << host;
  EXPECT_TRUE(b.status != VAK_OK || host == "hostb.test") << host;
  EXPECT_TRUE(a.status == VAK_OK || b.status == VAK_OK) << ReadFile(a.out) << ReadFile(b.out);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers(tmp_));
}

// An owner releases its lock while another live process holds the dirlock (it read the lock when
// a dead process owned it, and will find it changed). The release waits and succeeds, on a file
// system whose times have whole seconds too.
TEST_F(ExclusionFaults, AnOwnerReleasesWhileAnotherProcessHoldsTheDirlock) {
  for (bool wholeSeconds : {false, true}) {
    SCOPED_TRACE(wholeSeconds ? "whole seconds" : "fine times");
    const std::string file = tmp_.Sub(wholeSeconds ? "w" : "n");
    WriteFile(file, "x");
    WriteFile(file + ".orvlck", StakeText(OwnHost(), static_cast<unsigned long>(DeadPid())));
    Parked g = Start(tmp_, "g", "get", file, kAfterDirlockLink);
    ASSERT_TRUE(g.Park());
    // Meanwhile this process became the owner (as if it had taken the lock over first).
    WriteFile(file + ".new", StakeText(OwnHost(), static_cast<unsigned long>(getpid())));
    const struct timespec whole[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_TRUE(!wholeSeconds || utimensat(AT_FDCWD, (file + ".new").c_str(), whole, 0) == 0);
    ASSERT_EQ(0, rename((file + ".new").c_str(), (file + ".orvlck").c_str()));
    std::thread resume([&] {
      usleep(300 * 1000);
      g.Resume();
    });
    char *msg = nullptr;
    EXPECT_EQ(VAK_OK, vakReleaseEditLock(file.c_str(), &msg)) << msg;
    free(msg);
    resume.join();
    EXPECT_EQ(VAK_FILE_ALREADY_LOCKED, g.Finish());
    EXPECT_EQ(0u, OwnerPid(file));
  }
}

// A file system that answers a name another client has just replaced with a stale handle
// (GlusterFS does) must not make a get fail: the name is looked up again.
TEST_F(ExclusionFaults, AStaleHandleOnOpenIsLookedUpAgain) {
  const std::string file = tmp_.Sub("f");
  WriteFile(file, "x");
  WriteFile(file + ".orvlck", StakeText(OwnHost(), static_cast<unsigned long>(DeadPid())));
  RunOptions options;
  options.env = FaultEnv(
      {{"VAK_FAULT_FAMILY", "open"}, {"VAK_FAULT_NTH", "1"}, {"VAK_FAULT_MODE", "ESTALE"}});
  RunResult r = RunProgram({LockDriverPath(), "get", file}, options);
  EXPECT_EQ(VAK_OK, DriverStatus(r.out)) << r.out << r.err;
}

// A process killed between its side file and the dirlock leaves the side file behind; the next
// listing or release of the hierarchy removes it, as it removes a dead process's dirlock.
TEST_F(ExclusionFaults, SweepsRemoveWhatKilledProcessesLeft) {
  for (const char *sweep : {"ale", "are"}) {
    SCOPED_TRACE(sweep);
    TempDir dir;
    const std::string file = dir.Sub("f");
    WriteFile(file, "x");
    WriteFile(file + ".orvlck", StakeText(OwnHost(), static_cast<unsigned long>(getpid())));
    RunOptions options;
    options.env = FaultEnv({{"VAK_FAULT_DIE", kAtDirlockLink}});
    RunProgram({LockDriverPath(), "steal", file}, options);
    const unsigned long dead = static_cast<unsigned long>(DeadPid());
    WriteFile(file + ".orvlck.dirlock", StakeText(OwnHost(), dead));
    ASSERT_EQ(2u, Leftovers(dir).size());
    RunProgram({LockDriverPath(), sweep, dir.path()}, {});
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(dir));
  }
}

}  // namespace

// Black-box test of the vakbd program: its answers, under hostile load.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "frame_client.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace vaktest;
using Clock = std::chrono::steady_clock;

const char kLocal[] = "127.0.0.1";

// A child that sleeps until killed; setuid() first when uid >= 0.
pid_t SleepingChild(int uid = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid >= 0 && setuid(static_cast<uid_t>(uid)) != 0) _exit(1);
    pause();
    _exit(0);
  }
  return pid;
}

// 1,000 hostile clients at once, each replaced as soon as the daemon drops it, while the
// ProcAlive questions of the table are asked in turn: each must get its answer, within 100 ms at
// the 99th percentile; the daemon's memory must stay bounded; every client that sent a bad frame
// must have been dropped at once (idle ones go only after seconds), making room for the next.
TEST(VakbdTest, AnswersProcAliveUnderHostileLoad) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 1200));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GE(limit.rlim_cur, 1200u) << "too few descriptors for the load";
  DaemonGuard guard;
  ASSERT_EQ(RunProgram({StagedProgram("vakbd")}).exitStatus, 0);
  const std::string now = std::to_string(time(nullptr));
  const pid_t daemon = VakbdPid(kLocal, guard.port());
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  pid_t young = SleepingChild();
  pid_t foreign = geteuid() == 0 ? SleepingChild(65534) : young;  // kill(pid, 0) gives EPERM
  const struct {
    const char *what;
    long long pid;
    std::string creation;
    const char *reply;
  } questions[] = {
      {"running process", getpid(), now, "Alive"},
      {"ended process", dead, now, "NotAlive"},
      {"started just now, owner recorded now", young, now, "Alive"},
      {"started after the owner's creation: reused", young, std::to_string(time(nullptr) - 1000),
       "NotAlive"},
      {"another user's process", foreign, now, "Alive"},
      {"creation time not recorded", young, "0", "Alive"},
      {"largest creation time", getpid(), "9223372036854775807", "Alive"},
      // Would name this very process if cut to 32 bits.
      {"identifier beyond the range of pids", (1LL << 32) + getpid(), now, "NotAlive"},
  };
  const std::string question = "ProcAlive " + std::to_string(getpid()) + " " + now;
  const std::string slow = LengthField(static_cast<uint32_t>(question.size())) + question;
  const struct {
    const char *what;
    std::string opening;
    bool dropped;  // at once
  } kinds[] = {
      {"idle", "", false},
      {"slow writer", slow.substr(0, 1), false},
      {"identifier 0", LengthField(13) + "ProcAlive 0 5", true},
      {"reply keyword as request", LengthField(5) + "Alive", true},
      {"empty frame", LengthField(0), true},
      {"length above 4 KiB", LengthField(5000) + std::string(100, 'x'), true},
      {"NUL inside", LengthField(16) + std::string("ProcAlive 1\0 2 3", 16), true},
  };
  const size_t nKinds = sizeof kinds / sizeof kinds[0];
  std::vector<std::unique_ptr<FrameClient>> hostile(1000);
  std::vector<std::atomic<int>> made(nKinds);
  std::atomic<bool> done(false);
  std::atomic<int> total(0);
  std::thread pressure([&] {
    for (size_t pass = 0; !done && pass < 3000; ++pass) {
      for (size_t i = 0; i < hostile.size() && !done; ++i) {
        char buf[256];
        ssize_t n = hostile[i] ? recv(hostile[i]->fd(), buf, sizeof buf, MSG_DONTWAIT) : 0;
        if (n == 0) {  // dropped by the daemon (or not yet made): a new one takes its place
          hostile[i].reset(new FrameClient);
          if (hostile[i]->Connect(kLocal, guard.port()))
            hostile[i]->WriteRaw(kinds[i % nKinds].opening);
          ++made[i % nKinds];
          ++total;
        } else if (i % nKinds == 1 && pass < slow.size()) {
          hostile[i]->WriteRaw(slow.substr(pass, 1));  // one byte per pass
        }
      }
      usleep(5 * 1000);
    }
  });
  while (total < 1000) usleep(10 * 1000);
  std::vector<double> ms;
  for (int i = 0; i < 320; ++i) {
    const auto &q = questions[i % 8];
    auto begin = Clock::now();
    std::string reply;
    AskDaemon(kLocal, guard.port(), "ProcAlive " + std::to_string(q.pid) + " " + q.creation,
              &reply);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    EXPECT_EQ(reply, q.reply) << q.what;
  }
  // Each kind that the daemon drops at once must have been dropped and made again many times: on a
  // fast run the questions may be over before that, so the pressure goes on for a bounded while.
  auto droppedOften = [&] {
    for (size_t k = 0; k < nKinds; ++k) {
      if (kinds[k].dropped && made[k] <= 2000 / static_cast<int>(nKinds)) return false;
    }
    return true;
  };
  for (int waited = 0; waited < 20000 && !droppedOften(); waited += 10) usleep(10 * 1000);
  done = true;
  pressure.join();
  for (pid_t pid : {young, foreign}) kill(pid, SIGKILL);
  waitpid(young, nullptr, 0);
  waitpid(foreign, nullptr, 0);
  for (size_t k = 0; k < nKinds; ++k) {
    EXPECT_TRUE(!kinds[k].dropped || made[k] > 2000 / static_cast<int>(nKinds))
        << kinds[k].what << ": " << made[k].load() << " made";
  }
  std::sort(ms.begin(), ms.end());
  const std::string status = ReadFile("/proc/" + std::to_string(daemon) + "/status");
  const long peakKb = atol(status.c_str() + status.find("VmHWM:") + 6);
  EXPECT_LT(ms[316], 100.0) << "99th percentile";
  EXPECT_LT(peakKb, 64 * 1024) << "peak resident memory, kB";
  printf(
      "[ figures  ] %d hostile connections made; question latency p50 %.2f ms, p99 %.2f ms, "
      "max %.2f ms; vakbd peak RSS %ld kB\n",
      total.load(), ms[160], ms[316], ms.back(), peakKb);
}

// Runs the staged vakbd for the guard's port with its wall clock shifted by the seconds written
// to shiftFile; false when it did not start or the shift library is not in it.
bool StartShiftedVakbd(const DaemonGuard &guard, const std::string &shiftFile) {
  const char *asan = getenv("ASAN_OPTIONS");
  RunOptions options;
  // Preloaded by name along the library path: LD_PRELOAD would split a build path with blanks.
  options.env = {{"LD_PRELOAD", "libvak_clock_shift.so"},
                 {"LD_LIBRARY_PATH", VAK_BINARY_DIR "/tests/fault"},
                 {"VAK_CLOCK_SHIFT_FILE", shiftFile},
                 {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  if (RunProgram({StagedProgram("vakbd")}, options).exitStatus != 0) return false;
  const pid_t daemon = VakbdPid(kLocal, guard.port());
  return daemon > 0 &&
         ReadFile("/proc/" + std::to_string(daemon) + "/maps").find("libvak_clock_shift.so") !=
             std::string::npos;
}

// Steps the shifted clock at once: a reader never sees a half-written number.
void StepClock(const std::string &shiftFile, long seconds) {
  WriteFile(shiftFile + ".new", std::to_string(seconds));
  ASSERT_EQ(rename((shiftFile + ".new").c_str(), shiftFile.c_str()), 0);
}

// A step of the host's clock, forward or back, must never make a live owner look dead (another
// host would take its lock), while an identifier now held by a process that started after the
// given creation time must still be told apart. Each owner reports its creation time by the clock
// in force when it initialised; steps accumulate, as on a real host.
TEST(VakbdTest, ClockStepsNeitherKillOwnersNorHideReusedIdentifiers) {
  TempDir dir;
  const std::string shiftFile = dir.Sub("shift");
  StepClock(shiftFile, 0);
  DaemonGuard guard;
  ASSERT_TRUE(StartShiftedVakbd(guard, shiftFile)) << "vakbd under the clock shift library";
  const pid_t early = SleepingChild();
  const long long earlyCreated = time(nullptr);
  const long steps[] = {0, 60, -60, 86400, 0, -60};
  std::vector<pid_t> children = {early};
  for (long step : steps) {
    StepClock(shiftFile, step);
    const pid_t late = SleepingChild();  // starts and initialises under the stepped clock
    children.push_back(late);
    const long long now = time(nullptr);
    const struct {
      const char *what;
      pid_t pid;
      long long creation;
      const char *reply;
    } questions[] = {
        {"owner initialised before the steps", early, earlyCreated, "Alive"},
        {"owner initialised after this step", late, now + step, "Alive"},
        {"reused: started an hour after the creation", late, now - 3600, "NotAlive"},
        {"reused: creation time 1000", late, 1000, "NotAlive"},
    };
    for (const auto &q : questions) {
      std::string reply;
      AskDaemon(kLocal, guard.port(),
                "ProcAlive " + std::to_string(q.pid) + " " + std::to_string(q.creation), &reply);
      EXPECT_EQ(reply, q.reply) << q.what << ", clock shifted by " << step << " s";
    }
  }
  for (pid_t pid : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Sends StartLog as uid (after setuid in a child when not root) and waits until the daemon has
// handled it (it closes the connection); false when that could not be done.
bool StartLogAs(int uid, int port, const std::string &file) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid != 0 && setuid(static_cast<uid_t>(uid)) != 0) _exit(2);
    FrameClient client;
    std::string greeting;
    bool handled = client.Connect(kLocal, port) && client.ReadFrame(&greeting) &&
                   client.WriteFrame("StartLog " + file) && client.ClosedByPeer(5000);
    _exit(handled ? 0 : 1);
  }
  int status = -1;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// StartLog makes the daemon create and append to a file with its own rights: only a requester
// with those same rights on this host may choose it, and only by an absolute name whose last
// part is no symbolic link.
TEST(VakbdTest, StartLogCreatesFilesOnlyForTheDaemonsOwnUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "NOT TESTED: needs root, to run vakbd as root and send StartLog as uid 65534";
  }
  TempDir dir;  // mode 0700, root's: only root may create files in it
  const std::string relative = "vakbd-test-" + std::to_string(getpid()) + ".log";
  ASSERT_EQ(symlink(dir.Sub("aim").c_str(), dir.Sub("link").c_str()), 0);
  DaemonGuard guard;
  ASSERT_EQ(RunProgram({StagedProgram("vakbd")}).exitStatus, 0);
  const struct {
    const char *what;
    int uid;
    std::string name, lookAt;  // lookAt: where a file would appear
    bool created;
  } cases[] = {
      {"another user", 65534, dir.Sub("a.log"), dir.Sub("a.log"), false},
      {"relative name (the daemon works in /)", 0, relative, "/" + relative, false},
      {"symbolic link", 0, dir.Sub("link"), dir.Sub("aim"), false},
      {"the daemon's user", 0, dir.Sub("a.log"), dir.Sub("a.log"), true},
      {"another user, while a log is open", 65534, dir.Sub("b.log"), dir.Sub("b.log"), false},
  };
  for (const auto &c : cases) {
    ASSERT_TRUE(StartLogAs(c.uid, guard.port(), c.name)) << c.what;
    struct stat st;
    EXPECT_EQ(lstat(c.lookAt.c_str(), &st) == 0, c.created) << c.what;
    if (!c.created) unlink(c.lookAt.c_str());
  }
  std::string reply;
  ASSERT_TRUE(AskDaemon(kLocal, guard.port(), "ReportLog", &reply));
  EXPECT_NE(reply.find(" log=" + dir.Sub("a.log") + " "), std::string::npos) << reply;
  EXPECT_NE(ReadFile(dir.Sub("a.log")).find("refused"), std::string::npos)
      << "the refusal while a log is open is logged";
}

}  // namespace

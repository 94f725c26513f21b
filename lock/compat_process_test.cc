#include "compat_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "compat_requests.h"
#include "orv.h"
#include "status.h"
#include "temp_dir.h"

namespace {

// The client's state is once per process, so each case runs in a child of its own, pointed at an
// install tree whose tools/bin/vakcompatd is the scripted stand-in (none when not installed).
TEST(CompatProcessTest, StartsHandshakesJudgesRepliesAndRecoversFromBadDaemons) {
  const char kDied[] = "vakcompatd has died. See vakcompatd log file for error messages.";
  const std::string kLock = "Lock \"/f\" \"r\" 42\n", kTwo = "start\nVersionReq\n" + kLock + kLock;
  const std::string kHeld = "Locked by process 9 on host h. Requested lock was refused.";
  const struct {
    std::string mode;     // of the stand-in; "absent": none installed
    int status;           // of each of two lock requests in a row
    std::string message;  // of the first (prefix)
    std::string journal;  // what the stand-ins received, over both requests
  } cases[] = {
      {"ok", VAK_OK, "", kTwo},
      {"reply:GotLock FALSE \"" + kHeld + "\"", VAK_FILE_ALREADY_LOCKED, kHeld, kTwo},
      // Only the words from the last capital R on tell that someone else holds the file.
      {"reply:GotLock FALSE \"Requested lock refused by Rob\"", VAK_NOT_OK,
       "Requested lock refused by Rob", kTwo},
      {"reply:GotLock FALSE \"Requested lock", VAK_FILE_ALREADY_LOCKED, "Requested lock", kTwo},
      {"reply:GotLock FALSE", VAK_NOT_OK,
       "vak: The Compatibility Daemon refused the lock without a reason.", kTwo},
      {"reply:DidUnLock TRUE", VAK_COMPAT_DAEMON_BAD_RESPONSE,
       "vak: We tried to lock a file with the Compatibility Daemon but we did not get a legal "
       "response.",
       kTwo},
      {"exit", VAK_NOT_OK, kDied, "start\nstart\n"},
      {"v3", VAK_COMPAT_DAEMON_BAD_RESPONSE,
       "vak: Invalid Compatibility Daemon version 3.\nWe expected version 2.\n",
       "start\nVersionReq\nDie\nstart\nVersionReq\nDie\n"},
      {"die-mid", VAK_NOT_OK, kDied, "start\nVersionReq\n" + kLock + "start\nVersionReq\n" + kLock},
      // A reply stalled halfway leaves the pipe out of step: that child is told to go.
      {"stall-mid", VAK_NOT_OK, kDied,
       "start\nVersionReq\n" + kLock + "Die\nstart\nVersionReq\n" + kLock + "Die\n"},
      {"silent", VAK_OK, "", kTwo},
      {"absent", VAK_SYS_ERROR, "Problem with vakcompatd executable: \"", ""},
  };
  for (const auto &c : cases) {
    vaktest::TempDir tree;
    vaktest::WriteFile(tree.Sub("tools/bin/orv_root"), "");
    chmod(tree.Sub("tools/bin/orv_root").c_str(), 0755);
    if (c.mode != "absent") {
      ASSERT_EQ(0, symlink(FAKE_COMPATD_PATH, tree.Sub("tools/bin/vakcompatd").c_str()));
    }
    vaktest::ChildResult got = vaktest::RunInChild([&] {
      alarm(60);
      setenv("FAKE_COMPATD_MODE", c.mode.c_str(), 1);
      setenv("FAKE_COMPATD_JOURNAL", tree.Sub("journal").c_str(), 1);
      orvInitNonORVApp(tree.Sub("tools/bin/prog").c_str());
      char *msg = nullptr;
      int first = vakCompatDWriteLock("/f", "r", 42, &msg);
      printf("%d %s|", first, msg != nullptr ? msg : "");
      const DaemonConnection after = daemonConnection;
      // An interrupt typed at the terminal is not for the daemon, and programs the client starts
      // later must not hold its pipe ends.
      std::string status = vaktest::ReadFile("/proc/" + std::to_string(after.pid) + "/status");
      size_t at = status.find("SigIgn:");
      if (after.running &&
          (at == std::string::npos ||
           !(strtoull(status.c_str() + at + 7, nullptr, 16) & (1 << (SIGINT - 1))) ||
           !(fcntl(after.readFd, F_GETFD) & FD_CLOEXEC) ||
           !(fcntl(after.writeFd, F_GETFD) & FD_CLOEXEC))) {
        printf("exposed|");
      }
      if (after.running != (c.journal == kTwo)) printf("running flag|");  // only these live on
      printf("%d", vakCompatDWriteLock("/f", "r", 42, nullptr));
      if (!daemonConnection.running && daemonConnection.readFd + daemonConnection.writeFd != -2) {
        printf("|descriptors left open");
      }
      return 0;
    });
    EXPECT_EQ(0u, got.out.rfind(std::to_string(c.status) + " " + c.message, 0)) << got.out;
    EXPECT_EQ(got.out.find('|'), got.out.rfind('|')) << got.out;
    EXPECT_EQ("|" + std::to_string(c.status), got.out.substr(got.out.rfind('|'))) << got.out;
    EXPECT_EQ(c.journal, vaktest::ReadFile(tree.Sub("journal"))) << c.mode;
  }
}

// The control requests reach the daemon as their words, in order; a log report comes back; an
// empty log name is refused without a word to the daemon.
TEST(CompatProcessTest, ControlRequestsReachTheDaemon) {
  vaktest::TempDir tree;
  vaktest::WriteFile(tree.Sub("tools/bin/orv_root"), "");
  chmod(tree.Sub("tools/bin/orv_root").c_str(), 0755);
  ASSERT_EQ(0, symlink(FAKE_COMPATD_PATH, tree.Sub("tools/bin/vakcompatd").c_str()));
  vaktest::ChildResult got = vaktest::RunInChild([&] {
    alarm(60);
    setenv("FAKE_COMPATD_MODE", "ok", 1);
    setenv("FAKE_COMPATD_JOURNAL", tree.Sub("journal").c_str(), 1);
    orvInitNonORVApp(tree.Sub("tools/bin/prog").c_str());
    char *info = nullptr;
    printf("start %d\n", vakCompatDStartLog("/var/log/compat.log", nullptr));
    printf("empty %d\n", vakCompatDStartLog("", nullptr));
    printf("debug %d\n", vakCompatDSetDebugMode(nullptr));
    const int reported = vakCompatDReportLog(&info, nullptr);
    printf("report %d [%s]\n", reported, info != nullptr ? info : "");
    free(info);
    printf("stop %d\n", vakCompatDStopLog(nullptr));
    printf("die %d\n", vakCompatDTerminate(nullptr));
    return 0;
  });
  EXPECT_EQ("start 0\nempty 19\ndebug 0\nreport 0 [ no log kept]\nstop 0\ndie 0\n", got.out);
  EXPECT_EQ("start\nVersionReq\nStartLog /var/log/compat.log\nDebug\nReportLog\nStopLog\nDie\n",
            vaktest::ReadFile(tree.Sub("journal")));
}

}  // namespace

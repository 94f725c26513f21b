#include "compat_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "compat_requests.h"
#include "orv.h"
#include "status.h"
#include "child_process.h"
#include "temp_dir.h"

namespace {

// The client's state is once per process, so each case runs in a child of its own, pointed at an
// install tree whose tools/bin/vakcompatd is the stand-in (none when not installed). The child
// reports failures as text; an empty text means it passed.
std::string InChild(const vaktest::TempDir &tree, bool installed, const char *mode,
                    const std::function<std::string()> &body) {
  vaktest::WriteFile(tree.Sub("tools/bin/orv_root"), "");
  chmod(tree.Sub("tools/bin/orv_root").c_str(), 0755);
  if (installed && symlink(FAKE_COMPATD_PATH, tree.Sub("tools/bin/vakcompatd").c_str()) != 0) {
    return "symlink failed";
  }
  vaktest::ChildResult child = vaktest::RunInChild([&] {
    alarm(60);
    setenv("FAKE_COMPATD_MODE", mode, 1);
    setenv("FAKE_COMPATD_JOURNAL", tree.Sub("journal").c_str(), 1);
    orvInitNonORVApp(tree.Sub("tools/bin/prog").c_str());
    fputs(body().c_str(), stdout);
    return 0;
  });
  return child.exitStatus == 0 ? child.out
                               : "child ended with " + std::to_string(child.exitStatus) + "; ";
}

std::string Check(bool ok, const std::string &what) {
  return ok ? "" : what + "; ";
}

TEST(CompatProcessTest, StartsHandshakesAndRecoversFromBadDaemons) {
  const char kDied[] = "vakcompatd has died. See vakcompatd log file for error messages.";
  const std::string kLock = "Lock \"/f\" \"r\" 42\n";
  struct Case {
    const char *mode;
    bool installed;
    int status;           // of each of two lock requests in a row
    std::string message;  // of the first (prefix)
    std::string journal;  // what the stand-ins received, over both requests
  } cases[] = {
      {"ok", true, VAK_OK, "", "start\nVersionReq\n" + kLock + kLock},
      {"exit", true, VAK_NOT_OK, kDied, "start\nstart\n"},
      {"v3", true, VAK_COMPAT_DAEMON_BAD_RESPONSE,
       "vak: Invalid Compatibility Daemon version 3.\nWe expected version 2.\n",
       "start\nVersionReq\nDie\nstart\nVersionReq\nDie\n"},
      {"die-mid", true, VAK_NOT_OK, kDied,
       "start\nVersionReq\n" + kLock + "start\nVersionReq\n" + kLock},
      {"silent", true, VAK_OK, "", "start\nVersionReq\n" + kLock + kLock},
      {"ok", false, VAK_SYS_ERROR, "Problem with vakcompatd executable: \"", ""},
  };
  for (const Case &c : cases) {
    vaktest::TempDir tree;
    std::string failure = InChild(tree, c.installed, c.mode, [&] {
      char *msg = nullptr;
      int first = vakCompatDWriteLock("/f", "r", 42, &msg);
      std::string message = msg != nullptr ? msg : "";
      vakReleaseErrorMsg(&msg);
      bool runningAfterFirst = daemonConnection.running;
      int second = vakCompatDWriteLock("/f", "r", 42, nullptr);
      return Check(first == c.status && second == c.status,
                   "statuses " + std::to_string(first) + " " + std::to_string(second)) +
             Check(message.compare(0, c.message.size(), c.message) == 0, "message " + message) +
             Check(runningAfterFirst == (first == VAK_OK), "running flag after the first") +
             Check(daemonConnection.running ||
                       daemonConnection.readFd + daemonConnection.writeFd == -2,
                   "descriptors left open");
    });
    EXPECT_EQ("", failure) << c.mode;
    EXPECT_EQ(c.journal, vaktest::ReadFile(tree.Sub("journal"))) << c.mode;
  }
}

TEST(CompatProcessTest, ChildIgnoresInterruptsAndKeepsNoClientPipeEnds) {
  vaktest::TempDir tree;
  std::string failure = InChild(tree, true, "ok", [] {
    if (vakCompatDInit(nullptr) != VAK_OK) return std::string("no start");
    std::string status =
        vaktest::ReadFile("/proc/" + std::to_string(daemonConnection.pid) + "/status");
    size_t at = status.find("SigIgn:\t");
    unsigned long long ignored = strtoull(status.c_str() + at + 8, nullptr, 16);
    // A program run by the client must not inherit the client's ends of the pipes.
    std::string probe = "test ! -e /proc/$$/fd/" + std::to_string(daemonConnection.readFd) +
                        " && test ! -e /proc/$$/fd/" + std::to_string(daemonConnection.writeFd);
    int probeStatus = system(probe.c_str());
    return Check(at != std::string::npos && (ignored & (1ULL << (SIGINT - 1))) != 0,
                 "SIGINT not ignored") +
           Check(WIFEXITED(probeStatus) && WEXITSTATUS(probeStatus) == 0, "pipe ends inherited");
  });
  EXPECT_EQ("", failure);
}

}  // namespace
